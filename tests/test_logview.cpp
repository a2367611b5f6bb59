// Tests of the receive view: GBK units, the incremental line index and the
// LogView widget (painting, selection, copy, scrolling, accessibility).

#include "text/cp936codec.h"
#include "text/gbk.h"
#include "session/sessionlog.h"
#include "widgets/hexview.h"
#include "widgets/lineindex.h"
#include "widgets/logview.h"
#include "spillfiles.h"

#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QDateTime>
#include <QImage>
#include <QMenu>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <functional>

namespace {

QString u16(const char16_t *s)
{
    return QString::fromUtf16(s);
}

// A straightforward index of a whole text, to check the incremental one.
struct RefLine
{
    qsizetype start = 0;
    qsizetype length = 0;
    int breakLength = 0;
    qsizetype cells = 0;
    qsizetype rows = 1;
};

std::vector<RefLine> referenceLines(const QByteArray &text, int columns)
{
    std::vector<RefLine> lines;
    const char *p = text.constData();
    const qsizetype n = text.size();
    qsizetype start = 0;
    for (;;) {
        RefLine line;
        line.start = start;
        qsizetype i = start;
        qsizetype row = 0;
        int col = 0;
        bool last = true;
        while (i < n) {
            if (p[i] == '\r' || p[i] == '\n') {
                line.breakLength = (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
                last = false;
                break;
            }
            if (i - start >= LineIndex::kMaxLineBytes) {
                last = false;
                break;
            }
            const Gbk::Unit u = Gbk::unitAt(p + i, n - i);
            const int w = Gbk::unitCells(u, line.cells);
            if (u.kind == Gbk::Kind::Double) {
                if (col + 2 > columns) {
                    ++row;
                    col = 0;
                }
                col += 2;
            } else {
                for (int k = 0; k < w; ++k) {
                    if (col == columns) {
                        ++row;
                        col = 0;
                    }
                    ++col;
                }
            }
            line.cells += w;
            i += u.length;
        }
        line.length = i - start;
        line.rows = row + 1;
        lines.push_back(line);
        if (last)
            return lines;
        start = i + line.breakLength;
    }
}

// Compares every line, the row prefix sums and a sample of look-ups.
void compareWithReference(const LineIndex &index, const QByteArray &text, QRandomGenerator &rng)
{
    const std::vector<RefLine> ref = referenceLines(text, index.columns());
    QCOMPARE(index.indexedSize(), text.size());
    QCOMPARE(index.lineCount(), qsizetype(ref.size()));
    qsizetype row = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const qsizetype line = qsizetype(i);
        const RefLine &r = ref[i];
        if (index.lineStart(line) != r.start || index.lineLength(line) != r.length
            || index.lineBreakLength(line) != r.breakLength || index.lineCells(line) != r.cells
            || index.lineRows(line) != r.rows || index.lineFirstRow(line) != row) {
            qWarning("line %lld: start %lld/%lld length %lld/%lld break %d/%d cells %lld/%lld rows %lld/%lld "
                     "first row %lld/%lld",
                     qlonglong(line), qlonglong(index.lineStart(line)), qlonglong(r.start),
                     qlonglong(index.lineLength(line)), qlonglong(r.length), index.lineBreakLength(line),
                     r.breakLength, qlonglong(index.lineCells(line)), qlonglong(r.cells),
                     qlonglong(index.lineRows(line)), qlonglong(r.rows), qlonglong(index.lineFirstRow(line)),
                     qlonglong(row));
            QFAIL("index differs from the reference");
        }
        row += r.rows;
    }
    QCOMPARE(index.rowCount(), row);
    for (int k = 0; k < 50; ++k) {
        const size_t line = size_t(rng.bounded(int(ref.size())));
        // Any byte of the line or its break; for the last line also the end.
        const bool last = line + 1 == ref.size();
        const qsizetype span = ref[line].length + ref[line].breakLength + (last ? 1 : 0);
        const qsizetype target = ref[line].start + rng.bounded(int(span));
        QCOMPARE(index.lineAt(target), qsizetype(line));
        const qsizetype first = index.lineFirstRow(qsizetype(line));
        const qsizetype within = rng.bounded(int(ref[line].rows));
        const LineIndex::RowPos pos = index.rowToLine(first + within);
        QCOMPARE(pos.line, qsizetype(line));
        QCOMPARE(pos.rowInLine, within);
    }
}

// Random log traffic: ASCII words, all three line breaks, tabs, NUL and other
// control bytes, GBK pairs, stray high bytes and now and then a very long
// line without a break.
QByteArray randomTraffic(QRandomGenerator &rng, qsizetype n, bool &longLine)
{
    static const char *const pieces[] = {"AT", "OK", "+CSQ: 20,99", " ", "\r\n", "\r", "\n", "\t",
                                         "\xD6\xD0", "\xCE\xC4", "\x81\x40", "\xFE", "\x80", "\xFF",
                                         "\x81",     "\x7F",     "\x01"};
    QByteArray out;
    while (out.size() < n) {
        if (rng.bounded(400) == 0)
            longLine = !longLine;
        const int k = rng.bounded(int(std::size(pieces)));
        const char *piece = pieces[k];
        if (longLine && (piece[0] == '\r' || piece[0] == '\n'))
            piece = "x\xB0\xA1y";
        if (rng.bounded(50) == 0)
            out.append('\0');
        out.append(piece);
    }
    out.truncate(n);
    return out;
}

class KeywordView : public LogView
{
public:
    bool growLine = false;

protected:
    // Shows "ok" as "OK" in blue and bold.
    void styleLine(qsizetype, QByteArray &bytes, QList<StyledRun> &runs) const override
    {
        for (qsizetype i = bytes.indexOf("ok"); i >= 0; i = bytes.indexOf("ok", i + 2)) {
            bytes[i] = 'O';
            bytes[i + 1] = 'K';
            runs.append({i, 2, QColor(0, 0, 255), true});
        }
        if (growLine)
            bytes.append("!!");
    }
};

int countPixels(const QImage &image, QRgb rgb, const QRect &area)
{
    int count = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == (rgb & 0xFFFFFF))
                ++count;
    return count;
}

int countDark(const QImage &image, const QRect &area)
{
    int count = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (qGray(image.pixel(x, y)) < 128)
                ++count;
    return count;
}

} // namespace

class TestLogView : public QObject
{
    Q_OBJECT

private:
    SessionLog m_log;
    std::unique_ptr<LogView> m_view;

    // The shared view showing `text`, fully indexed.
    LogView &view(const QByteArray &text)
    {
        m_log.Clear();
        m_log.Append(text);
        do
            m_view->logChanged(false);
        while (m_view->lineIndex().indexedSize() < m_log.size());
        return *m_view;
    }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void gbkUnits_data();
    void gbkUnits();
    void gbkCopyDecoding();

    void lineBreaks_data();
    void lineBreaks();
    void incrementalMatchesReference();
    void byteByByteMatchesReference();
    void clearRestartsIndex();
    void indexMemory();
    void indexInAFile();
    void unreadableLinesNotInvented();

    void wrapping();
    void resizeKeepsTopLine();
    void rewrapInSlicesMatchesReference();
    void rewrapShownMeanwhile();
    void splitGbkCharacterJoins();
    void nulShownAsPlaceholder();
    void selectionAndCopy();
    void mouseSelection();
    void keyboard();
    void scrolling();
    void clearResetsSelection();
    void largeLogIndexedInSteps();
    void stylingHook();
    void painting();
    void terminalTextMarked();
    void timestampsInAGutter();
    void accessibility();
};

