// qrvterm-run on a rack of simulated modules each behind its own ser2net
// port, beside the same rack reached locally (rack_bench's run: the example
// set plus a checked AT+CGSN and AT+CSQ on every module).
//
//   build/bench/netrack_bench [N] [--cases local,raw,rfc2217] [--rounds R]
//
// A case "raw@..." or "rfc2217@..." serves with more of ser2net's settings
// (ser2netcase.h), e.g. rfc2217@nodelay (each piece sent at once) or
// rfc2217@chardelay=false.
//
// For each case, fresh modules (the set deletes message 1, so modules that
// ran it once fail it the second time): qrvsim --count N on ptys, then
//   local    qrvterm-run --ports on their links, as rack_bench;
//   raw      one ser2net (own configuration on 127.0.0.1, never the
//            system's) with a raw TCP port per module, and qrvterm-run with
//            N times --port socket://127.0.0.1:Pn;
//   rfc2217  the same with RFC 2217 ports, --port rfc2217://127.0.0.1:Pn.
// Per case: wall time of the run, the time outside the modules' runs
// ("outside": the wall time less the longest module's run, i.e. start-up,
// the opens, which go one after another before any run starts, and the
// close with its pause), the
// runner's CPU and peak memory (wait4), the simulator's and ser2net's CPU,
// the median module duration and the median and worst per-command time
// (last byte written to the final result code, from the JSON report), and
// whether every module's report has the local rack's shape (each
// command's outcome, result code, attempts and number of reply lines).
// With --rounds R the cases run R times (order turned each round) and the
// medians follow.
#include "ser2netcase.h"
#include "ser2netprogram.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// The width of the case column: the longest case name.
int s_nameWidth = 8;

struct Usage
{
    int status = -1;
    double cpuSeconds = 0;
    long peakKb = 0;
};

