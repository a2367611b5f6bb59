// The session log and the recognition of replies: plain classes, no window.
#include "at/replyflags.h"
#include "session/logsearch.h"
#include "session/sessionlog.h"
#include "spillfiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Lines of AT-like text in pieces of several sizes, as a module's reads come.
QByteArray Fill(SessionLog &log, qsizetype total, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray all;
    const qsizetype pieces[] = { 511, 7, 4096, 70000, 1 };
    int n = 0;
    while (all.size() < total) {
        QByteArray piece;
        const qsizetype want = pieces[n++ % 5];
        while (piece.size() < want)
            piece += "+CSQ: " + QByteArray::number(random.bounded(100000)) + ",99\r\nOK\r\n";
        piece.truncate(want);
        log.Append(piece, n % 7 == 0 ? SessionLog::Origin::Terminal : SessionLog::Origin::Received);
        all += piece;
    }
    return all;
}

// Whether process `pid` has a file open in `folder`.
bool HasFileIn(const QString &pid, const QString &folder)
{
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &fd : QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t n = ::readlink(QFile::encodeName(fds + QLatin1Char('/') + fd).constData(), target, sizeof target);
        if (n > 0 && QString::fromLocal8Bit(target, int(n)).startsWith(folder + QLatin1Char('/')))
            return true;
    }
    return false;
}

} // namespace

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
    // Past its memory limit the log keeps its older blocks in a file: every
    // way of reading it gives back what went in.
    void olderBlocksInAFile()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        SessionLog log;
        int failures = 0;
        log.setStoreFailureHandler([&](SessionLog::StoreFault, const QString &) { ++failures; });
        log.setMemoryLimit(SessionLog::kBlockSize * 3);
        const QByteArray all = Fill(log, 6 * 1024 * 1024 + 12345, 7);
        QCOMPARE(log.size(), all.size());
        QVERIFY2(log.residentBytes() <= SessionLog::kBlockSize * 4, qPrintable(QString::number(log.residentBytes())));
        QVERIFY(log.storedBytes() >= all.size() - SessionLog::kBlockSize * 4);
        QCOMPARE(failures, 0);
        QCOMPARE(log.Text(), all);
        QBuffer saved;
        saved.open(QIODevice::WriteOnly);
        QVERIFY(log.WriteTo(saved));
        QCOMPARE(saved.data(), all);
        // Slices across blocks in the file, in memory and between the two,
        // in an order that makes the kept blocks change.
        QRandomGenerator random(3);
        for (int i = 0; i < 300; ++i) {
            const qsizetype pos = random.bounded(int(all.size()));
            const qsizetype len = random.bounded(SessionLog::kBlockSize * 2);
            QCOMPARE(log.Slice(pos, len), all.mid(pos, len));
        }
        const qsizetype boundary = log.size() - log.residentBytes();
        QCOMPARE(log.Slice(boundary - 10, 20), all.mid(boundary - 10, 20));
        QByteArray visited;
        log.Visit(0, log.size(), [&](const char *p, qsizetype n) { visited.append(p, n); });
        QCOMPARE(visited, all);
        QVERIFY(log.TimeAt(10) > 0);
        QVERIFY(!log.TerminalRanges(0, log.size()).empty());
        // The file is in TMPDIR, and has no name there.
        QVERIFY(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty());
        QVERIFY(HasFileIn(QStringLiteral("self"), tmp.path()));

        // Clear frees the file; the log fills again from the start.
        log.Clear();
        QCOMPARE(log.storedBytes(), 0);
        QCOMPARE(log.residentBytes(), 0);
        const QByteArray again = Fill(log, 2 * 1024 * 1024, 9);
        QCOMPARE(log.Text(), again);
        QVERIFY(log.storedBytes() > 0);
    }

    // The times of the lines and the terminal's ranges, past their share of
    // the limit, also in files: the same answers.
    void timesAndRangesInAFile()
    {
        SessionLog log;
        log.setMemoryLimit(0);
        qint64 now = 1000;
        log.setClock([&] { return now; });
        std::vector<qsizetype> starts;
        std::vector<SessionLog::Range> ranges;
        for (int i = 0; i < 30000; ++i) {
            now += 1 + i % 3;
            starts.push_back(log.size());
            const bool ours = i % 3 == 0;
            const QByteArray line = ours ? QByteArray("AT+CSQ\r\n") : QByteArray("+CSQ: 17,99\r\n");
            if (ours)
                ranges.push_back({log.size(), log.size() + line.size()});
            log.Append(line, ours ? SessionLog::Origin::Terminal : SessionLog::Origin::Received);
        }
        QCOMPARE(log.timeMarkCount(), 30000);
        qint64 expected = 1000;
        for (int i = 0; i < 30000; ++i) {
            expected += 1 + i % 3;
            if (i % 97 == 0 || i > 29990) {
                QCOMPARE(log.TimeAt(starts[size_t(i)]), expected);
                QCOMPARE(log.TimeAt(starts[size_t(i)] + 3), expected);
            }
        }
        const std::vector<SessionLog::Range> all = log.TerminalRanges(0, log.size());
        QCOMPARE(all.size(), ranges.size());
        QVERIFY(all == ranges);
        const qsizetype mid = starts[15000] + 2;
        const std::vector<SessionLog::Range> some = log.TerminalRanges(mid, mid + 100);
        QVERIFY(!some.empty());
        QCOMPARE(some.front().from, mid);
    }

    // A file that loses what it held (an I/O error on its disk; here it is
    // cut short): what cannot be read back is never given as bytes.
    void unreadableFileGivesNoBytes()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        SessionLog log;
        QList<SessionLog::StoreFault> told;
        QStringList reasons;
        log.setStoreFailureHandler([&](SessionLog::StoreFault fault, const QString &reason) {
            told << fault;
            reasons << reason;
        });
        log.setMemoryLimit(SessionLog::kBlockSize * 2);
        const QByteArray all = Fill(log, 3 * 1024 * 1024, 21);
        QVERIFY(log.storedBytes() >= 4 * SessionLog::kBlockSize);
        // The first block stays readable, the others are gone.
        QCOMPARE(TruncateSpillFiles(tmp.path(), SessionLog::kBlockSize), 1);
        QVERIFY(!log.ReadFailed());
        const QByteArray zeros(512, '\0');

        QBuffer saved;
        saved.open(QIODevice::WriteOnly);
        QVERIFY(!log.WriteTo(saved));
        QVERIFY(!saved.data().contains(zeros));
        QVERIFY(all.startsWith(saved.data()));
        QVERIFY(log.ReadFailed());
        QVERIFY2(log.readError().contains(tmp.path()), qPrintable(log.readError()));
        QCOMPARE(told, QList<SessionLog::StoreFault> {SessionLog::StoreFault::CannotRead});
        QCOMPARE(reasons.first(), log.readError());

        // Each read stops where the bytes are lost, and says so.
        bool complete = true;
        const QByteArray slice = log.Slice(SessionLog::kBlockSize - 100, 1000, &complete);
        QVERIFY(!complete);
        QCOMPARE(slice, all.mid(SessionLog::kBlockSize - 100, 100));
        QVERIFY(log.Slice(SessionLog::kBlockSize + 100, 1000, &complete).isEmpty());
        QVERIFY(!complete);
        complete = true;
        QCOMPARE(log.Text(&complete), all.left(SessionLog::kBlockSize));
        QVERIFY(!complete);
        QByteArray visited;
        QVERIFY(!log.Visit(0, log.size(), [&](const char *p, qsizetype n) { visited.append(p, n); }));
        QCOMPARE(visited, all.left(SessionLog::kBlockSize));
        // VisitAll goes past them, and gives the bytes after them.
        QByteArray after;
        qsizetype lost = 0;
        QVERIFY(!log.VisitAll(
            SessionLog::kBlockSize, log.size(), [&](const char *p, qsizetype n) { after.append(p, n); },
            [&](qsizetype n) {
                QVERIFY(after.isEmpty());
                lost += n;
            }));
        QCOMPARE(lost + after.size(), all.size() - SessionLog::kBlockSize);
        QCOMPARE(after, all.right(after.size()));
        QCOMPARE(after.size(), log.residentBytes());
        // What is in memory and what the file still holds read as before.
        QCOMPARE(log.Slice(100, 1000, &complete), all.mid(100, 1000));
        QVERIFY(complete);
        QCOMPARE(log.Slice(all.size() - 5000, 5000, &complete), all.right(5000));
        QVERIFY(complete);
        QCOMPARE(told.size(), 1);

        // Clear starts over: a new file, read back again, and a failure of
        // that one is told again.
        log.Clear();
        QVERIFY(!log.ReadFailed());
        const QByteArray again = Fill(log, 2 * 1024 * 1024, 22);
        QCOMPARE(log.Text(&complete), again);
        QVERIFY(complete);
        QCOMPARE(TruncateSpillFiles(tmp.path(), 0), 1);
        QVERIFY(!log.Visit(0, 10, [](const char *, qsizetype) {}));
        QCOMPARE(told.size(), 2);
    }

    // Find over a log whose older bytes are lost: every match in what can be
    // read back, none in what cannot, and the count ends.
    void findGoesPastWhatIsLost()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        SessionLog log;
        log.setMemoryLimit(SessionLog::kBlockSize * 2);
        const QByteArray all = Fill(log, 3 * 1024 * 1024, 51);
        QCOMPARE(TruncateSpillFiles(tmp.path(), SessionLog::kBlockSize), 1);
        const qsizetype kept = log.size() - log.residentBytes();
        const QByteArray head = all.left(SessionLog::kBlockSize);
        const QByteArray tail = all.mid(kept);

        LogSearch search(log);
        search.start(GbkFinder("OK", true));
        QTRY_VERIFY(search.isCounted());
        QCOMPARE(search.count(), head.count("OK") + tail.count("OK"));
        QCOMPARE(search.next(0), head.indexOf("OK"));
        QCOMPARE(search.next(SessionLog::kBlockSize + 1), kept + tail.indexOf("OK"));
        QCOMPARE(search.previous(kept), head.lastIndexOf("OK"));
        QCOMPARE(search.previous(log.size()), kept + tail.lastIndexOf("OK"));
        QVERIFY(log.ReadFailed());
    }

    // Clear empties the blocks kept after a read: a log filled again reads
    // as its new bytes, never as blocks from before the Clear.
    void clearForgetsBlocksReadBack()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        SessionLog log;
        log.setMemoryLimit(SessionLog::kBlockSize * 2);
        const QByteArray before = Fill(log, 2 * 1024 * 1024, 31);
        // The top of the log read, as a view scrolled there does.
        for (int block = 3; block >= 0; --block)
            QCOMPARE(log.Slice(block * SessionLog::kBlockSize, 100), before.mid(block * SessionLog::kBlockSize, 100));
        log.Clear();
        const QByteArray after = Fill(log, 2 * 1024 * 1024, 32);
        QVERIFY(log.storedBytes() >= 4 * SessionLog::kBlockSize);
        QVERIFY(before.left(100) != after.left(100));
        for (int block = 0; block < 4; ++block)
            QCOMPARE(log.Slice(block * SessionLog::kBlockSize, 100), after.mid(block * SessionLog::kBlockSize, 100));
        QCOMPARE(log.Text(), after);
        QBuffer saved;
        saved.open(QIODevice::WriteOnly);
        QVERIFY(log.WriteTo(saved));
        QCOMPARE(saved.data(), after);
    }

    // Reads close together are served from the blocks kept after a read: a
    // working set as large as what is kept goes to the file once a block,
    // however often it is read, and the newest block read is never the one
    // that makes room.
    void readsKeptInMemory()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        SessionLog log;
        log.setMemoryLimit(SessionLog::kBlockSize);
        const QByteArray all = Fill(log, 3 * 1024 * 1024, 41);
        QVERIFY(log.storedBytes() >= 8 * SessionLog::kBlockSize);
        const qsizetype B = SessionLog::kBlockSize;
        quint64 reads = log.storeReads();
        for (int round = 0; round < 20; ++round) {
            for (qsizetype block : {5, 1, 3, 0}) {
                QCOMPARE(log.Slice(block * B + round, 10), all.mid(block * B + round, 10));
            }
        }
        QCOMPARE(log.storeReads() - reads, quint64(4));
        // Back and forth across a boundary, as a view scrolled there.
        reads = log.storeReads();
        for (int round = 0; round < 20; ++round) {
            QCOMPARE(log.Slice(7 * B - 50, 100), all.mid(7 * B - 50, 100));
            QCOMPARE(log.Slice(6 * B + 7, 10), all.mid(6 * B + 7, 10));
        }
        QCOMPARE(log.storeReads() - reads, quint64(2));
        // A fifth block makes room by the least recently read one only.
        reads = log.storeReads();
        log.Slice(2 * B, 10);
        log.Slice(6 * B, 10);
        log.Slice(7 * B, 10);
        QCOMPARE(log.storeReads() - reads, quint64(1));
    }

    // The times and the terminal's ranges in a file that loses what it
    // held: none invented, none repeated.
    void unreadableRecordsNotRepeated()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        auto unset = qScopeGuard([] { qunsetenv("TMPDIR"); });
        SessionLog log;
        log.setMemoryLimit(0);
        qint64 now = 1000;
        log.setClock([&] { return now; });
        std::vector<qsizetype> starts;
        std::vector<qint64> times;
        std::vector<SessionLog::Range> ranges;
        for (int i = 0; i < 20000; ++i) {
            now += 1 + i % 3;
            starts.push_back(log.size());
            times.push_back(now);
            const bool ours = i % 2 == 0;
            const QByteArray line = ours ? QByteArray("AT+CSQ\r\n") : QByteArray("+CSQ: 17,99\r\n");
            if (ours)
                ranges.push_back({log.size(), log.size() + line.size()});
            log.Append(line, ours ? SessionLog::Origin::Terminal : SessionLog::Origin::Received);
        }
        QVERIFY(TruncateSpillFiles(tmp.path(), 0) >= 2);

        const std::vector<SessionLog::Range> got = log.TerminalRanges(0, log.size());
        QVERIFY(!got.empty());
        QVERIFY(got.size() < ranges.size());
        for (size_t i = 0; i < got.size(); ++i) {
            QVERIFY2(std::find(ranges.begin(), ranges.end(), got[i]) != ranges.end(), qPrintable(QString::number(i)));
            if (i > 0)
                QVERIFY(got[i - 1].to < got[i].from);
        }
        QCOMPARE(got.back(), ranges.back());
        int known = 0;
        for (size_t i = 0; i < starts.size(); i += 7) {
            const qint64 t = log.TimeAt(starts[i] + 1);
            QVERIFY2(t == times[i] || t == -1, qPrintable(QStringLiteral("line %1: %2").arg(i).arg(t)));
            known += t == times[i];
        }
        QVERIFY(known > 0);
        QCOMPARE(log.TimeAt(starts.back()), times.back());
        QVERIFY(log.ReadFailed());
        QVERIFY(log.readError().contains(tmp.path()));
        // The bytes themselves are all there.
        bool complete = false;
        QCOMPARE(log.Text(&complete).size(), log.size());
        QVERIFY(complete);
    }

    // Killed, the process leaves nothing behind in TMPDIR.
    void fileGoesWithTheProcess()
    {
        QTemporaryDir tmp;
        int ready[2];
        QVERIFY(::pipe(ready) == 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            qputenv("TMPDIR", tmp.path().toLocal8Bit());
            SessionLog log;
            log.setMemoryLimit(0);
            Fill(log, 4 * 1024 * 1024, 1);
            const char ok = log.storedBytes() > 0 ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            for (;;)
                ::pause();
        }
        auto reap = qScopeGuard([pid] {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        });
        ::close(ready[1]);
        char ok = 0;
        QCOMPARE(::read(ready[0], &ok, 1), 1);
        ::close(ready[0]);
        QCOMPARE(ok, 'y');
        QVERIFY(HasFileIn(QString::number(pid), tmp.path()));
        reap.dismiss();
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        QVERIFY(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty());
    }

    // A file that cannot grow (a full disk; here a file size limit): said
    // once, and everything stays in memory from then on.
    void fullDiskKeepsEverythingInMemory()
    {
        QTemporaryDir tmp;
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        rlimit old {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = rlim_t(SessionLog::kBlockSize * 3);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        auto restore = qScopeGuard([&] {
            ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldHandler);
            qunsetenv("TMPDIR");
        });
        SessionLog log;
        QStringList told;
        log.setStoreFailureHandler([&](SessionLog::StoreFault fault, const QString &reason) {
            QCOMPARE(fault, SessionLog::StoreFault::CannotWrite);
            told << reason;
        });
        log.setMemoryLimit(0);
        const QByteArray all = Fill(log, 3 * 1024 * 1024, 5);
        QCOMPARE(told.size(), 1);
        QVERIFY2(told.first().contains(QLatin1String("File too large")), qPrintable(told.first()));
        QCOMPARE(log.storeError(), told.first());
        QCOMPARE(log.storedBytes(), SessionLog::kBlockSize * 3);
        QCOMPARE(log.residentBytes(), all.size() - SessionLog::kBlockSize * 3);
        QCOMPARE(log.Text(), all);

        // A folder where no file can be made: also said once.
        restore.dismiss();
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        qputenv("TMPDIR", "/proc/qrv-no-such-folder");
        SessionLog nowhere;
        QStringList said;
        nowhere.setStoreFailureHandler([&](SessionLog::StoreFault, const QString &reason) { said << reason; });
        nowhere.setMemoryLimit(0);
        const QByteArray kept = Fill(nowhere, 2 * 1024 * 1024, 6);
        qunsetenv("TMPDIR");
        QCOMPARE(said.size(), 1);
        QVERIFY(said.first().contains(QLatin1String("/proc/qrv-no-such-folder")));
        QCOMPARE(nowhere.storedBytes(), 0);
        QCOMPARE(nowhere.Text(), kept);
    }
};

QTEST_GUILESS_MAIN(TestSessionLog)
#include "test_sessionlog.moc"