void TestLogView::initTestCase()
{
    QVERIFY(Gbk::decoderAvailable());
    m_view = std::make_unique<LogView>();
    m_view->resize(420, 240);
    m_view->setLog(&m_log);
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
}

void TestLogView::init()
{
    // One view serves every test: a test that failed half-way must not
    // leave its modes on for the next.
    m_view->setTimestamps(LogView::Timestamps::Off);
    m_view->setMarkTerminalText(false);
    m_view->setSelection(0, 0);
}

void TestLogView::cleanupTestCase()
{
    m_view.reset();
}

void TestLogView::gbkUnits_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("cells");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ascii") << QByteArray("A") << int(Gbk::Kind::Text) << 1 << 1 << "A";
    QTest::newRow("pair") << QByteArray("\xD6\xD0") << int(Gbk::Kind::Double) << 2 << 2 << u16(u"中");
    QTest::newRow("pair with ascii trail") << QByteArray("\x81\x40") << int(Gbk::Kind::Double) << 2 << 2
                                           << u16(u"丂");
    QTest::newRow("lead then CR") << QByteArray("\xD6\r") << int(Gbk::Kind::Invalid) << 1 << 1
                                  << u16(u"\uFFFD");
    QTest::newRow("lead then 0x7F") << QByteArray("\xD6\x7F") << int(Gbk::Kind::Invalid) << 1 << 1
                                    << u16(u"\uFFFD");
    QTest::newRow("lone lead at end") << QByteArray("\xD6") << int(Gbk::Kind::Incomplete) << 1 << 1
                                      << u16(u"\uFFFD");
    QTest::newRow("0xFF") << QByteArray("\xFF\x40") << int(Gbk::Kind::Invalid) << 1 << 1 << u16(u"\uFFFD");
    QTest::newRow("euro") << QByteArray("\x80") << int(Gbk::Kind::Text) << 1 << 1 << u16(u"€");
    QTest::newRow("NUL") << QByteArray(1, '\0') << int(Gbk::Kind::Control) << 1 << 1 << u16(u"\u2400");
    QTest::newRow("ESC") << QByteArray("\x1B") << int(Gbk::Kind::Control) << 1 << 1 << u16(u"\u241B");
    QTest::newRow("DEL") << QByteArray("\x7F") << int(Gbk::Kind::Control) << 1 << 1 << u16(u"\u2421");
    // At column 3 a tab reaches column 8.
    QTest::newRow("tab") << QByteArray("\t") << int(Gbk::Kind::Tab) << 1 << 5 << "     ";
}

void TestLogView::gbkUnits()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, kind);
    QFETCH(int, length);
    QFETCH(int, cells);
    QFETCH(QString, shown);
    const Gbk::Unit u = Gbk::unitAt(bytes.constData(), bytes.size());
    QCOMPARE(int(u.kind), kind);
    QCOMPARE(u.length, length);
    QCOMPARE(Gbk::unitCells(u, 3), cells);
    QString out;
    Gbk::appendDisplay(out, bytes.constData(), u, cells);
    QCOMPARE(out, shown);
}

void TestLogView::gbkCopyDecoding()
{
    static const char raw[] = "A\0B\r\nC\rD\nE\xD6\xD0\t\x01\xFF\x81";
    const QByteArray bytes(raw, sizeof raw - 1);
    const QString expected = u16(u"AB\nC\nD\nE中\t\u0001\uFFFD\uFFFD");
    QCOMPARE(Gbk::decode(bytes.constData(), bytes.size()), expected);
    QCOMPARE(Gbk::decodedLength(bytes.constData(), bytes.size()), expected.size());
    // Character offsets back to bytes: never inside CR LF or a pair.
    QCOMPARE(Gbk::bytesForLength(bytes.constData(), bytes.size(), 1), 1);  // "A"
    QCOMPARE(Gbk::bytesForLength(bytes.constData(), bytes.size(), 2), 3);  // NUL dropped, "B"
    QCOMPARE(Gbk::bytesForLength(bytes.constData(), bytes.size(), 3), 5);  // CR LF
    QCOMPARE(Gbk::bytesForLength(bytes.constData(), bytes.size(), 9), 12); // 中
    // Every pair decodes to one BMP character; the table covers the whole range.
    QCOMPARE(Gbk::decodePair(0xB0, 0xA1), u'啊');
    QCOMPARE(Gbk::decodePair(0xA1, 0xA1), u'\u3000');
    QCOMPARE(Gbk::decodePair(0xFE, 0x7F), u'\uFFFD');
}

void TestLogView::lineBreaks_data()
{
    QTest::addColumn<QList<QByteArray>>("appends");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("empty") << QList<QByteArray>{} << QStringList{""};
    QTest::newRow("CR LF") << QList<QByteArray>{"AT\r\nOK"} << QStringList{"AT", "OK"};
    QTest::newRow("lone CR") << QList<QByteArray>{"AT\rOK"} << QStringList{"AT", "OK"};
    QTest::newRow("lone LF") << QList<QByteArray>{"AT\nOK"} << QStringList{"AT", "OK"};
    QTest::newRow("LF CR is two breaks") << QList<QByteArray>{"A\n\rB"} << QStringList{"A", "", "B"};
    QTest::newRow("echo then reply") << QList<QByteArray>{"AT\r", "\r\nOK\r\n"} << QStringList{"AT", "", "OK", ""};
    QTest::newRow("CR LF split over appends") << QList<QByteArray>{"AT\r", "\nOK"} << QStringList{"AT", "OK"};
    QTest::newRow("CR then CR LF split") << QList<QByteArray>{"A\r", "\r", "\nB"} << QStringList{"A", "", "B"};
    QTest::newRow("trailing CR") << QList<QByteArray>{"A\r"} << QStringList{"A", ""};
}

void TestLogView::lineBreaks()
{
    QFETCH(QList<QByteArray>, appends);
    QFETCH(QStringList, lines);
    SessionLog log;
    LineIndex index;
    for (const QByteArray &a : appends) {
        log.Append(a);
        index.update(log);
    }
    QStringList got;
    for (qsizetype i = 0; i < index.lineCount(); ++i)
        got << QString::fromLatin1(log.Slice(index.lineStart(i), index.lineLength(i)));
    QCOMPARE(got, lines);
    QCOMPARE(index.rowCount(), qsizetype(lines.size()));
}

void TestLogView::incrementalMatchesReference()
{
    const quint32 seed = 20240611;
    QRandomGenerator rng(seed);
    SessionLog log;
    LineIndex index;
    index.setColumns(37, log);
    bool longLine = false;
    // Up to about 1.2 MB: several log blocks, many index chunks, a few lines
    // longer than the display-line limit.
    for (int step = 1; step <= 4800; ++step) {
        log.Append(randomTraffic(rng, 1 + rng.bounded(511), longLine));
        index.update(log);
        if (step % 400 == 0) {
            compareWithReference(index, log.Text(), rng);
            if (QTest::currentTestFailed()) {
                qWarning("seed %u, step %d", seed, step);
                return;
            }
            // New width: estimated rows, then re-read in small steps.
            index.setColumns(2 + rng.bounded(150), log);
            while (!index.refine(log, 20000)) {
            }
            compareWithReference(index, log.Text(), rng);
        }
    }
    // The same index built in one go.
    LineIndex fresh;
    fresh.setColumns(index.columns(), log);
    fresh.update(log);
    compareWithReference(fresh, log.Text(), rng);
}

