// Tests of the colouring receive view as the main window sets it up: the
// colours it paints, the keyword spelling it shows (and what it leaves in the
// log and the saved file), and the text it gives to accessibility.

#include "dialogsupport.h"
#include "widgets/keywordrichedit.h"

#include <QAccessible>
#include <QFontInfo>
#include <QFile>
#include <QImage>
#include <QScreen>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <array>

namespace {

// The hue a pixel of anti-aliased text on white leans to: blue, magenta,
// green, or none (black, grey, white).
enum class Hue { None, Blue, Magenta, Green };

Hue hueOf(QRgb p)
{
    const int r = qRed(p), g = qGreen(p), b = qBlue(p);
    if (b > r + 60 && b > g + 60)
        return Hue::Blue;
    if (r > g + 60 && b > g + 60)
        return Hue::Magenta;
    if (g > r + 30 && g > b + 30)
        return Hue::Green;
    return Hue::None;
}

// Pixels of each hue in an area.
std::array<int, 4> hues(const QImage &image, const QRect &area)
{
    std::array<int, 4> count{};
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            ++count[size_t(hueOf(image.pixel(x, y)))];
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
    void screenFollowsStreamingLog();
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

    // The cells of the bytes [from, to) of the log, less a pixel at each side
    // where a neighbour's glyph may reach in.
    auto cells = [&](qsizetype from, qsizetype to) {
        return v->cursorRectAt(from).united(v->cursorRectAt(to - 1)).adjusted(1, 0, -1, 0);
    };
    const Hue blue = Hue::Blue, magenta = Hue::Magenta, green = Hue::Green;
    struct Expect
    {
        const char *needle; // the token is at its start
        qsizetype length;
        Hue colour;
    };
    const Expect expected[] = {{"AT+CSQ", 2, blue},  {"CSQ: ", 3, blue},  {"20,", 2, magenta}, {"99", 2, magenta},
                               {"1,\"", 1, magenta}, {"\"IP\"", 4, magenta}, {"'OK", 3, green}};
    for (const Expect &e : expected) {
        const qsizetype at = text.indexOf(e.needle);
        const std::array<int, 4> found = hues(image, cells(at, at + e.length));
        QVERIFY2(found[size_t(e.colour)] > 0, e.needle);
        for (Hue other : {blue, magenta, green})
            if (other != e.colour)
                QVERIFY2(found[size_t(other)] == 0, e.needle);
    }
    // Plain text is painted in black only: "+CGDCONT=" and ": ".
    for (const char *plain : {"+CGDCONT=", ": "}) {
        const qsizetype at = text.indexOf(plain);
        const std::array<int, 4> found = hues(image, cells(at, at + qsizetype(strlen(plain))));
        QVERIFY2(found[size_t(Hue::None)] > 0, plain);
        for (Hue c : {blue, magenta, green})
            QVERIFY2(found[size_t(c)] == 0, plain);
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
    saved.close();

    // With timestamps shown, Save keeps the bytes; Save with Timestamps puts
    // each line, as received, after its time.
    v->setTimestamps(LogView::Timestamps::SincePrevious);
    QVERIFY(d.SaveLogTo(dir.filePath("again.txt")));
    QFile again(dir.filePath("again.txt"));
    QVERIFY(again.open(QIODevice::ReadOnly));
    QCOMPARE(again.readAll(), QByteArray("\r\nok\r\nat+cmgf\r\n"));
    QVERIFY(d.SaveLogTo(dir.filePath("stamped.txt"), true));
    QFile stamped(dir.filePath("stamped.txt"));
    QVERIFY(stamped.open(QIODevice::ReadOnly));
    const QByteArray text = stamped.readAll();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\+\\d+\\.\\d{3} \\r\\n\\+\\d+\\.\\d{3} ok\\r\\n\\+\\d+\\.\\d{3} at\\+cmgf\\r\\n$"))
                 .match(QString::fromLatin1(text))
                 .hasMatch(),
             text.constData());
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

// The view repaints only the rows that changed and moves the others; after
// a stream of reads (whole and partial lines, keywords split between reads,
// Chinese text) what is on the screen equals a fresh painting of the view.
void TestKeywordView::screenFollowsStreamingLog()
{
    SessionLog log;
    KeywordRichEdit v;
    v.InitViewFormat();
    v.SetCommentChars('\'', 0);
    v.AppendKeywords(" AT OK ERROR CSQ");
    v.setLog(&log);
    v.resize(360, 220);
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    QByteArray stream;
    for (int i = 0; i < 80; ++i)
        stream += "+CSQ: " + QByteArray::number(i) + ",99 \xD6\xD0\xCE\xC4 'note\r\no" + (i % 7 ? "k\r\n" : "k and a line long enough to wrap past the right edge of the view\r\n");
    for (qsizetype at = 0; at < stream.size();) {
        const qsizetype n = std::min<qsizetype>(stream.size() - at, 5 + at % 23);
        log.Append(stream.constData() + at, n);
        v.logChanged(true);
        at += n;
        QTest::qWait(at % 3 == 0 ? 9 : 1);
    }
    QTest::qWait(400); // the last refresh and the scroll bar
    const QRect area(v.viewport()->mapTo(&v, QPoint(0, 0)), v.viewport()->size());
    const QImage shown = v.screen()->grabWindow(v.winId()).toImage().copy(area).convertToFormat(QImage::Format_RGB32);
    const QImage fresh = v.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), fresh.size());
    QVERIFY(shown == fresh);
}

QTEST_MAIN(TestKeywordView)
#include "test_keywordview.moc"
