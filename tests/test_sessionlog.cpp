// The session log and the recognition of replies: plain classes, no window.
#include "at/replyflags.h"
#include "session/sessionlog.h"

#include <QBuffer>
#include <QTest>

class TestSessionLog : public QObject
{
    Q_OBJECT

    static ReplyFlags &Fresh(ReplyFlags &f)
    {
        f.okSeen = false;
        f.noError = true;
        return f;
    }
    // Feeds the chunks one after another into a fresh scanner.
    static void Feed(ReplyScanner &s, ReplyFlags &f, const QList<QByteArray> &chunks)
    {
        for (const QByteArray &c : chunks)
            s.Scan(c.constData(), c.size(), f);
    }

private slots:
    void lineBreakOnlyWhenNotEmpty()
    {
        SessionLog log;
        log.AppendLineBreak();
        QCOMPARE(log.Text(), QByteArray());
        log.Append("AT");
        log.AppendLineBreak();
        log.Append(QByteArray("\0OK", 3));
        QCOMPARE(log.Text(), QByteArray("AT\r\n\0OK", 7));
        const quint64 gen = log.generation();
        log.Clear();
        QVERIFY(log.isEmpty());
        QVERIFY(log.generation() != gen);
        log.AppendLineBreak();
        QCOMPARE(log.size(), qsizetype(0));
    }

    // What the terminal added is kept beside the bytes, not in them.
    void terminalRangesBesideTheBytes()
    {
        SessionLog log;
        log.Append("OK\r\n");
        log.AppendLineBreak();                             // [4, 6)
        log.Append("AT+CSQ\r\n", SessionLog::Origin::Terminal); // [6, 14), one with the break
        log.Append("+CSQ: 20,99\r\n");
        QByteArray big(SessionLog::kBlockSize + 10, 'x'); // across a block boundary
        const qsizetype bigFrom = log.size();
        log.Append(big, SessionLog::Origin::Terminal);
        QCOMPARE(log.Text(), QByteArray("OK\r\n\r\nAT+CSQ\r\n+CSQ: 20,99\r\n") + big);
        using R = SessionLog::Range;
        QCOMPARE(log.TerminalRanges(0, log.size()), (std::vector<R> {{4, 14}, {bigFrom, log.size()}}));
        // Clipped to what is asked, and nothing where the module spoke.
        QCOMPARE(log.TerminalRanges(8, 20), (std::vector<R> {{8, 14}}));
        QCOMPARE(log.TerminalRanges(14, bigFrom), std::vector<R> {});
        QCOMPARE(log.TerminalRanges(0, 4), std::vector<R> {});
        log.Clear();
        log.Append("RDY");
        QCOMPARE(log.TerminalRanges(0, 10), std::vector<R> {});
    }

    // Each byte's arrival time, kept beside the bytes: a line that starts
    // in a chunk has that chunk's time, even right after the boundary.
    void timesBesideTheBytes()
    {
        SessionLog log;
        qint64 now = 1000;
        log.setClock([&now] { return now; });
        QCOMPARE(log.TimeAt(0), qint64(-1));
        log.Append("OK\r\nA");      // [0, 5) at 1000
        now = 1500;
        log.Append("T\r\n");         // [5, 8) at 1500
        log.Append("RDY");            // the same millisecond: no new mark
        now = 1507;
        log.Append("\r\n+CPIN: READY\r\n", SessionLog::Origin::Terminal);
        QCOMPARE(log.Text(), QByteArray("OK\r\nAT\r\nRDY\r\n+CPIN: READY\r\n"));
        QCOMPARE(log.timeMarkCount(), qsizetype(3));
        QCOMPARE(log.TimeAt(0), qint64(1000));
        QCOMPARE(log.TimeAt(4), qint64(1000)); // "AT" began before the boundary
        QCOMPARE(log.TimeAt(5), qint64(1500)); // the first byte after it
        QCOMPARE(log.TimeAt(8), qint64(1500)); // "RDY"
        QCOMPARE(log.TimeAt(11), qint64(1507));
        QCOMPARE(log.TimeAt(log.size() - 1), qint64(1507));
        QCOMPARE(log.TimeAt(log.size()), qint64(-1));
        log.Clear();
        QCOMPARE(log.timeMarkCount(), qsizetype(0));
        now = 2000;
        log.Append("x");
        QCOMPARE(log.TimeAt(0), qint64(2000));
    }

    void blocksKeepEveryByteInOrder()
    {
        // Appends that straddle block boundaries in odd sizes.
        SessionLog log;
        QByteArray expected;
        quint32 seed = 12345;
        while (expected.size() < 3 * SessionLog::kBlockSize + 777) {
            seed = seed * 1103515245 + 12345;
            QByteArray piece(qsizetype(seed % 700) + 1, char(seed >> 24));
            log.Append(piece);
            expected.append(piece);
        }
        QCOMPARE(log.size(), expected.size());
        QCOMPARE(log.Text(), expected);
        const qsizetype edge = SessionLog::kBlockSize - 3;
        QCOMPARE(log.Slice(edge, 10), expected.mid(edge, 10));
        QCOMPARE(log.Slice(expected.size() - 4, 100), expected.right(4));
        QVERIFY(log.Slice(expected.size(), 1).isEmpty());
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QVERIFY(log.WriteTo(out));
        QCOMPARE(out.data(), expected);
    }

    void okAndErrorAnywhereCaseSensitive()
    {
        ReplyScanner s;
        ReplyFlags f;
        Feed(s, Fresh(f), { "TOKEN" });
        QVERIFY(f.okSeen);
        Feed(s, Fresh(f), { "\r\nSEND OK\r\n" });
        QVERIFY(f.okSeen);
        Feed(s, Fresh(f), { "\r\nok\r\n" });
        QVERIFY(!f.okSeen);
        Feed(s, Fresh(f), { "\r\n+CME ERROR: 10\r\n" });
        QVERIFY(!f.okSeen);
        QVERIFY(!f.noError);
        Feed(s, Fresh(f), { "OK ERROR" });
        QVERIFY(f.okSeen);
        QVERIFY(!f.noError);
        // A read that found nothing counts as a reply.
        Feed(s, Fresh(f), { QByteArray() });
        QVERIFY(f.okSeen);
    }

    void repliesSplitOverChunks()
    {
        ReplyScanner s;
        ReplyFlags f;
        Feed(s, Fresh(f), { "\r\nO" });
        QVERIFY(!f.okSeen);
        Feed(s, f, { "K\r\n" });
        QVERIFY(f.okSeen);

        Feed(s, Fresh(f), { "\r\nER", "R", "OR\r\n" });
        QVERIFY(!f.noError);
        QVERIFY(!f.okSeen);

        // A match lying wholly in the previous chunk is not counted again.
        Feed(s, Fresh(f), { "xxOK" });
        QVERIFY(f.okSeen);
        Feed(s, Fresh(f), { "\r\n" });
        QVERIFY(!f.okSeen);
        Feed(s, Fresh(f), { "ERROR" });
        Fresh(f);
        Feed(s, f, { "x" });
        QVERIFY(f.noError);

        // Zero bytes separate, they do not join.
        Feed(s, Fresh(f), { QByteArray("O\0", 2), "K" });
        QVERIFY(!f.okSeen);

        // Reset forgets the previous chunk.
        Feed(s, Fresh(f), { "O" });
        s.Reset();
        Feed(s, f, { "K" });
        QVERIFY(!f.okSeen);
    }
};

QTEST_GUILESS_MAIN(TestSessionLog)
#include "test_sessionlog.moc"