void TestLogView::byteByByteMatchesReference()
{
    // One or two bytes at a time puts every CR, lead byte and pair on an
    // append boundary somewhere.
    QRandomGenerator rng(7);
    SessionLog log;
    LineIndex index;
    index.setColumns(5, log);
    bool longLine = false;
    const QByteArray text = randomTraffic(rng, 3000, longLine);
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = std::min<qsizetype>(1 + rng.bounded(2), text.size() - i);
        log.Append(text.constData() + i, n);
        i += n;
        index.update(log);
        compareWithReference(index, log.Text(), rng);
        if (QTest::currentTestFailed()) {
            qWarning("after %lld bytes", qlonglong(i));
            return;
        }
    }
}

void TestLogView::clearRestartsIndex()
{
    SessionLog log;
    LineIndex index;
    log.Append("first\r\nsecond line\r\n");
    index.update(log);
    QCOMPARE(index.lineCount(), 3);
    // Cleared and refilled past the old size before the next update: only
    // the generation tells.
    log.Clear();
    log.Append("X\nYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYY");
    index.update(log);
    QRandomGenerator rng(1);
    compareWithReference(index, log.Text(), rng);
    QCOMPARE(log.Slice(index.lineStart(0), index.lineLength(0)), QByteArray("X"));
}

void TestLogView::indexMemory()
{
    SessionLog log;
    LineIndex index;
    const QByteArray line("+CSQ: 20,99\r\nOK\r\nAT+CREG?\r\n+CREG: 0,1\r\n"); // about 10 bytes a line
    for (int i = 0; i < 100000; ++i)
        log.Append(line);
    index.update(log);
    const double perLine = double(index.memoryUsage()) / double(index.lineCount());
    QVERIFY2(perLine < 13.0, qPrintable(QString::number(perLine)));
}

// With its older chunks in a file, the index answers as one in memory, also
// after a re-wrap changes the rows of lines in the file.
void TestLogView::indexInAFile()
{
    SessionLog log;
    log.setMemoryLimit(0);
    LineIndex index;
    index.setMemoryLimit(0);
    QRandomGenerator rng(11);
    QByteArray text;
    for (int i = 0; i < 30000; ++i) {
        QByteArray line = "+CMGR: \"REC READ\",\"" + QByteArray::number(rng.bounded(1000000)) + "\"";
        if (i % 5 == 0)
            line += "\xc4\xe3\xba\xc3" + QByteArray(rng.bounded(120), 'x'); // a wide pair, then a long run
        line += i % 3 == 0 ? "\n" : "\r\n";
        text += line;
        log.Append(line);
        if (i % 4000 == 0)
            index.update(log);
    }
    index.update(log);
    QVERIFY(index.storedChunks() >= 5);
    QVERIFY(index.memoryUsage() < 12 * 30000 / 2);
    compareWithReference(index, text, rng);
    for (int columns : { 23, 80 }) {
        index.setColumns(columns, log);
        index.refine(log);
        QVERIFY(index.isExact());
        compareWithReference(index, text, rng);
    }

    // The view over such a log copies the whole of it as it came.
    m_log.setMemoryLimit(0);
    auto restore = qScopeGuard([this] { m_log.setMemoryLimit(SessionLog::kDefaultMemoryLimit); });
    LogView &v = view(text);
    QVERIFY(m_log.storedBytes() > 0);
    v.selectAll();
    v.copy();
    QString expected = Cp936Codec().decode(text);
    expected.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
}

// Lines of `index` against the reference lines of the text: every line is
// empty (it could not be known), or holds the log's bytes up to the end of a
// line of the text, from that line's start or, after an empty one, from
// within it (its start could not be read); none is another line or bytes the
// log never had. Returns how many lines were empty for want of their bytes.
qsizetype checkLinesOrEmpty(const LineIndex &index, const SessionLog &log, const QByteArray &text,
                            const std::vector<RefLine> &ref)
{
    qsizetype empty = 0;
    qsizetype previousStart = 0;
    bool afterEmpty = false;
    for (qsizetype line = 0; line < index.lineCount(); ++line) {
        const qsizetype start = index.lineStart(line);
        const qsizetype length = index.lineLength(line);
        if (start < previousStart) {
            qWarning("line %lld starts before the line before it", qlonglong(line));
            return -1;
        }
        previousStart = start;
        auto r = std::upper_bound(ref.begin(), ref.end(), start, [](qsizetype v, const RefLine &l) { return v < l.start; });
        const RefLine &within = *(r - 1);
        const bool real = (within.start == start || afterEmpty) && start + length == within.start + within.length
                          && log.Slice(start, length) == text.mid(start, length);
        if (real && (length > 0 || within.length == 0)) {
            afterEmpty = false;
            continue;
        }
        if (length != 0) {
            qWarning("line %lld: %lld bytes at %lld, not a line of the log", qlonglong(line), qlonglong(length),
                     qlonglong(start));
            return -1;
        }
        afterEmpty = true;
        ++empty;
    }
    return empty;
}

// An index whose file loses what it held, and one built over log bytes that
// cannot be read back: what cannot be known is an empty line, never another
// line or invented bytes, and the lines after it are exact.
void TestLogView::unreadableLinesNotInvented()
{
    QTemporaryDir tmp;
    qputenv("TMPDIR", tmp.path().toLocal8Bit()); // TMP names it on Windows
    qputenv("TMP", QDir::toNativeSeparators(tmp.path()).toLocal8Bit());
    auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); qunsetenv("TMP"); });
    QRandomGenerator rng(5);
    QByteArray text;
    for (int i = 0; i < 60000; ++i) {
        text += "+CMGR: \"REC READ\",\"" + QByteArray::number(rng.bounded(1000000)) + "\"";
        if (i % 5 == 0)
            text += "\xc4\xe3\xba\xc3";
        text += i % 3 == 0 ? "\n" : "\r\n";
    }

    // The index's own file cut short; the log's bytes in memory.
    {
        SessionLog log;
        LineIndex index;
        index.setMemoryLimit(0);
        for (qsizetype at = 0; at < text.size(); at += 100000) {
            log.Append(text.mid(at, 100000));
            index.update(log);
        }
        QVERIFY(index.storedChunks() >= 10);
        const std::vector<RefLine> ref = referenceLines(text, index.columns());
        QCOMPARE(TruncateSpillFiles(tmp.path(), 0), 1);
        QCOMPARE(index.lineCount(), qsizetype(ref.size()));
        const qsizetype empty = checkLinesOrEmpty(index, log, text, ref);
        QVERIFY(empty > 0);
        QVERIFY(empty < index.lineCount() - LineIndex::kChunkLines / 2);
        // Rows and positions still agree, and the last lines are exact.
        for (qsizetype row = 0; row < index.rowCount(); row += 997)
            QVERIFY(index.rowToLine(row).line <= index.rowToLine(std::min(row + 997, index.rowCount() - 1)).line);
        QCOMPARE(index.lineAt(ref.back().start), qsizetype(ref.size()) - 1);
        QCOMPARE(index.lineStart(qsizetype(ref.size()) - 100), ref[ref.size() - 100].start);
        QVERIFY(!index.readError().isEmpty());
        QVERIFY(!index.lineKnown(0));
        QVERIFY(index.lineKnown(qsizetype(ref.size()) - 1));
        // A re-wrap keeps rows and lines in step.
        index.setColumns(17, log);
        index.refine(log);
        QCOMPARE(checkLinesOrEmpty(index, log, text, ref), empty);
        QCOMPARE(index.rowToLine(index.lineFirstRow(index.lineCount() - 3)).line, index.lineCount() - 3);
    }

    // A fresh index over a log whose older bytes are gone: it catches up, and
    // the lines after them are exact.
    SessionLog log;
    log.setMemoryLimit(SessionLog::kBlockSize);
    log.Append(text);
    QVERIFY(log.storedBytes() >= 3 * SessionLog::kBlockSize);
    QVERIFY(TruncateSpillFiles(tmp.path(), 0) >= 1);
    LineIndex index;
    QVERIFY(index.update(log));
    QCOMPARE(index.indexedSize(), text.size());
    const std::vector<RefLine> ref = referenceLines(text, index.columns());
    const qsizetype empty = checkLinesOrEmpty(index, log, text, ref);
    QVERIFY(empty > 0);
    const qsizetype last = index.lineCount() - 1;
    QCOMPARE(index.lineStart(last), ref.back().start);
    QCOMPARE(index.lineStart(last - 1000), ref[ref.size() - 1001].start);
    QCOMPARE(index.lineLength(last - 1000), ref[ref.size() - 1001].length);
    QCOMPARE(index.readError(), log.readError());
    QVERIFY(!index.lineKnown(0));

    // The view over such a log: painted without them, and a copy or a save
    // that would need them does not happen.
    m_log.setMemoryLimit(SessionLog::kBlockSize);
    auto restore = qScopeGuard([this] { m_log.setMemoryLimit(SessionLog::kDefaultMemoryLimit); });
    LogView &v = view(text);
    QVERIFY(TruncateSpillFiles(tmp.path(), 0) >= 1);
    v.scrollToRow(0);
    QVERIFY(!v.grab().isNull());
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    v.selectAll();
    v.copy();
    v.copyWithTimestamps();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    QBuffer saved;
    saved.open(QIODevice::WriteOnly);
    QVERIFY(!v.writeWithTimestamps(saved, LogView::Timestamps::TimeOfDay));
    QVERIFY(!saved.data().contains(QByteArray(64, '\0')));
    // Only what can be read back is copied.
    const qsizetype tail = text.lastIndexOf('\n', text.size() - 2000) + 1;
    v.setSelection(tail, text.size());
    v.copy();
    QString expected = Cp936Codec().decode(text.mid(tail));
    expected.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
    v.setHexView(true);
    QVERIFY(!v.grab().isNull());
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    v.setSelection(0, 4096);
    v.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    v.setHexView(false);
    v.setSelection(0, 0);
}

