// Finding in the log: the matcher (character boundaries in code page 936,
// case), the sliced search over a log of many blocks (count, next and
// previous, growth and Clear), and the find bar over the receive view.

#include "session/logsearch.h"
#include "session/sessionlog.h"
#include "text/codepage936.h"
#include "text/gbkfind.h"
#include "widgets/findbar.h"
#include "widgets/logview.h"

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

namespace {

std::vector<qsizetype> AllMatches(const GbkFinder &f, const QByteArray &text)
{
    std::vector<qsizetype> found;
    f.forEach(text.constData(), text.size(), text.size(), [&](qsizetype at) {
        found.push_back(at);
        return true;
    });
    return found;
}

// Every match by walking from one to the next, from the start round to it.
std::vector<qsizetype> WalkNext(const LogSearch &search)
{
    std::vector<qsizetype> seen;
    qsizetype at = search.next(0);
    while (at >= 0 && (seen.empty() || at > seen.back())) {
        seen.push_back(at);
        at = search.next(at + search.finder().length());
    }
    return seen;
}

bool HasColor(const QImage &grabbed, QRgb rgb)
{
    const QImage image = grabbed.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & 0xFFFFFF) == (rgb & 0xFFFFFF))
                return true;
        }
    }
    return false;
}

} // namespace

class TestFind : public QObject
{
    Q_OBJECT

private slots:
    void matchesStartCharacters()
    {
        // 0x81 0x41 is one double-byte character whose trail byte is 'A'.
        const QByteArray text = QByteArray("\x81" "AA ok OK Ok\r\n") + ToCodePage936(QStringLiteral("信号强度 ok"));
        QCOMPARE(AllMatches(GbkFinder("A", true), text), (std::vector<qsizetype> {2}));
        QCOMPARE(AllMatches(GbkFinder("a", false), text), (std::vector<qsizetype> {2}));
        QCOMPARE(AllMatches(GbkFinder("ok", false), text), (std::vector<qsizetype> {4, 7, 10, 23}));
        QCOMPARE(AllMatches(GbkFinder("OK", true), text), (std::vector<qsizetype> {7}));
        // Chinese text matches exactly, and never from the middle of a
        // character: the second byte of 号 with the first of 强 is no match.
        QCOMPARE(AllMatches(GbkFinder(ToCodePage936(QStringLiteral("强度")), false), text),
                 (std::vector<qsizetype> {18}));
        const QByteArray hao = ToCodePage936(QStringLiteral("号强"));
        QCOMPARE(AllMatches(GbkFinder(hao.mid(1, 2), true), text), std::vector<qsizetype> {});
        // Not overlapping, as a find bar counts.
        QCOMPARE(AllMatches(GbkFinder("aa", false), QByteArray("aaaaa")), (std::vector<qsizetype> {0, 2}));
        QVERIFY(GbkFinder().isEmpty());
        QCOMPARE(AllMatches(GbkFinder(), text), std::vector<qsizetype> {});
    }

    // Matches across the log's blocks and the search's slices, counted in
    // slices from the event loop, walked with next and previous.
    void searchCountsAndWalksALongLog()
    {
        SessionLog log;
        QByteArray text;
        std::vector<qsizetype> expected;
        const QByteArray gbk = ToCodePage936(QStringLiteral("+CMGL: 短信"));
        auto place = [&](qsizetype at) {
            // Filler of plain and double-byte text up to at, then a match.
            while (text.size() < at) {
                text += (text.size() % 3) ? QByteArray("AT+CSQ\r\n") : ToCodePage936(QStringLiteral("模块正常\r\n"));
            }
            text.truncate(at);
            // A cut through a double-byte character would shift what follows.
            if (!GbkFinder::startsCharacter(text.constData(), text.size()))
                text.chop(1);
            expected.push_back(text.size());
            text += gbk;
        };
        for (qsizetype at : {qsizetype(10), SessionLog::kBlockSize - 4, LogSearch::kSliceBytes - 5,
                             2 * LogSearch::kSliceBytes + 100, 3 * LogSearch::kSliceBytes - 1})
            place(at);
        text += "\r\nOK\r\n";
        log.Append(text);

        LogSearch search(log);
        QSignalSpy first(&search, &LogSearch::firstFound);
        QSignalSpy counted(&search, &LogSearch::countChanged);
        const GbkFinder finder(gbk, false);
        // From a line in the middle: the first match told is the first after it.
        search.start(finder, text.indexOf('\n', LogSearch::kSliceBytes) + 1);
        QVERIFY(!search.isCounted());
        QTRY_VERIFY(search.isCounted());
        QCOMPARE(search.count(), qsizetype(expected.size()));
        QCOMPARE(first.size(), 1);
        QCOMPARE(first.first().at(0).value<qsizetype>(), expected[3]);
        QCOMPARE(counted.last().at(1).toBool(), true);

        QCOMPARE(WalkNext(search), expected);
        // Previous goes back one by one, and from the first round to the last.
        for (size_t i = expected.size() - 1; i > 0; --i)
            QCOMPARE(search.previous(expected[i]), expected[i - 1]);
        QCOMPARE(search.previous(expected[0]), expected.back());
        QCOMPARE(search.next(expected.back() + 1), expected[0]);

        // A match arriving in two pieces is counted once it is whole.
        log.Append(gbk.left(3));
        search.logChanged();
        QTRY_VERIFY(search.isCounted());
        QCOMPARE(search.count(), qsizetype(expected.size()));
        log.Append(gbk.mid(3));
        search.logChanged();
        QTRY_VERIFY(search.isCounted());
        QCOMPARE(search.count(), qsizetype(expected.size() + 1));

        // Cleared: nothing left; then a match again.
        log.Clear();
        search.logChanged();
        QTRY_VERIFY(search.isCounted());
        QCOMPARE(search.count(), qsizetype(0));
        QCOMPARE(search.next(0), qsizetype(-1));
        QCOMPARE(search.previous(0), qsizetype(-1));
        log.Append("x " + gbk);
        search.logChanged();
        QTRY_COMPARE(search.count(), qsizetype(1));
        QCOMPARE(search.next(0), qsizetype(2));
    }

