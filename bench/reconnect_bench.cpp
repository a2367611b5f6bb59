// A module that resets, against the terminal's session (TerminalSession,
// reconnect on, as in the program): the simulated module on a pty, opened
// through its link, told AT+CFUN=1,1 again and again.
//
//   build/bench/reconnect_bench [resets] [soak] [boot-ms]
//       resets (50): the time from the module being back (its new pty made
//       and its link pointed at it) to the session open on it again, median
//       and worst, and whether every boot message (RDY, +CFUN: 1,
//       +CPIN: READY, SMS Ready) reached the log; boot-ms (0) is how long
//       after it is back the module speaks. Then soak (100) resets more:
//       open files (/proc/self/fd) and resident memory before and after.
//       Then a 10 s wait for a module that stays away: the CPU it costs.
//   build/bench/reconnect_bench --foreign-ptys [resets]
//       While the module is down, another program makes ptys, which get the
//       lost pty's number: the session must come back on the module, never
//       on one of those.
//   build/bench/reconnect_bench --kill-log [rounds]
//       A child terminal logs to disk a 115200-baud stream and is killed with
//       SIGKILL at a random moment; the file must hold every byte sent up to
//       200 ms before the kill, in order, and nothing else.
#include "session/terminalsession.h"
#include "sim/simport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const kBoot[] = {"RDY", "+CFUN: 1", "+CPIN: READY", "SMS Ready"};

// Runs the event loop until done() or timeoutMs; true when done. The loop
// sleeps between events (done() is looked at on each event and every 5 ms).
template<typename Done>
bool Await(Done done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    if (done())
        return true;
    tick.start();
    loop.exec();
    return done();
}

// Runs the event loop for ms with nothing else to wake it.
void Idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

int OpenFiles()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size());
}

long ResidentKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

double CpuSeconds(long *switches = nullptr)
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    if (switches)
        *switches = u.ru_nvcsw + u.ru_nivcsw;
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The module and a session open on it through its link.
struct Rig
{
    QTemporaryDir dir;
    SimPort sim;
    SessionLog log;
    TerminalSession session { log };
    QElapsedTimer moduleBack; // since the module was last back
    qint64 backLatencyNs = -1; // of the last reset
    bool ok = false;

    explicit Rig(int bootMs)
    {
        sim.setResetTiming(SimPort::kResetDownMs, bootMs);
        QString error;
        if (!sim.setLinkPath(dir.filePath(QStringLiteral("module")), &error) || !sim.start(&error)) {
            std::fprintf(stderr, "simulated module: %s\n", qPrintable(error));
            return;
        }
        QObject::connect(&sim, &SimPort::deviceChanged, [this] { moduleBack.start(); });
        QObject::connect(&session, &TerminalSession::deviceBack, [this] {
            backLatencyNs = moduleBack.isValid() ? moduleBack.nsecsElapsed() : -1;
        });
        session.setEndChar(1); // CR
        SerialSettings s;
        s.portName = sim.linkPath();
        s.baudRate = 115200;
        ok = session.Open(s) == SerialSession::OpenResult::Opened;
        if (!ok)
            std::fprintf(stderr, "the session did not open %s\n", qPrintable(s.portName));
    }

    // One reset, to the module's last boot message in the log. False when
    // the session did not come back in time.
    bool resetOnce()
    {
        backLatencyNs = -1;
        moduleBack.invalidate();
        const qsizetype before = log.Text().size();
        session.SendCommandText("AT+CFUN=1,1", true);
        if (!Await([&] { return backLatencyNs >= 0; }, 5000))
            return false;
        return Await([&] { return log.Text().indexOf("SMS Ready\r\n", before) >= 0; }, 2000);
    }

    int bootMessagesInLog(const char *message) const
    {
        return int(log.Text().count(QByteArray(message) + "\r\n"));
    }
};