void TestLogView::wrapping()
{
    LogView &v = view(QByteArray());
    const int cols = v.columnCount();
    QVERIFY(cols >= 10);
    QByteArray text(qsizetype(cols) * 2 + 3, 'a');                // line 0: 3 rows
    text += "\r\n" + QByteArray(cols - 1, 'b') + "\xD6\xD0z";     // line 1: 中 does not fit
    text += "\r\n" + QByteArray(cols - 2, 'c') + "\xD6\xD0";      // line 2: 中 fits exactly
    text += "\r\n";
    for (int i = 0; i < cols; ++i)                                // line 3: 中 x cols, odd offset
        text += i == 0 ? QByteArray("d\xD6\xD0") : QByteArray("\xD6\xD0");
    text += "\r\n\t\tx";                                           // line 4: tabs
    view(text);
    const LineIndex &index = v.lineIndex();
    QCOMPARE(index.lineCount(), 5);
    QCOMPARE(index.lineRows(0), 3);
    QCOMPARE(index.lineRows(1), 2);
    QCOMPARE(v.rowOfPosition(index.lineStart(1) + cols - 1), index.lineFirstRow(1) + 1);
    QCOMPARE(index.lineRows(2), 1);
    QCOMPARE(index.lineCells(4), 17);
    // Line 3 is "d" and then double-byte characters: they fill rows two
    // cells at a time and move whole to the next row when only one cell is
    // left.
    const int firstRowChars = (cols - 1) / 2;
    const int perRow = cols / 2;
    auto expectedRow = [&](int k) { return k < firstRowChars ? 0 : 1 + (k - firstRowChars) / perRow; };
    for (int k = 0; k < cols; ++k)
        QCOMPARE(v.rowOfPosition(index.lineStart(3) + 1 + 2 * k) - index.lineFirstRow(3), expectedRow(k));
    QCOMPARE(index.lineRows(3), expectedRow(cols - 1) + 1);
    QCOMPARE(v.rowCount(), 3 + 2 + 1 + index.lineRows(3) + 1);

    // Narrower: every line re-wraps.
    const int oldRows = int(v.rowCount());
    v.resize(v.width() / 2, v.height());
    QVERIFY(v.columnCount() < cols);
    QVERIFY(v.rowCount() > oldRows);
    QCOMPARE(index.lineRows(1), qsizetype((cols + 1 + v.columnCount() - 1) / v.columnCount()));
    v.resize(420, 240);
    QCOMPARE(v.rowCount(), oldRows);
}

void TestLogView::resizeKeepsTopLine()
{
    // Lines of over a thousand cells of Chinese, spread over several index
    // chunks. With an odd column count a row holds one cell fewer than its
    // width allows, so they must be read again after a resize: the rows on
    // screen are made exact at once, the rest are wrapped from the event
    // loop, and the top line stays on top throughout.
    QByteArray longRun;
    for (int k = 0; k < 560; ++k)
        longRun += "\xD6\xD0";
    QByteArray text;
    for (int i = 0; i < 9000; ++i)
        text += "x" + QByteArray::number(i) + " " + (i % 3 == 0 ? longRun : QByteArray("short")) + "\r\n";
    LogView &v = view(text);
    const qsizetype top = 6000;
    v.scrollToRow(v.lineIndex().lineFirstRow(top));
    int width = 260;
    do
        v.resize(width++, 240);
    while (v.columnCount() % 2 == 0 && width < 300);
    QVERIFY(v.columnCount() % 2 == 1);
    QVERIFY(!v.lineIndex().isExact());
    QCOMPARE(v.lineIndex().rowToLine(v.firstVisibleRow()).line, top);
    QCOMPARE(v.lineIndex().rowToLine(v.firstVisibleRow()).rowInLine, 0);
    LineIndex fresh;
    fresh.setColumns(v.columnCount(), m_log);
    fresh.update(m_log);
    for (qsizetype line = top; line < top + v.visibleRowCount(); ++line)
        QCOMPARE(v.lineIndex().lineRows(line), fresh.lineRows(line));
    QTRY_VERIFY(v.lineIndex().isExact());
    QCOMPARE(v.rowCount(), fresh.rowCount());
    QCOMPARE(v.firstVisibleRow(), fresh.lineFirstRow(top));
    QTRY_COMPARE(v.verticalScrollBar()->value(), int(fresh.lineFirstRow(top)));
    v.resize(420, 240);
}

// Rows and lines map to each other both ways, each line on rows of its own
// right after those of the line before it: a view of the index shows no line
// twice and none is missing, whether the rows are exact or estimates.
void checkRowsMapBothWays(const LineIndex &index)
{
    qsizetype row = 0;
    for (qsizetype line = 0; line < index.lineCount(); row += index.lineRows(line), ++line) {
        const qsizetype last = row + index.lineRows(line) - 1;
        const LineIndex::RowPos a = index.rowToLine(row), b = index.rowToLine(last);
        QVERIFY2(last >= row && index.lineFirstRow(line) == row && a.line == line && a.rowInLine == 0
                     && b.line == line && b.rowInLine == last - row,
                 qPrintable(QStringLiteral("line %1 at row %2 of %3 rows").arg(line).arg(row).arg(last + 1 - row)));
    }
    QCOMPARE(index.rowCount(), row);
}

// Lines up to 300 cells of ASCII, of Chinese (at odd and even offsets) or
// with a tab in the first three quarters of the log, short ones after them.
QByteArray mixedWidthLines(QRandomGenerator &rng, int count)
{
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        const int kind = i < count * 3 / 4 ? rng.bounded(10) : 9;
        QByteArray line = "+CMGL: " + QByteArray::number(i) + (kind == 3 ? ",y" : ",");
        if (kind < 2)
            line += QByteArray(rng.bounded(300), 'x');
        for (int k = kind == 2 || kind == 3 ? rng.bounded(150) : 0; k > 0; --k)
            line += "\xd6\xd0";
        if (kind == 4)
            line += "\t" + QByteArray(rng.bounded(40), 'z');
        text += line + (i % 7 == 0 ? "\n" : "\r\n");
    }
    return text;
}

