// Tests of the colouring receive view as the main window sets it up: the
// colours it paints, the keyword spelling it shows (and what it leaves in the
// log and the saved file), and the text it gives to accessibility.

#include "dialogsupport.h"
#include "widgets/keywordrichedit.h"

#include <QAccessible>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Pixels of exactly this colour in an area.
int countColour(const QImage &image, const QColor &colour, const QRect &area)
{
    int count = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == (colour.rgb() & 0xFFFFFF))
                ++count;
    return count;
}

KeywordRichEdit *receiveView(TerminalDialog &d)
{
    return FindControl<KeywordRichEdit>(d, "receiveView");
}

} // namespace

class TestKeywordView : public QObject
{
    Q_OBJECT

private slots:
    void paintsTokenColours();
    void splitWordNormalisedLogUnchanged();
    void tabStops();
};

void TestKeywordView::paintsTokenColours()
{
    SessionLog log;
    TerminalDialog d(log);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    KeywordRichEdit *v = receiveView(d);
    const QByteArray text = "AT+CSQ\r\n+CSQ: 20,99\r\nAT+CGDCONT=1,\"IP\" 'OK\r\n";
    log.Append(text);
    d.RefreshReceiveView(true);
    QTRY_COMPARE(v->lineIndex().indexedSize(), text.size());
    QTest::qWait(60); // the view repaints on its refresh timer
    const QImage image = v->viewport()->grab().toImage();

    // The cells of the bytes [from, to) of the log.
    auto cells = [&](qsizetype from, qsizetype to) { return v->cursorRectAt(from).united(v->cursorRectAt(to - 1)); };
    const QColor blue(0, 0, 255), magenta(255, 0, 255), green(0, 128, 0);
    struct Expect
    {
        const char *needle; // the token is at its start
        qsizetype length;
        QColor colour;
    };
    const Expect expected[] = {{"AT+CSQ", 2, blue},  {"CSQ: ", 3, blue},  {"20,", 2, magenta}, {"99", 2, magenta},
                               {"1,\"", 1, magenta}, {"\"IP\"", 4, magenta}, {"'OK", 3, green}};
    for (const Expect &e : expected) {
        const qsizetype at = text.indexOf(e.needle);
        const QRect area = cells(at, at + e.length);
        QVERIFY2(countColour(image, e.colour, area) > 0, e.needle);
        for (const QColor &other : {blue, magenta, green})
            if (other != e.colour)
                QVERIFY2(countColour(image, other, area) == 0, e.needle);
    }
    // Plain text is painted in black only: "+CGDCONT=" and ": ".
    for (const char *plain : {"+CGDCONT=", ": "}) {
        const qsizetype at = text.indexOf(plain);
        const QRect area = cells(at, at + qsizetype(strlen(plain)));
        for (const QColor &c : {blue, magenta, green})
            QVERIFY2(countColour(image, c, area) == 0, plain);
    }
}

// A keyword that arrives in two reads is shown, and read by accessibility,
// in the list's spelling once the second half is there; the log and the
// saved file keep the bytes as received.
void TestKeywordView::splitWordNormalisedLogUnchanged()
{
    PtyDialog rig;
    auto &[pty, log, d] = rig;
    KeywordRichEdit *v = receiveView(d);
    QVERIFY(pty.write("\r\no"));
    QTRY_COMPARE(log.size(), qsizetype(3));
    QTRY_COMPARE(v->lineText(1), QString("o"));
    QVERIFY(pty.write("k\r\nat+cmgf\r\n"));
    QTRY_COMPARE(log.size(), qsizetype(15));
    QTRY_COMPARE(v->lineIndex().indexedSize(), qsizetype(15));
    QCOMPARE(v->lineText(1), QString("OK"));
    QCOMPARE(v->lineText(2), QString("AT+cmgf"));
    QCOMPARE(log.Text(), QByteArray("\r\nok\r\nat+cmgf\r\n"));

    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(v);
    QVERIFY(iface && iface->textInterface());
    QCOMPARE(iface->textInterface()->text(0, iface->textInterface()->characterCount()),
             QString("\nOK\nAT+cmgf\n"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("session.txt");
    QVERIFY(d.SaveLogTo(path));
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("\r\nok\r\nat+cmgf\r\n"));
}

// Tab stops every fifth of an inch, rounded to whole cells of the view's
// fixed-width font.
void TestKeywordView::tabStops()
{
    SessionLog log;
    TerminalDialog d(log);
    KeywordRichEdit *v = receiveView(d);
    QVERIFY(QFontInfo(v->font()).fixedPitch());
    QCOMPARE(QFontInfo(v->font()).pointSize(), 10);
    log.Append("\tX\t\tY");
    d.RefreshReceiveView(false);
    QTRY_COMPARE(v->lineIndex().indexedSize(), qsizetype(5));
    const qreal fifth = v->logicalDpiX() / 5.0;
    const int x0 = v->cursorRectAt(0).left();
    QVERIFY(qAbs(v->cursorRectAt(1).left() - x0 - fifth) <= v->cellWidth() / 2 + 1);
    QVERIFY(qAbs(v->cursorRectAt(4).left() - x0 - 3 * fifth) <= 3 * (v->cellWidth() / 2) + 1);
}

QTEST_MAIN(TestKeywordView)
#include "test_keywordview.moc"
