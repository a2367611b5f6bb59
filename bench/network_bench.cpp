// The receive path over the network beside the local one: the same flood of
// modem-like text (receive_bench's) pushed into a pty's master, and taken
// by the terminal's window (TerminalDialog, port session, session log,
// colouring receive view; offscreen platform unless QT_QPA_PLATFORM says
// otherwise), its Port box set to
//   local    the pty's slave, as a local device;
//   raw      a real ser2net serving the slave raw ("socket://127.0.0.1:P");
//   rfc2217  a real ser2net serving it with RFC 2217 ("rfc2217://...").
//
//   build/bench/network_bench [megabytes] [--cases local,raw,rfc2217] [--rounds N]
//
// A case "raw@..." or "rfc2217@..." serves with more of ser2net's settings
// (ser2netcase.h): raw@4096 sets dev-to-net-bufsize 4096 (ser2net's default
// passes on what it read from the device in pieces of 64 bytes),
// raw@nodelay sends each piece at once.
//
// Each case has a window, log and pty of its own, and a ser2net of its own,
// started as tests/ser2net.h starts it (a configuration of our own on
// 127.0.0.1, never the system's; the same accepter and connector lines).
// Per case: throughput, CPU seconds per MB of this process (user + system
// from getrusage; the feeder thread included) and of the window's thread
// alone, ser2net's CPU per MB (from /proc/<pid>/stat), the longest
// event-loop stall (lateness of a 1 ms timer) with where it came and how
// much arrived during it, the number of stalls over 20 ms, the mean bytes
// taken per announcement of the port (KB/read) and the window's event-loop
// wake-ups per MB, the process's CPU per MB against the local case's, and
// whether the log holds exactly the bytes written (count and SHA-256).
// With --rounds N the cases run N times (the order turned each round) and
// the medians follow.
#include "console/terminaldialog.h"
#include "ptypair.h"
#include "ser2netcase.h"
#include "ser2netprogram.h"
#include "windowport.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QStringEncoder>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The width of the case column: the longest case name.
int s_nameWidth = 8;

constexpr qint64 MB = 1024 * 1024;

double ThreadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// User + system time of this process, all threads.
double ProcessCpuSeconds()
{
    rusage r {};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// User + system time of process pid from /proc (clock ticks); -1 when gone.
double ProcCpuSeconds(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command's closing parenthesis: state is field 3,
    // utime 14 and stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// ser2net in front of a device on one port of 127.0.0.1, raw or with RFC
// 2217, configured as tests/ser2net.h does (its accepter and connector
// lines) unless the case asks for more (ser2netcase.h).
class Server
{
public:
    static QString Program() { return Ser2netProgram(); }
    ~Server()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    bool start(const QString &device, const Ser2netCase &how)
    {
        if (Program().isEmpty() || !m_dir.isValid())
            return false;
        m_port = FreeLocalPort();
        m_url = how.Url(m_port);
        QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("%YAML 1.1\n---\n"
                     "connection: &port\n"
                     "    accepter: " + how.Accepter(m_port) + "\n"
                     "    connector: serialdev," + QFile::encodeName(device) + ",115200n81,local\n"
                     + how.OptionsBlock());
        config.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(Program(), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config.fileName(),
                                    QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
        if (!m_process.waitForStarted(3000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            if (ListensOn(m_port))
                return true;
            m_process.waitForFinished(20);
            if (m_process.state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }
    pid_t pid() const { return pid_t(m_process.processId()); }
    QString url() const { return m_url; }
    QString output() { return QString::fromUtf8(m_process.readAll()); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_url;
};

// receive_bench's text: about 1 MB of what a module sends (replies, SMS
// listings with Chinese text in GBK, network scans, long hex dumps).
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

// Writes total bytes of pattern into the pty master from its own thread, as
// fast as it takes them, hashing what went; stops early on `stop`.
void WriteAll(int fd, const QByteArray &pattern, qint64 total, QCryptographicHash *fed, std::atomic<qint64> *written,
              std::atomic<bool> *stop)
{
    qint64 done = 0;
    while (done < total && !stop->load()) {
        const qint64 offset = done % pattern.size();
        const qint64 want = std::min<qint64>(total - done, pattern.size() - offset);
        const ssize_t n = ::write(fd, pattern.constData() + offset, size_t(want));
        if (n > 0) {
            fed->addData(QByteArrayView(pattern.constData() + offset, n));
            done += n;
            *written = done;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p {fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            std::perror("write");
            break;
        }
    }
}

struct Figures
{
    QString name;
    bool ok = false;
    qint64 written = 0, received = 0;
    bool same = false;
    double seconds = 0, processCpu = 0, windowCpu = 0, serverCpu = -1;
    double stallMs = 0, stallAtMb = 0, stallKb = 0;
    int stallsOver20 = 0;
    qint64 announcements = 0; // the port saying bytes are waiting
    qint64 wakeups = 0; // the window's event loop waking
    double mbPerSecond() const { return double(written) / MB / seconds; }
    double processPerMb() const { return processCpu / (double(written) / MB); }
    double windowPerMb() const { return windowCpu / (double(written) / MB); }
    double serverPerMb() const { return serverCpu < 0 ? -1 : serverCpu / (double(written) / MB); }
};

Figures RunCase(QApplication &app, const QString &name, const QByteArray &pattern, qint64 bytes)
{
    Figures f;
    f.name = name;
    PtyPair pty;
    if (!pty.isValid()) {
        std::fprintf(stderr, "%s: no pty\n", qPrintable(name));
        return f;
    }
    Server server;
    QString port = pty.slavePath();
    pid_t serverPid = -1;
    if (name != QLatin1String("local")) {
        if (!server.start(pty.slavePath(), Ser2netCase::Parse(name))) {
            std::fprintf(stderr, "%s: ser2net did not start: %s\n", qPrintable(name), qPrintable(server.output()));
            return f;
        }
        serverPid = server.pid();
        port = server.url();
    }

    SessionLog log;
    TerminalDialog dialog(log);
    if (!StartOnPort(dialog, port)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(server.output()));
        return f;
    }
    // Settle: the window painted, the open's own traffic over.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 300)
        app.processEvents(QEventLoop::AllEvents, 50);
    const qint64 logStart = log.size();
    qint64 announcements = 0;
    QObject::connect(&dialog.Session().serial(), &SerialSession::ReceiveReady, &dialog, [&] { ++announcements; });
    qint64 wakeups = 0;
    bool counting = false;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &dialog, [&] {
        if (counting)
            ++wakeups;
    });

    // Stalls: how late a 1 ms timer's ticks come, and what arrived meanwhile.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, lastTickLog = 0, longest = 0, longestAt = 0, longestBytes = 0;
    int over20 = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick > 0) {
            const qint64 late = now - lastTick - 1000000;
            if (late > 20000000)
                ++over20;
            if (late > longest) {
                longest = late;
                longestAt = log.size() - logStart;
                longestBytes = log.size() - lastTickLog;
            }
        }
        lastTick = now;
        lastTickLog = log.size();
    });

    QCryptographicHash fed(QCryptographicHash::Sha256);
    std::atomic<qint64> written {0};
    std::atomic<bool> stop {false};
    ticker.start();
    counting = true;
    const double cpu0 = ThreadCpuSeconds(), pcpu0 = ProcessCpuSeconds(), scpu0 = ProcCpuSeconds(serverPid);
    QElapsedTimer t;
    t.start();
    std::thread writer(WriteAll, pty.masterFd(), std::cref(pattern), bytes, &fed, &written, &stop);
    // Until all arrived, or nothing more for 5 s (bytes lost). The loop
    // sleeps between events as the window's own does: a loop of
    // processEvents() would spin, and its CPU would be counted as the
    // receive path's.
    qint64 seen = log.size();
    QElapsedTimer quiet;
    quiet.start();
    QEventLoop flood;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &flood, [&] {
        if (log.size() != seen) {
            seen = log.size();
            quiet.restart();
        }
        if (log.size() - logStart >= bytes || quiet.elapsed() >= 5000)
            flood.quit();
    });
    check.start(20);
    flood.exec();
    check.stop();
    const double seconds = double(t.nsecsElapsed()) / 1e9;
    f.windowCpu = ThreadCpuSeconds() - cpu0;
    f.processCpu = ProcessCpuSeconds() - pcpu0;
    const double scpu1 = ProcCpuSeconds(serverPid);
    f.serverCpu = scpu0 >= 0 && scpu1 >= 0 ? scpu1 - scpu0 : -1;
    ticker.stop();
    counting = false;
    stop = true;
    writer.join();
    // Anything beyond what was written would show now.
    settle.restart();
    while (settle.elapsed() < 200)
        app.processEvents(QEventLoop::AllEvents, 20);

    f.seconds = seconds;
    f.written = written.load();
    f.received = log.size() - logStart;
    QCryptographicHash got(QCryptographicHash::Sha256);
    for (qint64 at = 0; at < f.received; at += 4 * MB)
        got.addData(log.Slice(logStart + at, std::min<qint64>(4 * MB, f.received - at)));
    f.same = f.received == f.written && got.result() == fed.result();
    f.stallMs = double(longest) / 1e6;
    f.stallAtMb = double(longestAt) / MB;
    f.stallKb = double(longestBytes) / 1024;
    f.stallsOver20 = over20;
    f.announcements = announcements;
    f.wakeups = wakeups;
    f.ok = true;
    dialog.Session().Close();
    return f;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void PrintHeader()
{
    std::printf("%-*s %7s %8s %9s %9s %9s %9s %8s %7s %6s %7s %7s %6s %s\n", s_nameWidth, "case", "MB", "MB/s", "cpu s/MB", "window",
                "ser2net", "stall ms", "at MB", "in KB", ">20ms", "KB/read", "wake/MB", "x cpu", "bytes");
}

void PrintRow(const Figures &f, double localPerMb)
{
    std::printf("%-*s %7.1f %8.1f %9.4f %9.4f ", s_nameWidth, qPrintable(f.name), double(f.written) / MB, f.mbPerSecond(),
                f.processPerMb(), f.windowPerMb());
    if (f.serverCpu >= 0)
        std::printf("%9.4f ", f.serverPerMb());
    else
        std::printf("%9s ", "-");
    std::printf("%9.1f %8.1f %7.0f %6d %7.1f %7.0f ", f.stallMs, f.stallAtMb, f.stallKb, f.stallsOver20,
                f.announcements ? double(f.received) / 1024 / double(f.announcements) : 0.0,
                double(f.wakeups) / (double(f.written) / MB));
    if (localPerMb > 0)
        std::printf("%6.2f ", f.processPerMb() / localPerMb);
    else
        std::printf("%6s ", "-");
    std::printf("%lld of %lld %s\n", qlonglong(f.received), qlonglong(f.written), f.same ? "exact" : "DIFFER");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QStringList cases = {QStringLiteral("local"), QStringLiteral("raw"), QStringLiteral("rfc2217")};
    qint64 megabytes = 64;
    int rounds = 1;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--cases") && i + 1 < args.size())
            cases = args.at(++i).split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (args.at(i) == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args.at(++i).toInt());
        else if (args.at(i).toInt() > 0)
            megabytes = args.at(i).toInt();
        else {
            std::fprintf(stderr, "usage: network_bench [megabytes] [--cases local,raw,rfc2217] [--rounds N]\n");
            return 2;
        }
    }
    for (const QString &c : std::as_const(cases))
        s_nameWidth = std::max(s_nameWidth, int(c.size()));
    if (const int status = CheckSer2netCases(cases); status != 0)
        return status;
    TerminalDialog::SetPortLister([] { return QStringList(); });
    const QByteArray pattern = ModemText();

    std::printf("flood of %lld MB of modem text per case; cpu s/MB: this process (user+sys, feeder thread "
                "included); window: the window's thread; ser2net: its own\n",
                qlonglong(megabytes));
    PrintHeader();
    std::map<QString, std::vector<Figures>> all;
    bool good = true;
    for (int r = 0; r < rounds; ++r) {
        QStringList order = cases;
        std::rotate(order.begin(), order.begin() + (r % order.size()), order.end());
        for (const QString &c : std::as_const(order)) {
            const Figures f = RunCase(app, c, pattern, megabytes * MB);
            if (!f.ok)
                return 1;
            good = good && f.same;
            all[c].push_back(f);
            const auto local = all.find(QStringLiteral("local"));
            PrintRow(f, local != all.end() ? Median([&] {
                std::vector<double> v;
                for (const Figures &l : local->second)
                    v.push_back(l.processPerMb());
                return v;
            }())
                                           : 0);
        }
    }
    if (rounds > 1) {
        std::printf("medians of %d rounds (the stall: the longest of them; >20ms: all of them):\n", rounds);
        PrintHeader();
        double localPerMb = 0;
        for (const QString &c : std::as_const(cases)) {
            const std::vector<Figures> &v = all[c];
            auto med = [&](auto get) {
                std::vector<double> x;
                for (const Figures &f : v)
                    x.push_back(get(f));
                return Median(x);
            };
            Figures m;
            m.name = c;
            m.written = v.front().written;
            m.received = v.front().received;
            m.same = std::all_of(v.begin(), v.end(), [](const Figures &f) { return f.same; });
            m.seconds = med([](const Figures &f) { return f.seconds; });
            m.processCpu = med([](const Figures &f) { return f.processCpu; });
            m.windowCpu = med([](const Figures &f) { return f.windowCpu; });
            m.serverCpu = med([](const Figures &f) { return f.serverCpu; });
            // Stalls: the longest of the rounds, and all those over 20 ms.
            const Figures &worst = *std::max_element(
                v.begin(), v.end(), [](const Figures &a, const Figures &b) { return a.stallMs < b.stallMs; });
            m.stallMs = worst.stallMs;
            m.stallAtMb = worst.stallAtMb;
            m.stallKb = worst.stallKb;
            m.stallsOver20 = 0;
            for (const Figures &f : v)
                m.stallsOver20 += f.stallsOver20;
            m.announcements = qint64(med([](const Figures &f) { return double(f.announcements); }));
            m.wakeups = qint64(med([](const Figures &f) { return double(f.wakeups); }));
            if (c == QLatin1String("local"))
                localPerMb = m.processPerMb();
            PrintRow(m, c == QLatin1String("local") ? 0 : localPerMb);
        }
    }
    return good ? 0 : 1;
}