// A new width wraps an index kept in a file a chunk at a time: before and
// between the steps rows and lines map both ways, the chunks of given lines
// are wrapped at once on demand, and at the end the index is the reference
// wrap.
void TestLogView::rewrapInSlicesMatchesReference()
{
    QRandomGenerator rng(23);
    const QByteArray text = mixedWidthLines(rng, 40000);
    SessionLog log;
    log.setMemoryLimit(0);
    log.Append(text);
    LineIndex index;
    index.setMemoryLimit(0);
    index.setColumns(80, log);
    index.update(log);
    QVERIFY(index.storedChunks() >= 5);
    QString where;
    auto report = qScopeGuard([&] { QTest::currentTestFailed() ? qWarning("%s", qPrintable(where)) : void(); });
    // A chunk whose lines all fit in a row takes a row a line unread: 13 is
    // the widest line of the ninth chunk ("+CMGL: 36863,"), 12 a cell less.
    for (const int columns : {37, 80, 9, 200, 2, 12, 13, 81}) {
        const std::vector<RefLine> ref = referenceLines(text, columns);
        index.setColumns(columns, log);
        QVERIFY(!index.isExact());
        where = QStringLiteral("estimates at %1 columns").arg(columns);
        checkRowsMapBothWays(index);
        if (QTest::currentTestFailed())
            return;
        // The chunk of a line in the middle at once.
        const qsizetype middle = index.rowToLine(index.rowCount() / 2).line;
        QVERIFY(index.refineLines(log, middle, middle));
        QVERIFY(!index.refineLines(log, middle, middle));
        QCOMPARE(index.lineRows(middle), ref[size_t(middle)].rows);
        for (int slices = 1; !index.refine(log, 64 * 1024); ++slices) {
            where = QStringLiteral("after %1 slices at %2 columns").arg(slices).arg(columns);
            checkRowsMapBothWays(index);
            if (QTest::currentTestFailed())
                return;
        }
        where = QStringLiteral("wrapped at %1 columns").arg(columns);
        compareWithReference(index, text, rng);
        if (QTest::currentTestFailed())
            return;
    }
}

// The view over a log whose line index is in a file, after a resize, a zoom
// or the timestamps gutter: the screen and a copy of it are those of a view
// made afresh at that size, at once and wherever it is scrolled to while the
// rest is wrapped from the event loop; once that is done, every line and the
// scroll range are the reference's.
void TestLogView::rewrapShownMeanwhile()
{
    QRandomGenerator rng(31);
    const QByteArray text = mixedWidthLines(rng, 30000);
    m_view->setIndexMemoryLimit(0);
    auto restore = qScopeGuard([this] {
        m_view->setIndexMemoryLimit(LineIndex::kDefaultMemoryLimit);
        m_view->resetZoom();
        m_view->resize(420, 240);
    });
    LogView &v = view(text);
    QVERIFY(v.lineIndex().storedChunks() >= 3);
    v.scrollToRow(v.rowCount() / 3);
    QString where;
    auto report = qScopeGuard([&] { QTest::currentTestFailed() ? qWarning("%s", qPrintable(where)) : void(); });

    const auto compareWithFresh = [&] {
        v.viewport()->grab(); // the lines on screen are wrapped before they are painted
        const LineIndex::RowPos top = v.lineIndex().rowToLine(v.firstVisibleRow());
        LogView fresh;
        fresh.setFont(v.font());
        fresh.setTimestamps(v.timestamps());
        fresh.resize(v.size());
        fresh.show();
        fresh.setLog(&m_log);
        while (fresh.lineIndex().indexedSize() < m_log.size())
            fresh.logChanged(false);
        fresh.scrollToRow(fresh.lineIndex().lineFirstRow(top.line) + top.rowInLine);
        QCOMPARE(v.viewport()->grab().toImage(), fresh.viewport()->grab().toImage());
        const auto gutter = [](LogView &w) { return w.findChild<QWidget *>(QStringLiteral("timestampGutter")); };
        if (gutter(v))
            QCOMPARE(gutter(v)->grab().toImage(), gutter(fresh)->grab().toImage());
        const QPoint corner(v.viewport()->width() - 1, v.viewport()->height() - 1);
        v.setSelection(v.positionAt(QPoint(0, 0)), v.positionAt(corner));
        fresh.setSelection(fresh.positionAt(QPoint(0, 0)), fresh.positionAt(corner));
        QVERIFY(v.hasSelection());
        v.copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), fresh.selectedText());
        v.setSelection(0, 0);
    };
    const std::pair<const char *, std::function<void()>> changes[] = {
        {"narrower", [&] { v.resize(301, 240); }},
        {"zoomed in", [&] { v.setZoom(2); }},
        {"timestamps", [&] { v.setTimestamps(LogView::Timestamps::TimeOfDay); }},
        {"wider", [&] { v.resize(533, 240); }},
        {"no timestamps, no zoom", [&] { v.setTimestamps(LogView::Timestamps::Off); v.resetZoom(); }},
    };
    for (const auto &[what, change] : changes) {
        where = QStringLiteral("%1: at once").arg(what);
        change();
        QVERIFY(!v.lineIndex().isExact());
        compareWithFresh();
        // Elsewhere, where the rows were estimates until shown: the top, a
        // screen across two chunks, two thirds down, the end.
        for (int k = 0; k < 4 && !QTest::currentTestFailed() && !v.lineIndex().isExact(); ++k) {
            where = QStringLiteral("%1: scrolled to place %2 meanwhile").arg(what).arg(k);
            v.scrollToRow(k == 1 ? v.lineIndex().lineFirstRow(2 * LineIndex::kChunkLines - 3) : v.rowCount() * k / 3);
            compareWithFresh();
        }
        if (QTest::currentTestFailed())
            return;
        where = QStringLiteral("%1: when done").arg(what);
        QTRY_VERIFY(v.lineIndex().isExact());
        compareWithReference(v.lineIndex(), text, rng); // rowCount() among the rest
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE(v.verticalScrollBar()->maximum(), int(v.rowCount() - v.visibleRowCount()));
    }
}

void TestLogView::splitGbkCharacterJoins()
{
    LogView &v = view("OK \xD6");
    QCOMPARE(v.lineText(0), u16(u"OK \uFFFD"));
    m_log.Append("\xD0!");
    v.logChanged(true);
    QCOMPARE(v.lineCount(), 1);
    QCOMPARE(v.lineText(0), u16(u"OK 中!"));
    QCOMPARE(v.lineIndex().lineCells(0), 6);
    v.selectAll();
    QCOMPARE(v.selectedText(), u16(u"OK 中!"));
}

void TestLogView::nulShownAsPlaceholder()
{
    LogView &v = view(QByteArray("A\0B\x1B\r\n", 6));
    QCOMPARE(m_log.size(), 6);
    QCOMPARE(m_log.Text(), QByteArray("A\0B\x1B\r\n", 6));
    QCOMPARE(v.lineText(0), u16(u"A\u2400B\u241B"));
    v.selectAll();
    QCOMPARE(v.selectedText(), u16(u"AB\u001B\n"));
}

