// Pushes modem-like text through a pseudo-terminal into the terminal's real
// receive path (port session, session log, colouring receive view, window
// shown on the offscreen platform unless QT_QPA_PLATFORM says otherwise).
//
//   build/bench/receive_bench [megabytes] [--save FILE]
//       As fast as the pty takes it: throughput, CPU cost, event-loop
//       stalls, the cost of one chunk as the log grows (at 0, 10 MB, 1 GB
//       and the end), resident memory (peak, and growth per byte of log in
//       all and beyond the log's memory limit, 256 MB), and the keyword
//       tokeniser's own speed. --save: the log saved to FILE afterwards as
//       Save does, timed, and its bytes compared (SHA-256) with what the
//       feeder wrote.
//   build/bench/receive_bench --paced [seconds] [interval-ms] [baud] [rounds]
//       A module talking at a line's rate (115200 baud: 11520 bytes/s) in
//       small reads, one every interval-ms (4): the share of one core that
//       the terminal's window thread and whole process use, measured in
//       rounds (10 of 3 s). On a virtual machine run it pinned to one CPU
//       (taskset -c 1) and read the quietest round as well as the median.
//   --timestamps, with either: the view shows the lines' times beside them.
//   --marks, with either: the view marks the terminal's own text, of which
//   a line is added every 5 ms.
//   --transactions, with either: the transactions pane is open.
//   --web-view, with either: the web panel embeds its web view as in the
//   program (when the build has Qt WebEngine).
#include "residentmemory.h"
#include "console/terminaldialog.h"
#include "shell/webpanel.h"
#include "widgets/keywordrichedit.h"

#include <QAction>

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QSignalBlocker>
#include <QStringEncoder>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double ThreadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double ProcessCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// VmHWM: the most the process has had resident.
qint64 PeakResidentBytes()
{
    FILE *f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld", &kb) == 1)
            break;
    if (f)
        std::fclose(f);
    return qint64(kb) * 1024;
}

// What the feeder wrote to the pty, in order.
QCryptographicHash s_fed(QCryptographicHash::Sha256);

// About 1 MB of what a module sends: replies, SMS listings with Chinese text,
// network scans, long hex dumps.
QByteArray ModemText()
{
    QStringEncoder gbk("GBK");
    QByteArray out;
    int n = 0;
    while (out.size() < 1024 * 1024) {
        ++n;
        out += "AT+CSQ\r\r\n+CSQ: " + QByteArray::number(n % 32) + ",99\r\n\r\nOK\r\n";
        out += "AT+CMGL=\"ALL\"\r\r\n";
        for (int i = 1; i <= 3; ++i) {
            out += "+CMGL: " + QByteArray::number(i) + ",\"REC READ\",\"+8613800" + QByteArray::number(100000 + n)
                + "\",,\"26/12/06,10:0" + QByteArray::number(i) + ":00+32\"\r\n";
            out += gbk.encode(QStringLiteral("短信测试第%1条：模块工作正常，信号强度良好。").arg(n)) + "\r\n";
        }
        out += "\r\nOK\r\n";
        out += "AT+COPS=?\r\r\n+COPS: (2,\"CHINA MOBILE\",\"CMCC\",\"46000\"),(1,\"CHINA UNICOM\",\"UNICOM\",\"46001\"),,(0-4),(0-2)\r\n\r\nOK\r\n";
        if (n % 8 == 0) {
            out += "+IPDATA: 600,";
            for (int i = 0; i < 600; ++i)
                out += "0123456789ABCDEF"[(i * 7 + n) % 16];
            out += "\r\n";
        }
        if (n % 5 == 0)
            out += "\r\nERROR\r\n";
    }
    return out;
}

