// qrvterm-run on a rack of modules: qrvsim --count N serves N simulated
// modules on ptys (each behind a link), and one qrvterm-run runs the example
// set plus a checked AT+CGSN and AT+CSQ on all of them through --ports.
//
//   build/bench/rack_bench [N ...]     (1 8 32)
//
// For each N: the run's wall time, its CPU time (user + system) and peak
// resident memory (from wait4, the runner alone; the simulator's CPU is told
// apart), the median and worst per-command time (last byte written to the
// final result code, from the JSON report), and whether every module's
// report has the same shape as the single module's (each command's outcome,
// result code, attempts and number of reply lines). Memory per extra module
// is (peak(N) - peak(1)) / (N - 1).
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Usage
{
    int status = -1;
    double cpuSeconds = 0;
    double userSeconds = 0;
    long peakKb = 0;
};

pid_t Spawn(const QStringList &arguments, int stdoutFd)
{
    std::vector<QByteArray> bytes;
    for (const QString &a : arguments)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

Usage Wait(pid_t pid)
{
    Usage u;
    struct rusage r {};
    int status = 0;
    if (wait4(pid, &status, 0, &r) != pid)
        return u;
    u.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    u.userSeconds = double(r.ru_utime.tv_sec) + double(r.ru_utime.tv_usec) / 1e6;
    u.cpuSeconds = u.userSeconds + double(r.ru_stime.tv_sec) + double(r.ru_stime.tv_usec) / 1e6;
    u.peakKb = r.ru_maxrss;
    return u;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Each command's outcome, result, attempts and number of reply lines.
QStringList Shape(const QJsonObject &report)
{
    QStringList shape;
    for (const QJsonValue &c : report.value(QStringLiteral("commands")).toArray()) {
        const QJsonObject o = c.toObject();
        shape << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(o.value(QStringLiteral("command")).toString(), o.value(QStringLiteral("outcome")).toString(),
                          o.value(QStringLiteral("result")).toString())
                     .arg(o.value(QStringLiteral("attempts")).toInt(1))
                     .arg(o.value(QStringLiteral("reply")).toArray().size());
    }
    return shape;
}

struct Result
{
    Usage run, sim;
    double wallSeconds = 0;
    double medianMs = -1, worstMs = -1;
    int modules = 0;
    QList<QStringList> shapes;
};

bool RunRack(const QString &folder, int count, Result *result)
{
    const QString dir = QCoreApplication::applicationDirPath();
    const QString sim = dir + QStringLiteral("/../sim/qrvsim");
    const QString runner = dir + QStringLiteral("/../src/qrvterm-run");
    QTemporaryDir links;
    int pipeFds[2];
    if (!links.isValid() || ::pipe(pipeFds) != 0)
        return false;
    const pid_t simPid = Spawn({sim, QStringLiteral("--count"), QString::number(count), QStringLiteral("--rate"),
                                QStringLiteral("115200"), QStringLiteral("--link"), links.filePath(QStringLiteral("sim"))},
                               pipeFds[1]);
    ::close(pipeFds[1]);
    if (simPid < 0)
        return false;
    // One device path a line, once every module serves.
    QByteArray said;
    char buffer[4096];
    while (said.count('\n') < count) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        said.append(buffer, n);
    }
    const QString json = folder + QStringLiteral("/rack.json");
    QFile::remove(json);
    QElapsedTimer wall;
    wall.start();
    const pid_t runPid = Spawn({runner, QStringLiteral("--ports"), links.filePath(QStringLiteral("sim*")),
                                QStringLiteral("--speed"), QStringLiteral("115200"), QStringLiteral("--expect"),
                                folder + QStringLiteral("/rack.checks"), QStringLiteral("--json"), json,
                                folder + QStringLiteral("/Module/rack.ini")},
                               ::open("/dev/null", O_WRONLY | O_CLOEXEC));
    result->run = Wait(runPid);
    result->wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    ::kill(simPid, SIGTERM);
    result->sim = Wait(simPid);
    ::close(pipeFds[0]);

    QFile file(json);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    QJsonArray modules = root.value(QStringLiteral("modules")).toArray();
    if (modules.isEmpty())
        modules.append(root);
    std::vector<double> times;
    for (const QJsonValue &m : modules) {
        result->shapes << Shape(m.toObject());
        for (const QJsonValue &c : m.toObject().value(QStringLiteral("commands")).toArray()) {
            const QJsonValue e = c.toObject().value(QStringLiteral("elapsedMs"));
            if (!e.isNull())
                times.push_back(e.toDouble());
        }
    }
    result->modules = int(modules.size());
    result->medianMs = Median(times);
    result->worstMs = times.empty() ? -1 : *std::max_element(times.begin(), times.end());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QList<int> counts;
    for (int i = 1; i < argc; ++i)
        counts << QString::fromLocal8Bit(argv[i]).toInt();
    if (counts.isEmpty())
        counts = {1, 8, 32};
    if (!counts.contains(1))
        counts.prepend(1);
    std::sort(counts.begin(), counts.end());

    QTemporaryDir folder;
    QDir(folder.path()).mkpath(QStringLiteral("Module"));
    QFile set(folder.filePath(QStringLiteral("Module/rack.ini")));
    QFile checks(folder.filePath(QStringLiteral("rack.checks")));
    if (!set.open(QIODevice::WriteOnly) || !checks.open(QIODevice::WriteOnly))
        return 1;
    // The example set, then the checked identity and signal.
    set.write("[rack]\r\ncmdnum=8\r\ncmd1=AT\r\ncmd2=ATE0\r\ncmd3=AT+CMGF=1\r\ncmd4=AT+CSCA?\r\ncmd5=AT+CMGR=1\r\n"
              "cmd6=AT+CMGD=1\r\ncmd7=AT+CGSN\r\ncmd8=AT+CSQ\r\n");
    checks.write("[AT+CGSN]\nmatch = ^(?<imei>\\d{15})$\n[AT+CSQ]\nmatch = ^\\+CSQ: (?<rssi>\\d+),(?<ber>\\d+)$\n"
                 "check = rssi >= 10\n");
    set.close();
    checks.close();

    std::printf("%-8s %8s %8s %8s %10s %10s %10s %8s\n", "modules", "wall s", "cpu s", "peak MB", "median ms",
                "worst ms", "sim cpu s", "same");
    Result single;
    bool allSame = true;
    for (int count : std::as_const(counts)) {
        Result r;
        if (!RunRack(folder.path(), count, &r) || r.run.status != 0 || r.modules != count) {
            std::printf("%-8d failed (status %d, %d reports)\n", count, r.run.status, r.modules);
            return 1;
        }
        if (count == 1)
            single = r;
        const bool same = std::all_of(r.shapes.begin(), r.shapes.end(),
                                      [&](const QStringList &s) { return s == single.shapes.value(0); });
        allSame = allSame && same;
        std::printf("%-8d %8.2f %8.3f %8.1f %10.1f %10.1f %10.3f %8s\n", count, r.wallSeconds, r.run.cpuSeconds,
                    double(r.run.peakKb) / 1024.0, r.medianMs, r.worstMs, r.sim.cpuSeconds, same ? "yes" : "NO");
        if (count > 1)
            std::printf("         %.2f MB per extra module; median %+.1f ms against one module\n",
                        double(r.run.peakKb - single.run.peakKb) / 1024.0 / (count - 1), r.medianMs - single.medianMs);
    }
    return allSame ? 0 : 1;
}