void TestLogView::selectionAndCopy()
{
    LogView &v = view("AT\r\nOK\r\n\xD6\xD0\xCE\xC4\r\n");
    QSignalSpy changed(&v, &LogView::selectionChanged);
    v.setSelection(2, 6); // break, "OK"
    QCOMPARE(v.selectionStart(), 2);
    QCOMPARE(v.selectionEnd(), 6);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(v.selectedText(), QString("\nOK"));
    v.setSelection(10, 1); // reversed: anchor after the first character of the third line
    QCOMPARE(v.selectionStart(), 1);
    QCOMPARE(v.selectionEnd(), 10);
    QCOMPARE(v.selectedText(), u16(u"T\nOK\n中"));
    v.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), u16(u"T\nOK\n中"));
    v.selectAll();
    QCOMPARE(v.selectedText(), u16(u"AT\nOK\n中文\n"));
    // Out of range is clipped to the log.
    v.setSelection(-5, 1000);
    QCOMPARE(v.selectionStart(), 0);
    QCOMPARE(v.selectionEnd(), m_log.size());
    // Without a selection copy leaves the clipboard alone.
    v.setSelection(3, 3);
    v.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), u16(u"T\nOK\n中"));
    // The hex dump shown and hidden again: what comes after it can be
    // selected, and the dump has the selection when it is shown again.
    v.setHexView(true);
    v.setHexView(false);
    m_log.Append("+CSQ: 20,99\r\n");
    v.logChanged(false);
    v.setSelection(4, m_log.size());
    QCOMPARE(v.selectedText(), u16(u"OK\n中文\n+CSQ: 20,99\n"));
    v.setHexView(true);
    QCOMPARE(v.hexView()->selectionEnd(), m_log.size());
    v.setHexView(false);
}

void TestLogView::mouseSelection()
{
    LogView &v = view("AT+CSQ\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    QWidget *vp = v.viewport();
    const QPoint startOfCsq = v.cursorRectAt(3).topLeft() + QPoint(1, 2);
    const QPoint insideNumber = v.cursorRectAt(8 + 7).center();
    QTest::mousePress(vp, Qt::LeftButton, {}, startOfCsq);
    QTest::mouseMove(vp, insideNumber);
    QTest::mouseRelease(vp, Qt::LeftButton, {}, insideNumber);
    QCOMPARE(v.selectionStart(), 3);
    QCOMPARE(v.selectedText(), QString("CSQ\n+CSQ: 2"));
    // Shift+click extends from the same anchor.
    QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, v.cursorRectAt(24).topLeft() + QPoint(1, 2));
    QCOMPARE(v.selectedText(), QString("CSQ\n+CSQ: 20,99\n\nO"));
    // Double-click selects a word.
    QTest::mouseDClick(vp, Qt::LeftButton, {}, v.cursorRectAt(10).center());
    QCOMPARE(v.selectedText(), QString("CSQ"));
    // Dragging below the viewport scrolls and keeps extending.
    QByteArray many;
    for (int i = 0; i < 200; ++i)
        many += "line " + QByteArray::number(i) + "\r\n";
    view(many);
    QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseMove(vp, QPoint(10, vp->height() + 40));
    QTRY_VERIFY(v.firstVisibleRow() > 5);
    QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(10, vp->height() + 40));
    QCOMPARE(v.selectionStart(), 0);
    QVERIFY(v.rowOfPosition(v.selectionEnd()) >= v.firstVisibleRow() + v.visibleRowCount() - 1);
}