// Writes `total` bytes of `pattern` into the pty master from its own thread,
// as fast as the pty takes them.
void WriteAll(int fd, const QByteArray &pattern, qint64 total, std::atomic<qint64> &written)
{
    qint64 done = 0;
    while (done < total) {
        const qint64 offset = (written.load() + done) % pattern.size();
        const qint64 want = std::min<qint64>(total - done, pattern.size() - offset);
        const ssize_t n = ::write(fd, pattern.constData() + offset, size_t(want));
        if (n > 0) {
            s_fed.addData(QByteArrayView(pattern.constData() + offset, n));
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p { fd, POLLOUT, 0 };
            ::poll(&p, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            std::perror("write");
            break;
        }
    }
    written += done;
}

// Writes `pattern` (from `offset`) at `bytesPerSecond`, one write every
// `intervalMs`, until `stop`.
void WritePaced(int fd, const QByteArray &pattern, double bytesPerSecond, int intervalMs, std::atomic<bool> &stop,
                std::atomic<qint64> &written)
{
    QElapsedTimer t;
    t.start();
    qint64 done = 0;
    qint64 offset = 0;
    while (!stop.load()) {
        const qint64 due = qint64(double(t.nsecsElapsed()) / 1e9 * bytesPerSecond);
        while (done < due) {
            const qint64 want = std::min<qint64>(due - done, pattern.size() - offset);
            const ssize_t n = ::write(fd, pattern.constData() + offset, size_t(want));
            if (n <= 0)
                break;
            done += n;
            offset = (offset + n) % pattern.size();
        }
        written = done;
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
}

// The tokeniser alone on the modem text, line by line as the view gives it.
double TokeniserMegabytesPerSecond(const KeywordTokenizer &tokenizer, const QByteArray &pattern)
{
    std::vector<QByteArray> lines;
    for (const QByteArray &line : pattern.split('\n'))
        lines.push_back(line.endsWith('\r') ? line.chopped(1) : line);
    std::vector<KeywordTokenizer::Token> tokens;
    QElapsedTimer t;
    t.start();
    qint64 bytes = 0;
    while (t.elapsed() < 1000) {
        for (QByteArray &line : lines) {
            tokens.clear();
            tokenizer.ScanLine(line.data(), line.size(), tokens);
            bytes += line.size();
        }
    }
    return double(bytes) / (1024.0 * 1024.0) / (double(t.nsecsElapsed()) / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    // --web-view (anywhere): the window's web panel embeds its web view, as
    // in the program, so that its cost shows in the figures.
    // --marks (anywhere): the view marks the terminal's own text, and the
    // terminal adds a line of its own every 5 ms meanwhile.
    const auto takeFlag = [&](const char *flag) {
        for (int i = 1; i < argc; ++i) {
            if (qstrcmp(argv[i], flag) == 0) {
                for (int j = i; j + 1 < argc; ++j)
                    argv[j] = argv[j + 1];
                --argc;
                return true;
            }
        }
        return false;
    };
    const bool webView = takeFlag("--web-view");
    const bool marks = takeFlag("--marks");
    const bool transactionsPane = takeFlag("--transactions");
    // --timestamps (anywhere): the view shows each line's time beside it.
    const bool timestamps = takeFlag("--timestamps");
    // --save FILE (anywhere): the log saved afterwards.
    QString saveTo;
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--save") == 0) {
            saveTo = QString::fromLocal8Bit(argv[i + 1]);
            for (int j = i; j + 2 < argc; ++j)
                argv[j] = argv[j + 2];
            argc -= 2;
            break;
        }
    }
    if (webView && WebPanel::WebViewAvailable()) {
        if (::geteuid() == 0)
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        WebPanel::PrepareApplication();
    } else if (webView) {
        std::fprintf(stderr, "this build has no web view\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const bool paced = argc > 1 && qstrcmp(argv[1], "--paced") == 0;
    const qint64 megabytes = !paced && argc > 1 ? std::max(atoi(argv[1]), 11) : 50;
    const qint64 MB = 1024 * 1024;

    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios tio {};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    TerminalDialog::SetPortLister([] { return QStringList(); });
    SessionLog log;
    TerminalDialog dialog(log);
    dialog.SelectPort(QString::fromLocal8Bit(name));
    if (dialog.findChild<QComboBox *>(QStringLiteral("portList"))->currentText() != QString::fromLocal8Bit(name)) {
        std::fprintf(stderr, "the Port box did not take %s\n", name);
        return 1;
    }
    dialog.show();
    dialog.StartStopClicked();
    if (!dialog.Session().isOpen()) {
        std::fprintf(stderr, "could not open %s\n", name);
        return 1;
    }
    auto *view = dialog.findChild<KeywordRichEdit *>(QStringLiteral("receiveView"));
    if (transactionsPane)
        dialog.transactionsAction()->setChecked(true);
    if (timestamps)
        view->setTimestamps(LogView::Timestamps::SincePrevious);
    QTimer ownLines;
    if (marks) {
        view->setMarkTerminalText(true);
        QObject::connect(&ownLines, &QTimer::timeout, [&log] {
            log.Append("AT+CSQ\r\n", SessionLog::Origin::Terminal);
        });
        ownLines.start(5);
    }
    const QByteArray pattern = ModemText();
    std::atomic<qint64> written { 0 };

    if (paced) {
        const int seconds = argc > 2 ? std::max(atoi(argv[2]), 1) : 3;
        const int intervalMs = argc > 3 ? std::max(atoi(argv[3]), 1) : 4;
        const int baud = argc > 4 ? std::max(atoi(argv[4]), 300) : 115200;
        const int rounds = argc > 5 ? std::max(atoi(argv[5]), 1) : 10;
        const double rate = baud / 10.0; // 8N1: ten bits a byte
        // Settle first: the window painted, a screenful of log.
        log.Append(pattern.left(8192));
        dialog.RefreshReceiveView(true);
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 500)
            app.processEvents(QEventLoop::AllEvents, 50);
        // Reads and paints, and the share of the viewport painted.
        struct Counter : QObject
        {
            qint64 paints = 0;
            double area = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::Paint) {
                    ++paints;
                    const QRect r = static_cast<QPaintEvent *>(e)->rect();
                    area += double(r.width()) * r.height();
                }
                return false;
            }
        } counter;
        view->viewport()->installEventFilter(&counter);
        qint64 reads = 0;
        QObject::connect(&dialog.Session().serial(), &SerialSession::ReceiveReady, [&] { ++reads; });

        std::atomic<bool> stop { false };
        const qint64 log0 = log.size();
        QElapsedTimer t;
        t.start();
        std::thread writer(WritePaced, master, std::cref(pattern), rate, intervalMs, std::ref(stop),
                           std::ref(written));
        // CPU shares are noisy on a virtual machine: report each round and
        // their median.
        std::vector<double> window, process;
        for (int r = 0; r < rounds; ++r) {
            const double cpu0 = ThreadCpuSeconds(), pcpu0 = ProcessCpuSeconds();
            QElapsedTimer round;
            round.start();
            QEventLoop loop;
            QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
            loop.exec();
            const double elapsed = double(round.nsecsElapsed()) / 1e9;
            window.push_back((ThreadCpuSeconds() - cpu0) / elapsed * 100);
            process.push_back((ProcessCpuSeconds() - pcpu0) / elapsed * 100);
        }
        stop = true;
        writer.join();
        const double elapsed = double(t.nsecsElapsed()) / 1e9;
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
        };
        std::printf("paced                    %d baud, a write every %d ms, %d rounds of %d s\n", baud, intervalMs,
                    rounds, seconds);
        std::printf("received                 %.0f bytes/s\n", double(log.size() - log0) / elapsed);
        const double viewportArea = double(view->viewport()->width()) * view->viewport()->height();
        std::printf("reads, paints            %.0f and %.0f per second, %.0f %% of the viewport each\n",
                    double(reads) / elapsed, double(counter.paints) / elapsed,
                    counter.paints ? counter.area / double(counter.paints) / viewportArea * 100 : 0.0);
        std::printf("window thread, %% of a core per round:");
        for (double w : window)
            std::printf(" %.2f", w);
        std::printf("\nwindow thread            %.2f %% of one core (median), %.2f %% (quietest round)\n",
                    median(window), *std::min_element(window.begin(), window.end()));
        std::printf("whole process            %.2f %% of one core (median), %.2f %% (quietest round; writer "
                    "thread included)\n",
                    median(process), *std::min_element(process.begin(), process.end()));
        dialog.Session().Close();
        ::close(slave);
        ::close(master);
        return 0;
    }

    // Event-loop stalls: the longest gap between ticks of a 5 ms timer.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, longestGap = 0, longestGapAt = 0;
    bool watching = false;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (watching && lastTick > 0 && now - lastTick > longestGap) {
            longestGap = now - lastTick;
            longestGapAt = log.size();
        }
        lastTick = now;
    });
    ticker.start();

    // Sleeps between events as the window's loop does: a loop of
    // processEvents() would spin, and its CPU would count as the receive
    // path's.
    auto waitForLog = [&](qint64 size) {
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (log.size() >= size)
                loop.quit();
        });
        check.start(5);
        if (log.size() < size)
            loop.exec();
    };
    // The time to take one 511-byte chunk into the log and the view, with the
    // repaint it causes: the median of 200 chunks.
    auto chunkMicros = [&]() {
        std::vector<double> samples;
        QByteArray chunk = pattern.mid(1000, 511);
        for (int i = 0; i < 200; ++i) {
            {
                const QSignalBlocker quiet(&dialog.Session().serial());
                if (::write(master, chunk.constData(), size_t(chunk.size())) != chunk.size())
                    std::perror("write");
                s_fed.addData(chunk);
                while (dialog.Session().serial().BytesAvailable() < chunk.size())
                    app.processEvents(QEventLoop::AllEvents, 5);
            }
            QElapsedTimer t;
            t.start();
            dialog.ReceiveChunk();
            view->viewport()->repaint();
            samples.push_back(double(t.nsecsElapsed()) / 1000.0);
        }
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2];
    };

    app.processEvents();
    const qint64 logBefore = log.size(); // the terminal's own text before the first byte fed
    const double chunkAt0 = chunkMicros();
    const qint64 rssStart = ResidentBytes();
    const qint64 logStart = log.size();

    auto flood = [&](qint64 bytes, double *seconds, double *threadCpu, double *processCpu) {
        const qint64 target = log.size() + bytes;
        watching = true;
        lastTick = 0;
        const double cpu0 = ThreadCpuSeconds(), pcpu0 = ProcessCpuSeconds();
        QElapsedTimer t;
        t.start();
        std::thread writer(WriteAll, master, std::cref(pattern), bytes, std::ref(written));
        waitForLog(target);
        writer.join();
        *seconds += double(t.nsecsElapsed()) / 1e9;
        *threadCpu += ThreadCpuSeconds() - cpu0;
        *processCpu += ProcessCpuSeconds() - pcpu0;
        watching = false;
    };

    double seconds = 0, cpu = 0, pcpu = 0;
    flood(10 * MB, &seconds, &cpu, &pcpu);
    const double chunkAt10 = chunkMicros();
    // Up to the memory limit, then on in steps (the chunk's cost at 1 GB).
    const qint64 limit = SessionLog::kDefaultMemoryLimit;
    qint64 rssAtLimit = 0, logAtLimit = 0;
    double chunkAt1G = 0;
    for (qint64 left = megabytes * MB - 10 * MB; left > 0;) {
        qint64 step = std::min<qint64>(left, 256 * MB);
        if (rssAtLimit == 0 && log.size() < limit + 16 * MB)
            step = std::min<qint64>(step, limit + 16 * MB - log.size());
        flood(step, &seconds, &cpu, &pcpu);
        left -= step;
        if (rssAtLimit == 0 && log.size() >= limit + 16 * MB) {
            rssAtLimit = ResidentBytes();
            logAtLimit = log.size();
        }
        if (chunkAt1G == 0 && log.size() >= 1024 * MB) {
            chunkAt1G = chunkMicros();
        }
    }
    const double chunkAt50 = chunkMicros();
    const qint64 rssEnd = ResidentBytes();
    const qint64 logBytes = log.size() - logStart;

    const double mb = double(megabytes);
    std::printf("log size                 %.1f MB (%lld lines in the view)\n", double(log.size()) / MB,
                static_cast<long long>(view->lineCount()));
    std::printf("throughput               %.1f MB/s\n", mb / seconds);
    std::printf("CPU per MB (window)      %.4f s   (receive path on the window's thread)\n", cpu / mb);
    std::printf("CPU per MB (process)     %.4f s   (including the writer thread)\n", pcpu / mb);
    std::printf("longest event-loop stall %.1f ms (at %.0f MB of log)\n", double(longestGap) / 1e6,
                double(longestGapAt) / MB);
    std::printf("one 511-byte chunk       %.1f us at 0 MB, %.1f us at 10 MB, ", chunkAt0, chunkAt10);
    if (chunkAt1G > 0)
        std::printf("%.1f us at 1 GB, ", chunkAt1G);
    std::printf("%.1f us at %lld MB (x%.2f)\n", chunkAt50, static_cast<long long>(megabytes), chunkAt50 / chunkAt0);
    std::printf("resident memory growth   %.2f bytes per byte of log\n", double(rssEnd - rssStart) / double(logBytes));
    if (rssAtLimit > 0)
        std::printf("  beyond the log's limit %.3f bytes per byte (%.0f MB resident at %.0f MB of log, %.0f MB at "
                    "the end)\n",
                    double(rssEnd - rssAtLimit) / double(log.size() - logAtLimit), double(rssAtLimit) / MB,
                    double(logAtLimit) / MB, double(rssEnd) / MB);
    std::printf("peak resident            %.0f MB; log in memory %.0f MB, in its file %.0f MB; line index %.1f MB "
                "(%lld chunks in its file)\n",
                double(PeakResidentBytes()) / MB, double(log.residentBytes()) / MB, double(log.storedBytes()) / MB,
                double(view->lineIndex().memoryUsage()) / MB, qlonglong(view->lineIndex().storedChunks()));
    std::printf("arrival-time marks       %lld (%.4f bytes per byte of log, %.2f per line)\n",
                qlonglong(log.timeMarkCount()), double(log.timeMarkCount()) * 16 / double(logBytes),
                double(log.timeMarkCount()) * 16 / double(std::max<qsizetype>(1, view->lineCount())));
    std::printf("keyword tokeniser alone  %.0f MB/s\n", TokeniserMegabytesPerSecond(view->Tokenizer(), pattern));

    if (!saveTo.isEmpty()) {
        // As Save writes it, then read back and compared with what was fed.
        QElapsedTimer t;
        t.start();
        QFile file(saveTo);
        const bool saved = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && log.WriteTo(file);
        file.close();
        const double saveSeconds = double(t.nsecsElapsed()) / 1e9;
        QCryptographicHash back(QCryptographicHash::Sha256);
        qint64 size = 0;
        if (saved && file.open(QIODevice::ReadOnly)) {
            size = file.size();
            file.seek(logBefore);
            while (!file.atEnd())
                back.addData(file.read(4 * MB));
        }
        const bool same = saved && size == log.size() && back.result() == s_fed.result();
        std::printf("save                     %.1f s for %.0f MB (%.0f MB/s); the file %s what was fed (sha256 %s)\n",
                    saveSeconds, double(size) / MB, double(size) / MB / saveSeconds, same ? "equals" : "DIFFERS from",
                    s_fed.result().toHex().left(16).constData());
        QFile::remove(saveTo);
        if (!same)
            return 1;
    }

    dialog.Session().Close();
    ::close(slave);
    ::close(master);
    return 0;
}