pid_t Spawn(const QStringList &arguments, int stdoutFd, int stderrFd = -1)
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
    if (stderrFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

Usage Wait(pid_t pid)
{
    Usage u;
    rusage r {};
    int status = 0;
    if (pid <= 0 || wait4(pid, &status, 0, &r) != pid)
        return u;
    u.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    u.cpuSeconds = double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    u.peakKb = r.ru_maxrss;
    return u;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
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

// count free TCP ports on 127.0.0.1, all different.
QList<quint16> FreePorts(int count)
{
    std::vector<std::unique_ptr<QTcpServer>> probes;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        auto probe = std::make_unique<QTcpServer>();
        if (!probe->listen(QHostAddress::LocalHost))
            return {};
        ports << probe->serverPort();
        probes.push_back(std::move(probe));
    }
    return ports;
}

struct Result
{
    QString name;
    Usage run, sim, server;
    double wallSeconds = 0;
    double medianMs = -1, worstMs = -1, moduleMs = -1;
    double outsideRuns = 0; // wall time less the longest module's run: start-up, opens and close
    std::map<QString, std::vector<double>> byCommand; // each command's times over the modules
    QStringList commandOrder;
    int modules = 0;
    QList<QStringList> shapes;
    bool serverUsed = false;
};

bool RunCase(const QString &folder, const QString &kind, int count, Result *result)
{
    result->name = kind;
    const QString dir = QCoreApplication::applicationDirPath();
    const QString sim = dir + QStringLiteral("/../sim/qrvsim");
    const QString runner = dir + QStringLiteral("/../src/qrvterm-run");
    QTemporaryDir work;
    int pipeFds[2];
    if (!work.isValid() || ::pipe(pipeFds) != 0)
        return false;
    const pid_t simPid = Spawn({sim, QStringLiteral("--count"), QString::number(count), QStringLiteral("--rate"),
                                QStringLiteral("115200"), QStringLiteral("--link"), work.filePath(QStringLiteral("sim"))},
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
    const QStringList devices = QString::fromLocal8Bit(said).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    auto stopSim = [&] {
        ::kill(simPid, SIGTERM);
        result->sim = Wait(simPid);
        ::close(pipeFds[0]);
    };
    if (devices.size() != count) {
        stopSim();
        std::fprintf(stderr, "qrvsim served %lld of %d modules\n", qlonglong(devices.size()), count);
        return false;
    }

    QStringList portArgs;
    pid_t serverPid = -1;
    const QString serverLog = work.filePath(QStringLiteral("ser2net.out"));
    if (kind == QLatin1String("local")) {
        portArgs << QStringLiteral("--ports") << work.filePath(QStringLiteral("sim*"));
    } else {
        // One ser2net, a connection a module.
        const QList<quint16> ports = FreePorts(count);
        if (ports.size() != count) {
            stopSim();
            return false;
        }
        QByteArray yaml = "%YAML 1.1\n---\n";
        const Ser2netCase how = Ser2netCase::Parse(kind);
        for (int i = 0; i < count; ++i) {
            yaml += "connection: &m" + QByteArray::number(i + 1) + "\n"
                    "    accepter: " + how.Accepter(ports.at(i)) + "\n"
                    "    connector: serialdev," + QFile::encodeName(devices.at(i)) + ",115200n81,local\n"
                    + how.OptionsBlock();
            portArgs << QStringLiteral("--port") << how.Url(ports.at(i));
        }
        QFile config(work.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly) || config.write(yaml) != yaml.size()) {
            stopSim();
            return false;
        }
        config.close();
        const int out = ::open(QFile::encodeName(serverLog).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        serverPid = Spawn({Ser2netProgram(), QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"),
                           config.fileName(), QStringLiteral("-P"), work.filePath(QStringLiteral("ser2net.pid"))},
                          out, out);
        ::close(out);
        QElapsedTimer waited;
        waited.start();
        bool listening = false;
        while (serverPid > 0 && !listening && waited.elapsed() < 5000) {
            listening = std::all_of(ports.begin(), ports.end(), ListensOn);
            if (!listening)
                QThread::msleep(20);
        }
        if (!listening) {
            QFile log(serverLog);
            log.open(QIODevice::ReadOnly);
            std::fprintf(stderr, "ser2net did not listen on all %d ports: %s\n", count, log.readAll().constData());
            if (serverPid > 0) {
                ::kill(serverPid, SIGTERM);
                Wait(serverPid);
            }
            stopSim();
            return false;
        }
    }

    const QString json = folder + QStringLiteral("/netrack.json");
    QFile::remove(json);
    QElapsedTimer wall;
    wall.start();
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t runPid =
        Spawn(QStringList {runner} + portArgs
                  + QStringList {QStringLiteral("--speed"), QStringLiteral("115200"), QStringLiteral("--expect"),
                                 folder + QStringLiteral("/rack.checks"), QStringLiteral("--json"), json,
                                 folder + QStringLiteral("/Module/rack.ini")},
              quiet, quiet);
    ::close(quiet);
    result->run = Wait(runPid);
    result->wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    if (serverPid > 0) {
        ::kill(serverPid, SIGTERM);
        result->server = Wait(serverPid);
        result->serverUsed = true;
    }
    stopSim();

    QFile file(json);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    QJsonArray modules = root.value(QStringLiteral("modules")).toArray();
    if (modules.isEmpty())
        modules.append(root);
    std::vector<double> times, durations;
    for (const QJsonValue &m : modules) {
        result->shapes << Shape(m.toObject());
        durations.push_back(m.toObject().value(QStringLiteral("durationMs")).toDouble());
        for (const QJsonValue &c : m.toObject().value(QStringLiteral("commands")).toArray()) {
            const QJsonValue e = c.toObject().value(QStringLiteral("elapsedMs"));
            if (!e.isNull()) {
                times.push_back(e.toDouble());
                const QString command = c.toObject().value(QStringLiteral("command")).toString();
                if (!result->commandOrder.contains(command))
                    result->commandOrder << command;
                result->byCommand[command].push_back(e.toDouble());
            }
        }
    }
    result->modules = int(modules.size());
    result->medianMs = Median(times);
    result->worstMs = times.empty() ? -1 : *std::max_element(times.begin(), times.end());
    result->moduleMs = Median(durations);
    if (!durations.empty())
        result->outsideRuns = result->wallSeconds - *std::max_element(durations.begin(), durations.end()) / 1000.0;
    return true;
}

void PrintHeader()
{
    std::printf("%-*s %7s %8s %7s %7s %8s %9s %9s %9s %9s %9s %6s\n", s_nameWidth, "case", "wall s", "outside", "cpu s", "peak MB",
                "sim cpu", "ser2net", "module ms", "median ms", "worst ms", "vs local", "same");
}

void PrintRow(const Result &r, double localMedian, bool same)
{
    std::printf("%-*s %7.2f %8.2f %7.3f %7.1f %8.3f ", s_nameWidth, qPrintable(r.name), r.wallSeconds, r.outsideRuns,
                r.run.cpuSeconds, double(r.run.peakKb) / 1024.0, r.sim.cpuSeconds);
    if (r.serverUsed)
        std::printf("%9.3f ", r.server.cpuSeconds);
    else
        std::printf("%9s ", "-");
    std::printf("%9.1f %9.1f %9.1f ", r.moduleMs, r.medianMs, r.worstMs);
    if (localMedian >= 0)
        std::printf("%+9.1f ", r.medianMs - localMedian);
    else
        std::printf("%9s ", "-");
    std::printf("%6s\n", same ? "yes" : "NO");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int count = 32, rounds = 1;
    QStringList cases = {QStringLiteral("local"), QStringLiteral("raw"), QStringLiteral("rfc2217")};
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--cases") && i + 1 < args.size())
            cases = args.at(++i).split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (args.at(i) == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args.at(++i).toInt());
        else if (args.at(i).toInt() > 0)
            count = args.at(i).toInt();
        else {
            std::fprintf(stderr, "usage: netrack_bench [modules] [--cases local,raw,rfc2217] [--rounds R]\n");
            return 2;
        }
    }
    for (const QString &c : std::as_const(cases))
        s_nameWidth = std::max(s_nameWidth, int(c.size()));
    if (const int status = CheckSer2netCases(cases); status != 0)
        return status;
    // The local rack first, so that the others are told against it.
    if (cases.removeAll(QStringLiteral("local")) > 0)
        cases.prepend(QStringLiteral("local"));

    QTemporaryDir folder;
    QDir(folder.path()).mkpath(QStringLiteral("Module"));
    QFile set(folder.filePath(QStringLiteral("Module/rack.ini")));
    QFile checks(folder.filePath(QStringLiteral("rack.checks")));
    if (!set.open(QIODevice::WriteOnly) || !checks.open(QIODevice::WriteOnly))
        return 1;
    // rack_bench's: the example set, then the checked identity and signal.
    set.write("[rack]\r\ncmdnum=8\r\ncmd1=AT\r\ncmd2=ATE0\r\ncmd3=AT+CMGF=1\r\ncmd4=AT+CSCA?\r\ncmd5=AT+CMGR=1\r\n"
              "cmd6=AT+CMGD=1\r\ncmd7=AT+CGSN\r\ncmd8=AT+CSQ\r\n");
    checks.write("[AT+CGSN]\nmatch = ^(?<imei>\\d{15})$\n[AT+CSQ]\nmatch = ^\\+CSQ: (?<rssi>\\d+),(?<ber>\\d+)$\n"
                 "check = rssi >= 10\n");
    set.close();
    checks.close();

    std::printf("%d modules a case; the example set plus 2 checked commands on each\n", count);
    PrintHeader();
    std::map<QString, std::vector<Result>> all;
    QStringList reference; // a module's shape in the first local run
    bool good = true;
    for (int r = 0; r < rounds; ++r) {
        QStringList order = cases;
        // The local rack stays first in the first round (the reference);
        // later rounds turn the order.
        std::rotate(order.begin(), order.begin() + (r % order.size()), order.end());
        for (const QString &c : std::as_const(order)) {
            Result res;
            if (!RunCase(folder.path(), c, count, &res) || res.run.status != 0 || res.modules != count) {
                std::printf("%-8s failed (status %d, %d reports)\n", qPrintable(c), res.run.status, res.modules);
                return 1;
            }
            if (reference.isEmpty())
                reference = res.shapes.value(0);
            const bool same = std::all_of(res.shapes.begin(), res.shapes.end(),
                                          [&](const QStringList &s) { return s == reference; });
            good = good && same;
            all[c].push_back(res);
            const auto local = all.find(QStringLiteral("local"));
            std::vector<double> localMedians;
            if (local != all.end())
                for (const Result &l : local->second)
                    localMedians.push_back(l.medianMs);
            PrintRow(res, localMedians.empty() ? -1 : Median(localMedians), same);
        }
    }
    // Each command's median over the modules (of all rounds), per case.
    std::printf("per command, median ms over the modules%s:\n", rounds > 1 ? " and rounds" : "");
    std::printf("%-12s", "command");
    for (const QString &c : std::as_const(cases))
        std::printf(" %*s", std::max(8, int(c.size())), qPrintable(c));
    std::printf("\n");
    for (const QString &command : all[cases.first()].front().commandOrder) {
        std::printf("%-12s", qPrintable(command));
        for (const QString &c : std::as_const(cases)) {
            std::vector<double> x;
            for (const Result &r : all[c]) {
                const auto found = r.byCommand.find(command);
                if (found != r.byCommand.end())
                    x.insert(x.end(), found->second.begin(), found->second.end());
            }
            std::printf(" %*.1f", std::max(8, int(c.size())), Median(x));
        }
        std::printf("\n");
    }
    if (rounds > 1) {
        std::printf("medians of %d rounds:\n", rounds);
        PrintHeader();
        double localMedian = -1;
        for (const QString &c : std::as_const(cases)) {
            const std::vector<Result> &v = all[c];
            auto med = [&](auto get) {
                std::vector<double> x;
                for (const Result &f : v)
                    x.push_back(get(f));
                return Median(x);
            };
            Result m;
            m.name = c;
            m.serverUsed = v.front().serverUsed;
            m.wallSeconds = med([](const Result &f) { return f.wallSeconds; });
            m.outsideRuns = med([](const Result &f) { return f.outsideRuns; });
            m.run.cpuSeconds = med([](const Result &f) { return f.run.cpuSeconds; });
            m.run.peakKb = long(med([](const Result &f) { return double(f.run.peakKb); }));
            m.sim.cpuSeconds = med([](const Result &f) { return f.sim.cpuSeconds; });
            m.server.cpuSeconds = med([](const Result &f) { return f.server.cpuSeconds; });
            m.moduleMs = med([](const Result &f) { return f.moduleMs; });
            m.medianMs = med([](const Result &f) { return f.medianMs; });
            m.worstMs = med([](const Result &f) { return f.worstMs; });
            if (c == QLatin1String("local"))
                localMedian = m.medianMs;
            PrintRow(m, c == QLatin1String("local") ? -1 : localMedian,
                     std::all_of(v.begin(), v.end(), [&](const Result &f) {
                         return std::all_of(f.shapes.begin(), f.shapes.end(),
                                            [&](const QStringList &s) { return s == reference; });
                     }));
        }
    }
    return good ? 0 : 1;
}