int Resets(int resets, int soak, int bootMs)
{
    Rig rig(bootMs);
    if (!rig.ok)
        return 1;
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < resets; ++i) {
        if (!rig.resetOnce()) {
            ++failed;
            continue;
        }
        ms.push_back(double(rig.backLatencyNs) / 1e6);
    }
    if (qEnvironmentVariableIsSet("QRV_BENCH_DUMP"))
        std::fwrite(rig.log.Text().constData(), 1, size_t(rig.log.Text().size()), stderr);
    std::printf("%d resets (module speaks %d ms after it is back): %d came back, %d did not\n", resets, bootMs,
                int(ms.size()), failed);
    if (!ms.empty())
        std::printf("  module back -> session open again: median %.3f ms, worst %.3f ms\n", Median(ms),
                    *std::max_element(ms.begin(), ms.end()));
    int lost = 0;
    for (const char *m : kBoot) {
        const int seen = rig.bootMessagesInLog(m);
        lost += std::max(0, resets - seen);
        std::printf("  \"%s\" in the log %d times of %d\n", m, seen, resets);
    }
    std::printf("  boot messages lost: %d of %d\n", lost, 4 * resets);

    const int fdsBefore = OpenFiles();
    const long rssBefore = ResidentKb();
    int soakFailed = 0;
    for (int i = 0; i < soak; ++i)
        soakFailed += rig.resetOnce() ? 0 : 1;
    std::printf("%d resets more (%d did not come back): open files %d -> %d, VmRSS %ld -> %ld kB, log %lld bytes\n",
                soak, soakFailed, fdsBefore, OpenFiles(), rssBefore, ResidentKb(), qlonglong(rig.log.Text().size()));

    // A module that stays away: the session waits on its notices only.
    rig.sim.setResetTiming(15000, bootMs);
    rig.session.SendCommandText("AT+CFUN=1,1", true);
    if (!Await([&] { return rig.session.isWaiting(); }, 3000)) {
        std::printf("the session did not wait\n");
        return 1;
    }
    Idle(500);
    long switchesBefore = 0, switchesAfter = 0;
    const double cpuBefore = CpuSeconds(&switchesBefore);
    QElapsedTimer wall;
    wall.start();
    Idle(10000);
    const double cpu = CpuSeconds(&switchesAfter) - cpuBefore;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    std::printf("waiting %.1f s for a module that stays away: CPU %.4f s = %.4f %% of a core, %ld context switches\n",
                seconds, cpu, 100 * cpu / seconds, switchesAfter - switchesBefore);
    const bool back = Await([&] { return rig.session.isOpen(); }, 10000);
    std::printf("  and when it is back after 15 s: %s\n", back ? "open again" : "NOT open");
    rig.session.Close();
    return failed || soakFailed || lost || !back ? 1 : 0;
}

int ForeignPtys(int resets)
{
    Rig rig(0);
    if (!rig.ok)
        return 1;
    // While the line is down (the session has let go of the lost pty), ptys
    // are made, as a terminal emulator, ssh or another tool makes them: the
    // first takes the lost pty's number.
    std::vector<std::pair<int, int>> foreign;
    QObject::connect(&rig.session, &TerminalSession::waitingForDevice, [&] {
        for (int i = 0; i < 3; ++i) {
            int master = -1, slave = -1;
            if (::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0)
                foreign.emplace_back(master, slave);
        }
    });
    int wrong = 0, failed = 0, reused = 0;
    // Back on a device that is not the module's (the module may not even be
    // back yet).
    QObject::connect(&rig.session, &TerminalSession::deviceBack, [&] {
        if (QFileInfo(rig.session.serial().DevicePath()).canonicalFilePath() != rig.sim.devicePath())
            ++wrong;
    });
    for (int i = 0; i < resets; ++i) {
        const QString lost = QFileInfo(rig.session.serial().DevicePath()).canonicalFilePath();
        const bool came = rig.resetOnce();
        for (const auto &[master, slave] : foreign) {
            char name[64] {};
            if (::ptsname_r(master, name, sizeof name) == 0 && lost == QString::fromLocal8Bit(name))
                ++reused;
            ::close(master);
            ::close(slave);
        }
        foreign.clear();
        if (!came)
            ++failed;
    }
    std::printf("%d resets with foreign ptys made while down (%d of them took the lost pty's number): "
                "opened again on another pty %d times, %d resets did not end with the module's boot messages\n",
                resets, reused, wrong, failed);
    rig.session.Close();
    return wrong || failed ? 1 : 0;
}