void TestLogView::keyboard()
{
    QByteArray many;
    for (int i = 0; i < 100; ++i)
        many += "row " + QByteArray::number(i) + "\r\n";
    LogView &v = view(many);
    v.setFocus();
    QTest::keyClick(&v, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(v.firstVisibleRow() + v.visibleRowCount(), v.rowCount());
    QTest::keyClick(&v, Qt::Key_PageUp);
    QCOMPARE(v.firstVisibleRow() + 2 * v.visibleRowCount(), v.rowCount());
    QTest::keyClick(&v, Qt::Key_Up);
    QCOMPARE(v.firstVisibleRow() + 2 * v.visibleRowCount() + 1, v.rowCount());
    QTest::keyClick(&v, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(v.firstVisibleRow(), 0);
    QVERIFY(!v.hasSelection());

    // Shift+Down from a click in row 1, column 2 ends in row 3, column 2.
    QTest::mouseClick(v.viewport(), Qt::LeftButton, {}, v.cursorRectAt(7 + 2).topLeft() + QPoint(1, 1));
    QTest::keyClick(&v, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(&v, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(v.selectedText(), QString("w 1\nrow 2\nro"));
    QTest::keyClick(&v, Qt::Key_PageDown, Qt::ShiftModifier);
    QCOMPARE(v.rowOfPosition(v.selectionEnd()), 3 + v.visibleRowCount());
    QVERIFY(v.firstVisibleRow() > 0); // the moved end stays in view

    QTest::keyClick(&v, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(v.selectionEnd() - v.selectionStart(), m_log.size());
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(&v, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text().size(), m_log.size() - 100);

    // Context menu actions follow the selection.
    v.setSelection(0, 0);
    std::unique_ptr<QMenu> menu(v.createContextMenu());
    const QList<QAction *> actions = menu->actions();
    // Copy, Copy with Timestamps, Select All | Zoom In, Zoom Out, Reset Zoom |
    // Timestamps, Mark Sent Text, Hex, Find…
    QCOMPARE(actions.size(), 12);
    QVERIFY(!actions[0]->isEnabled());
    actions[2]->trigger();
    QCOMPARE(v.selectionEnd(), m_log.size());
    QVERIFY(!actions[6]->isEnabled()); // not zoomed
    // Copy with Timestamps stays in its place, greyed while the view shows
    // no times, even with a selection.
    QCOMPARE(actions[1]->text(), QStringLiteral("Copy with Timestamps"));
    std::unique_ptr<QMenu> selected(v.createContextMenu());
    QVERIFY(selected->actions()[0]->isEnabled());
    QVERIFY(!selected->actions()[1]->isEnabled());
    v.setTimestamps(LogView::Timestamps::TimeOfDay);
    std::unique_ptr<QMenu> stamped(v.createContextMenu());
    QVERIFY(stamped->actions()[1]->isEnabled());
    v.setTimestamps(LogView::Timestamps::Off);

    // Zoom: Ctrl+plus (or Ctrl+=), Ctrl+minus, Ctrl+0, a point at a time
    // from the size the view was given.
    const qreal given = v.font().pointSizeF();
    const qsizetype rows = v.visibleRowCount();
    QTest::keyClick(&v, Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(&v, Qt::Key_Equal, Qt::ControlModifier);
    // Ctrl+Shift+= on a US keyboard: the key arrives as plus, with Shift.
    QTest::keyClick(&v, Qt::Key_Plus, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(v.zoom(), 3);
    QCOMPARE(v.font().pointSizeF(), given + 3);
    QVERIFY(v.visibleRowCount() < rows);
    QTest::keyClick(&v, Qt::Key_Minus, Qt::ControlModifier);
    QTest::keyClick(&v, Qt::Key_Minus, Qt::ControlModifier);
    QCOMPARE(v.font().pointSizeF(), given + 1);
    std::unique_ptr<QMenu> zoomed(v.createContextMenu());
    QVERIFY(zoomed->actions()[6]->isEnabled());
    QTest::keyClick(&v, Qt::Key_0, Qt::ControlModifier);
    QCOMPARE(v.font().pointSizeF(), given);
    QCOMPARE(v.visibleRowCount(), rows);
    // Never below a readable size.
    for (int i = 0; i < 40; ++i)
        v.zoomOut();
    QVERIFY(v.font().pointSizeF() >= LogView::kMinPointSize);
    QVERIFY(v.font().pointSizeF() < LogView::kMinPointSize + 1);
    v.resetZoom();
    QCOMPARE(v.font().pointSizeF(), given);
}

void TestLogView::scrolling()
{
    LogView &v = view(QByteArray());
    for (int i = 0; i < 500; ++i) {
        m_log.Append("+CREG: 0," + QByteArray::number(i % 5) + "\r\n");
        v.logChanged(true);
        if (v.rowCount() > v.visibleRowCount())
            QCOMPARE(v.firstVisibleRow() + v.visibleRowCount(), v.rowCount());
        else
            QCOMPARE(v.firstVisibleRow(), 0);
    }
    // The last row is the empty one after the final break.
    QCOMPARE(v.rowCount(), 501);
    // Without scrolling, the position stays.
    v.scrollToRow(10);
    m_log.Append("more\r\n");
    v.logChanged(false);
    QCOMPARE(v.firstVisibleRow(), 10);
    // The wheel and the scroll bar move the view.
    QWheelEvent wheel(QPointF(10, 10), v.viewport()->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(v.viewport(), &wheel);
    QCOMPARE(v.firstVisibleRow(), 10 + QApplication::wheelScrollLines());
    v.verticalScrollBar()->setValue(40);
    QCOMPARE(v.firstVisibleRow(), 40);
    // A resize while at the end stays at the end.
    v.logChanged(true);
    v.resize(420, 300);
    QCOMPARE(v.firstVisibleRow() + v.visibleRowCount(), v.rowCount());
    v.resize(420, 240);
}

void TestLogView::clearResetsSelection()
{
    LogView &v = view("AT\r\nOK\r\n");
    v.selectAll();
    QVERIFY(v.hasSelection());
    m_log.Clear();
    v.logChanged(false);
    QVERIFY(!v.hasSelection());
    QCOMPARE(v.lineCount(), 1);
    QCOMPARE(v.rowCount(), 1);
    QCOMPARE(v.selectedText(), QString());
    m_log.Append("X");
    v.logChanged(false);
    QCOMPARE(v.lineText(0), QString("X"));
}

void TestLogView::largeLogIndexedInSteps()
{
    // Far more than one step of indexing (about 15 ms each) can cover: the
    // view catches up from the event loop and then honours the scroll
    // request.
    SessionLog big;
    const QByteArray line("+CMGL: 1,\"REC READ\",\"+8613800000000\"\r\n");
    QByteArray block;
    for (int i = 0; i < 4096; ++i)
        block += line;
    while (big.size() < 160 * 1024 * 1024)
        big.Append(block);
    LogView v;
    v.resize(420, 240);
    v.setLog(&big);
    v.logChanged(true);
    QVERIFY(v.lineIndex().indexedSize() < big.size());
    QTRY_COMPARE(v.lineIndex().indexedSize(), big.size());
    QCOMPARE(v.lineCount(), big.size() / line.size() + 1);
    QCOMPARE(v.firstVisibleRow() + v.visibleRowCount(), v.rowCount());
}

void TestLogView::stylingHook()
{
    KeywordView v;
    SessionLog log;
    log.Append("ok then\r\nno\xD6ok\r\n\xD6\xD0ok\r\n");
    v.resize(420, 240);
    v.setLog(&log);
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    QCOMPARE(v.lineText(0), QString("OK then"));
    // 0xD6 'o' is a pair: its 'o' stays, the 'k' after it changes.
    QCOMPARE(v.lineText(1), QString("no") + QChar(Gbk::decodePair(0xD6, 'o')) + "K");
    // Right after a whole character the rewrite holds.
    QCOMPARE(v.lineText(2), u16(u"中OK"));
    v.selectAll();
    QCOMPARE(v.selectedText(), QString("OK then\nno") + QChar(Gbk::decodePair(0xD6, 'o')) + u16(u"K\n中OK\n"));
    // The runs are painted in their colour; selected text takes the
    // highlight colours instead.
    const QRect firstRow(0, 0, v.viewport()->width(), v.cursorRectAt(0).height());
    QCOMPARE(countPixels(v.viewport()->grab().toImage(), qRgb(0, 0, 255), firstRow), 0);
    v.setSelection(0, 0);
    QVERIFY(countPixels(v.viewport()->grab().toImage(), qRgb(0, 0, 255), firstRow) > 0);
    // A rewrite that changes the length is ignored.
    v.growLine = true;
    QCOMPARE(v.lineText(0), QString("ok then"));
}

void TestLogView::painting()
{
    static const char text[] = "AT+CSQ\r\n+CSQ: 20,99\r\n\xD6\xD0\xCE\xC4 GBK\r\nNUL\0here\tTAB\r\nOK\r\n";
    LogView &v = view(QByteArray(text, sizeof text - 1));
    v.setSelection(0, 6);
    const QImage image = v.viewport()->grab().toImage();
    if (qEnvironmentVariableIsSet("QRV_SAVE_GRAB"))
        image.save(qEnvironmentVariable("QRV_SAVE_GRAB"));
    const int rowHeight = v.cursorRectAt(0).height();
    // Row 0 selected: highlight colour behind it.
    const QColor highlight = v.palette().color(QPalette::Highlight);
    QVERIFY(countPixels(image, highlight.rgb(), QRect(0, 0, v.cursorRectAt(6).left(), rowHeight)) > 0);
    // Each text row has ink; the row after the last one is blank.
    for (int row = 1; row < 5; ++row)
        QVERIFY2(countDark(image, QRect(0, row * rowHeight, image.width(), rowHeight)) > 10,
                 qPrintable(QString("row %1").arg(row)));
    QCOMPARE(countDark(image, QRect(0, 6 * rowHeight, image.width(), rowHeight)), 0);
    // The Chinese characters are drawn (ink inside their two cells each).
    const QRect chinese = v.cursorRectAt(21).united(v.cursorRectAt(24));
    QVERIFY(countDark(image, chinese) > 20);
}

void TestLogView::accessibility()
{
    LogView &v = view("AT\r\nOK\r\n\xD6\xD0\xCE\xC4\r\n");
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&v);
    QVERIFY(iface);
    QCOMPARE(iface->role(), QAccessible::EditableText);
    QVERIFY(iface->state().readOnly);
    QAccessibleTextInterface *text = iface->textInterface();
    QVERIFY(text);
    const QString all = u16(u"AT\nOK\n中文\n");
    QCOMPARE(text->characterCount(), all.size());
    QCOMPARE(text->text(0, text->characterCount()), all);
    QCOMPARE(text->text(3, 8), u16(u"OK\n中文"));
    // Character offsets map to byte offsets both ways.
    text->setSelection(0, 6, 8);
    QCOMPARE(v.selectionStart(), 8);
    QCOMPARE(v.selectionEnd(), 12);
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    QCOMPARE(start, 6);
    QCOMPARE(end, 8);
    QCOMPARE(text->selectionCount(), 1);
    QCOMPARE(text->cursorPosition(), 8);
    QCOMPARE(text->textAtOffset(4, QAccessible::LineBoundary, &start, &end), QString("OK\n"));
    QCOMPARE(start, 3);
    QCOMPARE(end, 6);
    text->removeSelection(0);
    QCOMPARE(text->selectionCount(), 0);

    // Offsets far into a log longer than the mark spacing.
    QByteArray many;
    for (int i = 0; i < 20000; ++i)
        many += "\xD6\xD0 " + QByteArray::number(i) + "\r\n";
    view(many);
    const QString expected = Gbk::decode(many.constData(), many.size());
    QCOMPARE(text->characterCount(), expected.size());
    const int offset = int(expected.indexOf(QLatin1String(" 15000\n"))) - 1;
    QCOMPARE(text->text(offset, offset + 7), u16(u"中 15000"));
    QCOMPARE(v.charOffsetOf(v.byteOffsetOf(offset)), offset);
}

// Marked, the terminal's own text has a tinted background and the module's
// none; unmarked (the default) there is no tint at all.
void TestLogView::terminalTextMarked()
{
    LogView &v = view(QByteArray());
    m_log.Append("AT+CSQ\r\n", SessionLog::Origin::Terminal);
    m_log.Append("+CSQ: 20,99\r\n");
    m_log.Append("AT+CPIN?\r\n", SessionLog::Origin::Terminal);
    v.logChanged(false);
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    const QRgb tint = v.terminalTextBackground().rgb();
    QVERIFY(tint != v.palette().color(QPalette::Base).rgb());
    const int h = v.cursorRectAt(0).height();
    const auto row = [&](int r) { return QRect(0, r * h, v.viewport()->width(), h); };
    QImage shot = v.viewport()->grab().toImage();
    QCOMPARE(countPixels(shot, tint, v.viewport()->rect()), 0);
    std::unique_ptr<QMenu> menu(v.createContextMenu());
    QAction *mark = nullptr;
    for (QAction *a : menu->actions())
        mark = a->text() == QStringLiteral("Mark Sent Text") ? a : mark;
    QVERIFY(mark && mark->isCheckable() && !mark->isChecked());
    mark->trigger();
    QVERIFY(v.marksTerminalText());
    shot = v.viewport()->grab().toImage();
    QVERIFY(countPixels(shot, tint, row(0)) > 0);
    QCOMPARE(countPixels(shot, tint, row(1)), 0);
    QVERIFY(countPixels(shot, tint, row(2)) > 0);
    // The text and what is copied are the same either way.
    v.selectAll();
    QCOMPARE(v.selectedText(), QStringLiteral("AT+CSQ\n+CSQ: 20,99\nAT+CPIN?\n"));
    // Accessibility tells the marked runs by their background.
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&v)->textInterface();
    int start = -1, end = -1;
    QVERIFY(text->attributes(2, &start, &end).startsWith(QStringLiteral("background-color:rgb(")));
    QCOMPARE(start, 0);
    QCOMPARE(end, 7); // "AT+CSQ\n"
    QCOMPARE(text->attributes(9, &start, &end), QString());
    QCOMPARE(start, 7);
    QCOMPARE(end, 19);
    v.setMarkTerminalText(false);
    QCOMPARE(text->attributes(2, &start, &end), QString());
}

// Timestamps in a gutter beside the text, in two formats, copied on
// request; the log and the plain copy keep their bytes.
void TestLogView::timestampsInAGutter()
{
    LogView &v = view(QByteArray());
    const QDateTime base(QDate(2026, 12, 7), QTime(9, 5, 3, 120));
    qint64 now = base.toMSecsSinceEpoch();
    m_log.setClock([&now] { return now; });
    m_log.Append("AT+CSQ\r\r\n");
    now += 85;
    m_log.Append("+CSQ: 20,99\r\n\r\nOK\r\n");
    now += 2004;
    m_log.Append("RDY");
    v.logChanged(false);
    v.show();
    QVERIFY(QTest::qWaitForWindowExposed(&v));
    const int width = v.viewport()->width();
    const int columns = v.columnCount();
    QCOMPARE(v.timestampText(0), QString()); // off
    QVERIFY(!v.findChild<QWidget *>(QStringLiteral("timestampGutter")));

    v.setTimestamps(LogView::Timestamps::TimeOfDay);
    QCOMPARE(v.timestampText(0), QStringLiteral("09:05:03.120"));
    QCOMPARE(v.timestampText(1), QStringLiteral("09:05:03.120")); // the empty line after CR CR LF
    QCOMPARE(v.timestampText(2), QStringLiteral("09:05:03.205"));
    QCOMPARE(v.timestampText(5), QStringLiteral("09:05:05.209"));
    v.setTimestamps(LogView::Timestamps::SincePrevious);
    QCOMPARE(v.timestampText(0), QStringLiteral("+0.000"));
    QCOMPARE(v.timestampText(2), QStringLiteral("+0.085"));
    QCOMPARE(v.timestampText(3), QStringLiteral("+0.000"));
    QCOMPARE(v.timestampText(5), QStringLiteral("+2.004"));
    // The gutter takes its room from the text and paints the times.
    auto *gutter = v.findChild<QWidget *>(QStringLiteral("timestampGutter"));
    QVERIFY(gutter && gutter->isVisible());
    QVERIFY(v.viewport()->width() < width);
    QVERIFY(v.columnCount() < columns);
    const QImage stamps = gutter->grab().toImage();
    const QRgb back = v.palette().color(QPalette::AlternateBase).rgb();
    QVERIFY(countPixels(stamps, back, stamps.rect()) < stamps.width() * stamps.height() * 97 / 100);

    v.selectAll();
    QCOMPARE(v.selectedText(), QStringLiteral("AT+CSQ\n\n+CSQ: 20,99\n\nOK\nRDY"));
    QCOMPARE(v.selectedTextWithTimestamps(),
             QStringLiteral("+0.000 AT+CSQ\n+0.000 \n+0.085 +CSQ: 20,99\n+0.000 \n+0.000 OK\n+2.004 RDY"));
    v.setSelection(3, 20); // from inside the first line to the end of the third
    v.setTimestamps(LogView::Timestamps::TimeOfDay);
    QCOMPARE(v.selectedTextWithTimestamps(),
             QStringLiteral("09:05:03.120 CSQ\n09:05:03.120 \n09:05:03.205 +CSQ: 20,99"));
    QCOMPARE(m_log.Text(), QByteArray("AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\nRDY"));

    // Accessibility reads the times as the gutter shows them, each line
    // after its time, with offsets that still map to the log's bytes.
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&v)->textInterface();
    const QString stamped = QStringLiteral("09:05:03.120 AT+CSQ\n09:05:03.120 \n09:05:03.205 +CSQ: 20,99\n"
                                           "09:05:03.205 \n09:05:03.205 OK\n09:05:05.209 RDY");
    QCOMPARE(text->characterCount(), stamped.size());
    QCOMPARE(text->text(0, text->characterCount()), stamped);
    QCOMPARE(text->text(40, 60), stamped.mid(40, 20));
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    QCOMPARE(start, 16);
    QCOMPARE(end, 58);
    QCOMPARE(text->text(start, end), stamped.mid(16, 42));
    text->setSelection(0, 47, 52); // "+CSQ:" on the third line
    QCOMPARE(v.selectionStart(), 9);
    QCOMPARE(v.selectionEnd(), 14);
    text->setSelection(0, 36, 36); // in the third line's time: its first byte
    QCOMPARE(v.selectionCursor(), 9);
    QCOMPARE(text->textAtOffset(36, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("09:05:03.205 +CSQ: 20,99\n"));
    QCOMPARE(start, 34);
    v.setTimestamps(LogView::Timestamps::SincePrevious);
    QCOMPARE(text->text(34, 59), QStringLiteral("      +0.085 +CSQ: 20,99\n"));
    QCOMPARE(text->characterCount(), stamped.size());

    v.setTimestamps(LogView::Timestamps::Off);
    QCOMPARE(text->text(0, text->characterCount()), QStringLiteral("AT+CSQ\n\n+CSQ: 20,99\n\nOK\nRDY"));
    QVERIFY(!v.findChild<QWidget *>(QStringLiteral("timestampGutter")));
    QCOMPARE(v.viewport()->width(), width);
    QCOMPARE(v.columnCount(), columns);
    m_log.setClock({});
}

QTEST_MAIN(TestLogView)
#include "test_logview.moc"