    // The bar over the view: Ctrl+F, typing, the count, next and previous,
    // the highlights painted, Esc.
    void findBarOverTheView()
    {
        SessionLog log;
        LogView view;
        view.resize(500, 300);
        view.setLog(&log);
        QByteArray text;
        for (int i = 0; i < 200; ++i)
            text += "AT+CSQ\r\r\n+CSQ: " + QByteArray::number(i % 32) + ",99\r\n\r\nOK\r\n";
        text += ToCodePage936(QStringLiteral("短信 ok\r\n"));
        log.Append(text);
        view.logChanged(false);
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.setFocus();

        // Find… is in the context menu with its shortcut.
        std::unique_ptr<QMenu> menu(view.createContextMenu());
        bool listed = false;
        for (QAction *a : menu->actions())
            listed = listed || (a->text() == QStringLiteral("Find…") && a->shortcut() == QKeySequence(QKeySequence::Find));
        QVERIFY(listed);

        QTest::keyClick(&view, Qt::Key_F, Qt::ControlModifier);
        FindBar *bar = view.findBar();
        QVERIFY(bar && bar->isVisible());
        auto *edit = bar->findChild<QLineEdit *>(QStringLiteral("findEdit"));
        QVERIFY(edit);
        QTRY_VERIFY(edit->hasFocus());
        // It takes its room above the text and covers none of it.
        const int top = view.viewport()->geometry().top();
        QVERIFY(top > bar->geometry().bottom());
        QCOMPARE(bar->geometry().left(), view.viewport()->geometry().left());
        const QImage before = view.viewport()->grab().toImage();
        QTest::keyClicks(edit, QStringLiteral("ok"));
        // Incremental: the first match from the top is current at once.
        QTRY_COMPARE(bar->current(), text.indexOf("OK"));
        QTRY_VERIFY(bar->isCounted());
        QCOMPARE(bar->count(), qsizetype(201));
        QCOMPARE(bar->countText(), QStringLiteral("201 matches"));
        QVERIFY(!HasColor(before, qRgb(255, 236, 130)));
        QVERIFY(HasColor(view.viewport()->grab().toImage(), qRgb(255, 236, 130)));
        QVERIFY(HasColor(view.viewport()->grab().toImage(), qRgb(255, 170, 70)));

        const qsizetype second = text.indexOf("OK", bar->current() + 2);
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(bar->current(), second);
        QTest::keyClick(edit, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(bar->current(), text.indexOf("OK"));
        // Back past the first: the last, in the GBK line, and the view shows it.
        QTest::keyClick(edit, Qt::Key_F3, Qt::ShiftModifier);
        QCOMPARE(bar->current(), text.lastIndexOf("ok"));
        QCOMPARE(view.rowOfPosition(bar->current()) >= view.firstVisibleRow(), true);
        QCOMPARE(view.rowOfPosition(bar->current()) < view.firstVisibleRow() + view.visibleRowCount(), true);
        QTest::keyClick(edit, Qt::Key_F3);
        QCOMPARE(bar->current(), text.indexOf("OK"));

        // Case: only the lower-case one.
        bar->setCaseSensitive(true);
        QTRY_VERIFY(bar->isCounted());
        QCOMPARE(bar->count(), qsizetype(1));
        QTRY_COMPARE(bar->current(), text.lastIndexOf("ok"));
        // Nothing: said so.
        edit->setText(QStringLiteral("ERROR"));
        QTRY_VERIFY(bar->isCounted());
        QCOMPARE(bar->countText(), QStringLiteral("No matches"));
        QCOMPARE(bar->current(), qsizetype(-1));

        // Esc closes it and takes the highlights away; the log is untouched.
        edit->setText(QStringLiteral("CSQ"));
        QTRY_VERIFY(bar->current() >= 0);
        QTest::keyClick(edit, Qt::Key_Escape);
        QVERIFY(!bar->isVisible());
        QVERIFY(view.viewport()->geometry().top() < top);
        QVERIFY(view.findHighlight().isEmpty());
        QVERIFY(!HasColor(view.viewport()->grab().toImage(), qRgb(255, 236, 130)));
        QCOMPARE(log.Text(), text);
    }
};

QTEST_MAIN(TestFind)
#include "test_find.moc"