// The child: a session logging the pty to disk, until killed.
int LogChild(const QString &pty, const QString &folder)
{
    SessionLog log;
    TerminalSession session(log);
    session.setLogDirectory(folder);
    SerialSettings s;
    s.portName = pty;
    s.baudRate = 115200;
    if (session.Open(s) != SerialSession::OpenResult::Opened)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

QByteArray Stream(qsizetype size)
{
    QByteArray out;
    for (int n = 0; out.size() < size; ++n)
        out += QByteArray::number(n).rightJustified(8, '0') + " +CSQ: 23,99 the quick brown fox\r\n";
    out.truncate(size);
    return out;
}

int KillLog(int rounds, const char *self)
{
    int failures = 0;
    for (int round = 1; round <= rounds; ++round) {
        QTemporaryDir dir;
        int master = -1, slave = -1;
        termios raw {};
        cfmakeraw(&raw);
        if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0)
            return 1;
        char name[64] {};
        ::ptsname_r(master, name, sizeof name);
        int out[2];
        if (::pipe(out) != 0)
            return 1;
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(master);
            ::execl(self, self, "--log-child", name, qPrintable(dir.path()), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char ready[8] {};
        if (::read(out[0], ready, 6) != 6) {
            std::printf("round %d: the child did not start\n", round);
            return 1;
        }
        ::close(slave);
        // 115200 baud: 11520 bytes a second, 115 bytes every 10 ms.
        const QByteArray stream = Stream(11520 * 10);
        const int killAfterMs = 1500 + int(QRandomGenerator::global()->bounded(2000));
        std::vector<std::pair<qint64, qsizetype>> sent; // (ns since start, bytes sent then)
        QElapsedTimer clock;
        clock.start();
        qsizetype done = 0;
        while (clock.elapsed() < killAfterMs) {
            const qsizetype due = std::min(stream.size(), qsizetype(clock.nsecsElapsed() * 11520 / 1000000000));
            if (due > done) {
                const ssize_t n = ::write(master, stream.constData() + done, size_t(due - done));
                if (n > 0)
                    done += n;
                sent.emplace_back(clock.nsecsElapsed(), done);
            }
            ::usleep(2000);
        }
        const qint64 killedAt = clock.nsecsElapsed();
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(out[0]);
        ::close(master);
        // What had been sent 200 ms before the kill.
        qsizetype due = 0;
        for (const auto &[at, bytes] : sent) {
            if (at <= killedAt - 200000000)
                due = bytes;
        }
        const QStringList files = QDir(dir.path()).entryList({QStringLiteral("qrvterm_*.log")}, QDir::Files);
        QByteArray file;
        if (files.size() == 1) {
            QFile f(dir.filePath(files.first()));
            if (f.open(QIODevice::ReadOnly))
                file = f.readAll();
        }
        // How far behind the kill the file's last byte was sent.
        qint64 lagNs = 0;
        for (const auto &[at, bytes] : sent) {
            if (bytes >= file.size()) {
                lagNs = killedAt - at;
                break;
            }
        }
        const bool prefix = stream.startsWith(file) && file.size() <= done;
        const bool pass = files.size() == 1 && prefix && file.size() >= due;
        failures += pass ? 0 : 1;
        std::printf("round %d: killed after %d ms with %lld bytes sent (%lld by 200 ms before); file %lld bytes, %s, "
                    "its last byte sent %.0f ms before the kill: %s\n",
                    round, killAfterMs, qlonglong(done), qlonglong(due), qlonglong(file.size()),
                    prefix ? "in order and nothing else" : "NOT a prefix of what was sent", double(lagNs) / 1e6,
                    pass ? "PASS" : "FAIL");
    }
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto number = [&](int at, int fallback) { return args.size() > at ? args.at(at).toInt() : fallback; };
    if (args.value(0) == QLatin1String("--log-child") && args.size() == 3)
        return LogChild(args.at(1), args.at(2));
    if (args.value(0) == QLatin1String("--foreign-ptys"))
        return ForeignPtys(number(1, 50));
    if (args.value(0) == QLatin1String("--kill-log"))
        return KillLog(number(1, 5), argv[0]);
    return Resets(number(0, 50), number(1, 100), number(2, 0));
}
