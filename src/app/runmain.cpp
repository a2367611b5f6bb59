// qrvterm-run: runs a command set against a module without a window and
// reports every AT transaction (see README, "Running a command set from the
// command line").
#include "app/simulatedport.h"
#include "app/stopsignals.h"
#include "at/commandframe.h"
#include "commands/commandsetfiles.h"
#include "runner/checkfile.h"
#include "runner/commandrunner.h"
#include "runner/decodedanswer.h"
#include "runner/portlistfile.h"
#include "runner/portprobe.h"
#include "serial/networktransport.h"
#include "serial/serialsession.h"
#include "session/logfile.h"
#include "session/portopener.h"
#include "session/terminalsession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QSysInfo>

#include <optional>

#include <memory>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// Modules in one run, at most.
constexpr int kMaxModules = 256;

void Print(FILE *stream, const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        Print(stderr, QStringLiteral("qrvterm-run: cannot write %1: %2").arg(path, file.errorString()).toUtf8());
        return false;
    }
    return true;
}

// --probe: the ports named, or the system's USB and ACM ports.
int Probe(const QStringList &named, const SerialSettings &lineSettings, int timeoutMs, const DeviceRoots &roots)
{
    QList<std::pair<QString, QString>> targets; // port as given, identity
    if (named.isEmpty()) {
        for (const ListedPort &p : SystemSerialPorts(roots)) {
            if (p.usb && !p.builtIn)
                targets.append({p.path, p.identity});
        }
        if (targets.isEmpty())
            Print(stdout, "no USB or ACM serial ports (name one with --port)");
    } else {
        for (const QString &name : named)
            targets.append({name.trimmed(), PortIdentityText(DevicePathForPort(name.trimmed()), roots)});
    }
    PortOpener ports;
    bool anyOk = false;
    for (const auto &[name, identity] : std::as_const(targets)) {
        SerialSettings settings = lineSettings;
        settings.portName = name;
        QString error;
        settings.portName = ports.deviceFor(settings, &error);
        ProbeResult result;
        if (settings.portName.isEmpty())
            result = {ProbeResult::Answer::CannotOpen, error};
        else
            result = ProbePort(settings, timeoutMs);
        anyOk = anyOk || result.answer == ProbeResult::Answer::Ok;
        Print(stdout, ProbeLine(name, result, identity));
    }
    return anyOk ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qrvterm-run"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.02"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends the commands of a command set to a module one by one, waits for each final result code "
        "and reports every transaction.\nExit status: 0 all passed, 1 a command failed or timed out (or the "
        "deadline passed), 2 usage error or a port that cannot be opened or went away, 128+N stopped by signal N "
        "(130 for Ctrl+C); the reports are written in every case."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("set"),
                                 QStringLiteral("Command-set file (e.g. Module/example.ini), or the name of a "
                                                "module type in ./Module."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port: a device path such as /dev/ttyUSB0, a name under /dev, "
                                                 "\"Simulated module\", or a port on another computer: "
                                                 "rfc2217://HOST:PORT (line settings set remotely) or "
                                                 "socket://HOST:PORT (raw TCP)."),
                                  QStringLiteral("name"));
    const QCommandLineOption speed(QStringLiteral("speed"), QStringLiteral("Speed in baud (4800)."),
                                   QStringLiteral("baud"), QStringLiteral("4800"));
    const QCommandLineOption data(QStringLiteral("data"), QStringLiteral("Data bits: 5 to 8 (8)."),
                                  QStringLiteral("bits"), QStringLiteral("8"));
    const QCommandLineOption parity(QStringLiteral("parity"), QStringLiteral("Parity: NONE, EVEN or ODD (NONE)."),
                                    QStringLiteral("parity"), QStringLiteral("NONE"));
    const QCommandLineOption stop(QStringLiteral("stop"), QStringLiteral("Stop bits: 1, 1.5 or 2 (1)."),
                                  QStringLiteral("bits"), QStringLiteral("1"));
    // The window's RTS and DTR boxes: the line is raised while the port is
    // open; no flow control is ever used (a three-wire cable works).
    const QCommandLineOption rts(QStringLiteral("rts"),
                                 QStringLiteral("Raise RTS while the port is open (no flow control)."));
    const QCommandLineOption dtr(QStringLiteral("dtr"),
                                 QStringLiteral("Raise DTR while the port is open (no flow control)."));
    const QCommandLineOption charDelay(QStringLiteral("char-delay"),
                                       QStringLiteral("Pause after each character sent, in ms (0)."),
                                       QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption lineDelay(QStringLiteral("line-delay"),
                                       QStringLiteral("Pause after each line end sent, in ms (0)."),
                                       QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption pulseDtr(QStringLiteral("pulse-dtr"),
                                      QStringLiteral("Turn DTR over for <ms> before the first command (a power "
                                                     "key wired to DTR), then back."),
                                      QStringLiteral("ms"));
    const QCommandLineOption end(QStringLiteral("end"),
                                 QStringLiteral("End character: NULL, CR, LF, CRLF, SUB, or hex digits such as "
                                                "0D0A (CR)."),
                                 QStringLiteral("end"), QStringLiteral("CR"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Seconds a command may take to its final result (10)."),
                                     QStringLiteral("seconds"), QStringLiteral("10"));
    const QCommandLineOption keepGoing(QStringLiteral("keep-going"),
                                       QStringLiteral("Run every command even after one failed or timed out."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Write a JSON report to <file>."),
                                  QStringLiteral("file"));
    const QCommandLineOption decode(QStringLiteral("decode"),
                                    QStringLiteral("Add each command's decoded answer to the JSON report (signal "
                                                   "in dBm, registration, errors in words, SMS PDUs)."));
    const QCommandLineOption junit(QStringLiteral("junit"), QStringLiteral("Write a JUnit XML report to <file>."),
                                   QStringLiteral("file"));
    const QCommandLineOption simDelay(QStringLiteral("sim-delay"),
                                      QStringLiteral("Simulated module: wait <ms> before each reply (0)."),
                                      QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption reconnect(QStringLiteral("reconnect"),
                                       QStringLiteral("When the port goes away (e.g. AT+CFUN=1,1 resets the module), "
                                                      "wait up to <seconds> for the same device, then go on."),
                                       QStringLiteral("seconds"));
    const QCommandLineOption maxOutages(QStringLiteral("max-outages"),
                                        QStringLiteral("With --reconnect: end the run when the port goes away more "
                                                       "than <n> times (10)."),
                                        QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption deadline(QStringLiteral("deadline"),
                                      QStringLiteral("End the whole run after <seconds>, whatever the module does; "
                                                     "the command waiting then is stopped, the rest not run, and the "
                                                     "reports written (exit status 1)."),
                                      QStringLiteral("seconds"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Write the whole exchange (bytes sent and received) to <file> as it "
                                                "happens."),
                                 QStringLiteral("file"));
    const QCommandLineOption list(QStringLiteral("list"),
                                  QStringLiteral("List the serial ports with what they are (by-id name, maker, model, "
                                                 "interface), one a line, and exit."));
    const QCommandLineOption probe(QStringLiteral("probe"),
                                   QStringLiteral("Send AT to each USB or ACM port (or to the ports given with --port) "
                                                  "and tell which answer OK; ports open elsewhere are left alone, "
                                                  "built-in ttyS ports are probed only when named. Exit status 0 "
                                                  "when one answered OK."));
    const QCommandLineOption portGlob(QStringLiteral("ports"),
                                      QStringLiteral("Every port whose path matches the shell pattern <pattern> "
                                                     "(quote it), e.g. '/dev/serial/by-id/*-if02-port0'; with "
                                                     "--port, both."),
                                      QStringLiteral("pattern"));
    const QCommandLineOption portFile(QStringLiteral("port-file"),
                                      QStringLiteral("The ports listed in <file>, one a line (device paths, "
                                                     "socket://HOST:PORT, rfc2217://HOST:PORT; # starts a comment "
                                                     "line); with --port and --ports, all."),
                                      QStringLiteral("file"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("With --port \"Simulated module\": run on <n> simulated modules at "
                                                  "once, each with its own IMEI, ICCID and signal (1)."),
                                   QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption expect(QStringLiteral("expect"),
                                    QStringLiteral("Check the answers against the check file <file> (see README, "
                                                   "\"Checks on the answers\")."),
                                    QStringLiteral("file"));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("Write a CSV file with a row per module: its counts and the values "
                                                "its checks recorded."),
                                 QStringLiteral("file"));
    const QCommandLineOption userData(QStringLiteral("user-data"),
                                      QStringLiteral("Look for module types in the user's data folder "
                                                     "($XDG_DATA_HOME/qrvterm/Module; on Windows "
                                                     "Documents\\qrvterm\\Module), where the terminal started "
                                                     "from the menu keeps them, instead of ./Module."));
    parser.addOptions({port, portGlob, portFile, count, userData, speed, data, parity, stop, rts, dtr, charDelay, lineDelay, pulseDtr, end, timeout, keepGoing, json, decode,
                       junit, csv, expect, simDelay, reconnect, maxOutages, deadline, log, list, probe});
    parser.process(app);

    const auto usage = [](const QString &message) {
        Print(stderr, (QStringLiteral("qrvterm-run: ") + message + QStringLiteral(" (see --help)")).toUtf8());
        return 2;
    };
    // Where the system's device trees are (a test points them at its own).
    const DeviceRoots roots = DeviceRoots::fromEnvironment();
    if (parser.isSet(list)) {
        for (const ListedPort &p : SystemSerialPorts(roots))
            Print(stdout, PortListLine(p));
        return 0;
    }
    const bool probing = parser.isSet(probe);
    if (!probing && parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("give one command-set file"));
    if (!probing && !parser.isSet(portGlob) && !parser.isSet(portFile)
        && (!parser.isSet(port) || parser.value(port).trimmed().isEmpty()))
        return usage(QStringLiteral("--port, --ports or --port-file is required"));
    QStringList listedPorts;
    if (QString error; parser.isSet(portFile) && !ReadPortListFile(parser.value(portFile), &listedPorts, &error))
        return usage(error);
    // "simulated module" is no device: the entry is spelled as the window's.
    for (const QString &name : parser.values(port) + listedPorts) {
        if (name.trimmed() != PortOpener::kSimulatedPortName
            && name.trimmed().compare(PortOpener::kSimulatedPortName, Qt::CaseInsensitive) == 0)
            return usage(QStringLiteral("no port \"%1\"; did you mean \"%2\"?")
                             .arg(name.trimmed(), PortOpener::kSimulatedPortName));
    }

    SerialSettings settings;
    settings.portName = parser.value(port).trimmed();
    bool ok = false;
    settings.baudRate = parser.value(speed).toUInt(&ok);
    if (!ok || settings.baudRate == 0)
        return usage(QStringLiteral("invalid --speed: ") + parser.value(speed));
    const uint bits = parser.value(data).toUInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return usage(QStringLiteral("invalid --data: ") + parser.value(data));
    settings.dataBits = quint8(bits);
    const QStringList parities = {QStringLiteral("NONE"), QStringLiteral("EVEN"), QStringLiteral("ODD")};
    const qsizetype parityIndex = parities.indexOf(parser.value(parity).toUpper());
    if (parityIndex < 0)
        return usage(QStringLiteral("invalid --parity: ") + parser.value(parity));
    settings.parity = SerialSettings::ParityFromIndex(int(parityIndex));
    const QStringList stops = {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
    const qsizetype stopIndex = stops.indexOf(parser.value(stop));
    if (stopIndex < 0)
        return usage(QStringLiteral("invalid --stop: ") + parser.value(stop));
    settings.stopBits = SerialSettings::StopBitsFromIndex(int(stopIndex));
    settings.rtsHandshake = parser.isSet(rts);
    settings.dtrHandshake = parser.isSet(dtr);

    CommandRunner::Options options;
    if (!ParseEndCharName(parser.value(end), &options.endChar, &options.customHex))
        return usage(QStringLiteral("invalid --end: ") + parser.value(end));
    const double seconds = parser.value(timeout).toDouble(&ok);
    if (!ok || seconds <= 0 || seconds > 86400)
        return usage(QStringLiteral("invalid --timeout: ") + parser.value(timeout));
    options.timeoutMs = qint64(seconds * 1000);
    options.keepGoing = parser.isSet(keepGoing);
    // The pauses and the pulse, in whole milliseconds within their bounds.
    const auto milliseconds = [&](const QCommandLineOption &option, int low, int high, int *ms) {
        *ms = parser.value(option).toInt(&ok);
        return ok && *ms >= low && *ms <= high;
    };
    if (!milliseconds(charDelay, 0, PacedWriter::kMaxDelayMs, &options.charDelayMs))
        return usage(QStringLiteral("invalid --char-delay: ") + parser.value(charDelay));
    if (!milliseconds(lineDelay, 0, PacedWriter::kMaxDelayMs, &options.lineDelayMs))
        return usage(QStringLiteral("invalid --line-delay: ") + parser.value(lineDelay));
    if (parser.isSet(pulseDtr)
        && !milliseconds(pulseDtr, TerminalSession::kPulseMinMs, TerminalSession::kPulseMaxMs, &options.pulseDtrMs))
        return usage(QStringLiteral("invalid --pulse-dtr: ") + parser.value(pulseDtr));
    options.dtrOn = settings.dtrHandshake;
    options.decode = parser.isSet(decode);
    if (parser.isSet(reconnect)) {
        const double wait = parser.value(reconnect).toDouble(&ok);
        if (!ok || wait <= 0 || wait > 86400)
            return usage(QStringLiteral("invalid --reconnect: ") + parser.value(reconnect));
        options.reconnectMs = qint64(wait * 1000);
    }
    options.maxOutages = parser.value(maxOutages).toInt(&ok);
    if (!ok || options.maxOutages < 0 || options.maxOutages > 100000)
        return usage(QStringLiteral("invalid --max-outages: ") + parser.value(maxOutages));
    if (parser.isSet(deadline)) {
        const double limit = parser.value(deadline).toDouble(&ok);
        if (!ok || limit <= 0 || limit > 7 * 86400)
            return usage(QStringLiteral("invalid --deadline: ") + parser.value(deadline));
        options.deadlineMs = qint64(limit * 1000);
    }
    const int simDelayMs = parser.value(simDelay).toInt(&ok);
    if (!ok || simDelayMs < 0)
        return usage(QStringLiteral("invalid --sim-delay: ") + parser.value(simDelay));
    const int modulesOfSim = parser.value(count).toInt(&ok);
    if (!ok || modulesOfSim < 1 || modulesOfSim > kMaxModules)
        return usage(QStringLiteral("invalid --count: ") + parser.value(count));
    UseSimulatedModule(simDelayMs, modulesOfSim > 1, SimulatedModuleLineFromEnvironment());
    if (probing)
        return Probe(parser.values(port), settings, parser.isSet(timeout) ? int(options.timeoutMs) : 1000, roots);

    if (parser.isSet(userData) && !UseUserDataModuleDirectory()) {
        Print(stderr, QStringLiteral("qrvterm-run: cannot make the folder for %1").arg(ModuleDirectory()).toUtf8());
        return 2;
    }
    // The set: a file "<folder>/<name>.ini", or a module type of ./Module.
    const QString given = parser.positionalArguments().constFirst();
    QFileInfo file(given);
    if (!file.exists() && !given.contains(QLatin1Char('/'))) {
        // A module type: ./Module is made with the example set when missing,
        // as the window does at start.
        PrepareModuleDirectory(ModuleDirectory());
        file = QFileInfo(CommandSetPath(ModuleDirectory(), given));
    }
    if (!file.isFile()) {
        // Say where it was looked for: a module type is a file of the folder.
        const bool asType = !given.contains(QLatin1Char('/')) && !QFileInfo::exists(given);
        return usage(asType ? QStringLiteral("no command-set file %1 (neither a file here nor %2)")
                                  .arg(given, QDir::toNativeSeparators(file.filePath()))
                            : QStringLiteral("no command-set file ") + given);
    }
    if (file.suffix() != QLatin1String("ini"))
        return usage(QStringLiteral("a command-set file ends in .ini: ") + given);
    const CommandSetContents set = ReadCommandSet(file.absolutePath(), file.completeBaseName());
    if (!set.error.isEmpty())
        return usage(set.error);

    // A damaged set (cmdnum missing, zero or not a number) must not pass.
    if (set.commands.isEmpty()) {
        Print(stderr, QStringLiteral("qrvterm-run: %1: no commands to send (its cmdnum is missing, zero or not a "
                                     "number)")
                          .arg(file.filePath())
                          .toUtf8());
        return 2;
    }
    QHash<int, CommandCheck> checks;
    if (parser.isSet(expect)) {
        const CheckFile read = ReadCheckFile(parser.value(expect), IsDecodedName);
        QString error = read.error;
        if (error.isEmpty()) {
            checks = ChecksForRows(read, set.commands, &error);
            if (!error.isEmpty()) // "line N: ..." as "<file>:N: ..."
                error = parser.value(expect) + QLatin1Char(':') + error.mid(5);
        }
        if (!error.isEmpty()) {
            Print(stderr, ("qrvterm-run: " + error).toUtf8());
            return 2;
        }
        if (options.reconnectMs <= 0) {
            for (const CommandCheck &c : std::as_const(read.checks)) {
                if (c.resets == 1)
                    return usage(QStringLiteral("%1:%2: reset = yes needs --reconnect").arg(parser.value(expect)).arg(c.line));
            }
        }
    }

    // The ports: each --port and each of --port-file, then what --ports
    // matches, in name order; the simulated module --count times.
    QStringList portNames;
    for (const QString &name : parser.values(port) + listedPorts) {
        if (name.trimmed().isEmpty())
            continue;
        const int times = name.trimmed() == PortOpener::kSimulatedPortName ? modulesOfSim : 1;
        for (int i = 0; i < times; ++i)
            portNames << name.trimmed();
    }
    if (parser.isSet(portGlob)) {
        const QStringList matched = PortsMatching(parser.value(portGlob));
        if (matched.isEmpty()) {
            Print(stderr, QStringLiteral("qrvterm-run: no port matches %1").arg(parser.value(portGlob)).toUtf8());
            return 2;
        }
        portNames += matched;
    }
    // One device under two names (a link and its target, --port and
    // --ports) would be opened twice, the second time refused.
    QHash<QString, QString> byDevice;
    for (const QString &name : std::as_const(portNames)) {
        if (name == PortOpener::kSimulatedPortName)
            continue;
        const QString path = DevicePathForPort(name);
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const QString key = canonical.isEmpty() ? path : canonical;
        const auto seen = byDevice.constFind(key);
        if (seen != byDevice.constEnd()) {
            return usage(*seen == name ? QStringLiteral("port %1 given twice").arg(name)
                                       : QStringLiteral("ports %1 and %2 are the same device (%3)").arg(*seen, name, key));
        }
        byDevice.insert(key, name);
    }
    if (portNames.size() > kMaxModules)
        return usage(QStringLiteral("%1 ports; at most %2 at once").arg(portNames.size()).arg(kMaxModules));
    const bool many = portNames.size() > 1;

    const int total = int(set.commands.size());
    const QString endName = options.endChar == END_CUSTOM ? QString::fromLatin1(options.customHex)
                                                          : parser.value(end).toUpper().remove(QLatin1Char(' '));
    const QString lineSettings = QStringLiteral("%1 %2%3%4")
                                     .arg(settings.baudRate)
                                     .arg(settings.dataBits)
                                     .arg(QStringLiteral("NEO").at(parityIndex))
                                     .arg(stops.at(stopIndex));

    // A signal stops every run still going; each writes what it did. One
    // that comes while the ports open is taken before any run starts.
    StopSignals stopSignals;
    int stoppedBy = 0;
    QString stoppedName;

    // Every module on its own session, all served by this one event loop.
    struct Module
    {
        SerialSession session;
        PortOpener ports;
        std::unique_ptr<CommandRunner> runner;
        std::unique_ptr<LogFile> log;
        QByteArray prefix; // "[ttyUSB0] " with several modules
        bool running = false;
        std::optional<SerialSession::OpenResult> opened; // a network port opened ahead
    };
    std::vector<std::unique_ptr<Module>> modules;
    QList<const RunReport *> reports;
    for (const QString &name : std::as_const(portNames)) {
        auto m = std::make_unique<Module>();
        m->runner = std::make_unique<CommandRunner>(m->session, set.commands, options);
        m->runner->SetChecks(checks);
        RunReport &report = m->runner->Report();
        report.setFile = file.filePath();
        report.setName = file.completeBaseName();
        report.port = name;
        report.lineSettings = lineSettings;
        report.endChar = endName;
        report.commandCount = total;
        report.host = QSysInfo::machineHostName();
        report.checkFile = parser.value(expect);
        reports << &report;
        modules.push_back(std::move(m));
    }
    const auto writeReports = [&](int status) {
        bool written = true;
        if (parser.isSet(json))
            written = WriteFile(parser.value(json), many ? ReportJsonMany(reports, status) : ReportJson(*reports.first()))
                      && written;
        if (parser.isSet(junit))
            written = WriteFile(parser.value(junit), ReportJUnitMany(reports)) && written;
        if (parser.isSet(csv))
            written = WriteFile(parser.value(csv), ReportCsv(reports)) && written;
        return written;
    };

    // Ports on other computers are opened together first: each waits for its
    // server's answers, and one after another they would add up. A signal
    // meanwhile is kept, and no run starts.
    {
        QList<SerialSession *> sessions;
        QList<SerialSettings> wanted;
        QList<Module *> networked;
        for (auto &m : modules) {
            if (!NetworkPortAddress::IsNetworkName(m->runner->Report().port))
                continue;
            sessions << &m->session;
            wanted << settings;
            wanted.last().portName = m->runner->Report().port;
            networked << m.get();
        }
        const QMetaObject::Connection early =
            QObject::connect(&stopSignals, &StopSignals::Received, &app, [&](int signal, const QString &name) {
                stoppedBy = signal;
                stoppedName = name;
            });
        const QList<SerialSession::OpenResult> results = SerialSession::OpenTogether(sessions, wanted);
        QObject::disconnect(early);
        for (qsizetype i = 0; i < networked.size(); ++i)
            networked[i]->opened = results.value(i, SerialSession::OpenResult::Failed);
    }

    // Opens each port; one that does not open ends that module's run with
    // status 2, the others go on.
    int running = 0;
    QSet<QString> shortNames;
    for (auto &m : modules) {
        RunReport &report = m->runner->Report();
        SerialSettings wanted = settings;
        wanted.portName = report.port;
        QString error;
        const QString device = m->ports.deviceFor(wanted, &error);
        if (device.isEmpty()) {
            Print(stderr, ("qrvterm-run: the simulated module did not start: " + error).toUtf8());
            return 2;
        }
        SerialSettings opened = wanted;
        opened.portName = device;
        const DeviceIdentity identity = DeviceIdentity::of(DevicePathForPort(device), roots);
        report.identity = !identity.byId.isEmpty() ? QFileInfo(identity.byId).fileName()
                          : device != report.port  ? QFileInfo(device).fileName() // the simulated module's link
                                                   : report.port;
        if (many) {
            // Short names are unique within the run (two folders may hold
            // links of one name).
            QString shortName = QFileInfo(report.identity).fileName();
            for (int n = 2; shortNames.contains(shortName); ++n)
                shortName = QFileInfo(report.identity).fileName() + QStringLiteral("-%1").arg(n);
            shortNames.insert(shortName);
            m->prefix = '[' + shortName.toUtf8() + "] ";
        }
        const SerialSession::OpenResult result = m->opened ? *m->opened : m->session.Open(opened);
        report.device = m->session.IsOpen() ? m->session.DevicePath() : DevicePathForPort(device);
        if (result != SerialSession::OpenResult::Opened) {
            // "In use by another program": never this one.
            PortOpenFailure failure = m->session.OpenFailure();
            failure.holders = OtherHolders(failure.holders);
            const QString why = result != SerialSession::OpenResult::SettingsRejected ? failure.Explanation()
                : NetworkPortAddress::IsNetworkName(device)                               ? m->session.LastError()
                                                                                           : QStringLiteral("the device refused the line settings");
            const bool inUse = result == SerialSession::OpenResult::Failed
                               && m->session.OpenFailure().cause == PortOpenFailure::Cause::InUse;
            QString told = inUse ? QStringLiteral(": in use by another program") : QString();
            if (!why.isEmpty())
                told += u'\n' + why; // for a port in use: who holds it
            Print(stderr, m->prefix + QStringLiteral("qrvterm-run: cannot open %1%2").arg(report.port, told).toUtf8());
            report.stopReason = QStringLiteral("the port could not be opened");
            report.exitStatus = 2;
            ListNotRun(report, set.commands, report.stopReason);
            if (!many) {
                writeReports(2);
                return 2;
            }
            continue;
        }
        // A network port that took no settings, or did not confirm some.
        if (const QString note = m->session.SetupNote(); !note.isEmpty())
            Print(stderr, m->prefix + QStringLiteral("qrvterm-run: %1").arg(note).toUtf8());
        m->runner->RememberDevice(opened);
        if (parser.isSet(log)) {
            // One log a module: "run.log" becomes "run-<module>.log".
            QString path = parser.value(log);
            if (many) {
                const QFileInfo given(path);
                const QString suffix = given.suffix().isEmpty() ? QString() : QLatin1Char('.') + given.suffix();
                path = given.dir().filePath(given.completeBaseName() + QLatin1Char('-')
                                            + QString::fromUtf8(m->prefix.mid(1, m->prefix.size() - 3)) + suffix);
            }
            m->log = std::make_unique<LogFile>();
            // A new log each run, as the reports are.
            if (QFileInfo(path).isFile())
                QFile::remove(path);
            if (!m->log->openPath(path, &error)) {
                Print(stderr, ("qrvterm-run: cannot write the log: " + error).toUtf8());
                return 2;
            }
            LogFile *exchange = m->log.get();
            m->runner->SetTee([exchange](const QByteArray &bytes) { exchange->append(bytes.constData(), bytes.size()); });
            const QByteArray prefix = m->prefix;
            QObject::connect(exchange, &LogFile::failed, [prefix](const QString &reason) {
                Print(stderr, prefix + ("qrvterm-run: the log stopped: " + reason).toUtf8());
            });
        }
        const QByteArray prefix = m->prefix;
        CommandRunner *runner = m->runner.get();
        QObject::connect(runner, &CommandRunner::PortLost, [prefix](const Outage &o) {
            Print(stdout, prefix + QStringLiteral("  port lost (%1 ms): %2; waiting for it").arg(o.lostAtMs).arg(o.reason).toUtf8());
        });
        QObject::connect(runner, &CommandRunner::PortBack, [prefix](const Outage &o, const QString &device) {
            Print(stdout, prefix + QStringLiteral("  port back (%1 ms) on %2").arg(o.backAtMs).arg(device).toUtf8());
        });
        QObject::connect(runner, &CommandRunner::TransactionDone,
                         [prefix, total](const Transaction &t) { Print(stdout, prefix + TransactionLine(t, total)); });
        QObject::connect(runner, &CommandRunner::Retrying, [prefix, total](const Transaction &t, qint64 pauseMs) {
            Print(stdout, prefix + TransactionLine(t, total) + QStringLiteral("; again in %1 s")
                                                                   .arg(double(pauseMs) / 1000.0)
                                                                   .toUtf8());
        });
        QObject::connect(runner, &CommandRunner::UrcReceived, [prefix](const UrcRecord &u) {
            const QString during = u.duringCommand > 0 ? QStringLiteral(", during %1").arg(u.duringCommand) : QString();
            Print(stdout, prefix + QStringLiteral("  URC (%1 ms%2)  %3").arg(u.atMs).arg(during, FromCodePage936(u.text)).toUtf8());
        });
        Module *module = m.get();
        QObject::connect(runner, &CommandRunner::Finished, &app, [module, &running] {
            // Ports are closed once every module is done: closing one blocks
            // while its output drains, and the others wait meanwhile.
            module->running = false;
            if (--running == 0)
                QCoreApplication::exit(0);
        });
        m->running = true;
        ++running;
    }

    if (many)
        Print(stdout, QStringLiteral("%1: %2 commands on %3 modules (%4), end %5")
                          .arg(file.filePath())
                          .arg(total)
                          .arg(modules.size())
                          .arg(lineSettings, endName)
                          .toUtf8());
    else
        Print(stdout, QStringLiteral("%1: %2 commands on %3 (%4), end %5")
                          .arg(file.filePath())
                          .arg(total)
                          .arg(portNames.constFirst(), lineSettings, endName)
                          .toUtf8());
    QObject::connect(&stopSignals, &StopSignals::Received, &app, [&](int signal, const QString &name) {
        stoppedBy = signal;
        stoppedName = name;
        for (auto &m : modules) {
            if (m->runner->Running())
                m->runner->Stop(QStringLiteral("stopped by %1").arg(name), StopSignals::ExitStatus(signal));
        }
    });
    QCoreApplication::processEvents(); // a signal that came meanwhile
    // Started together once every port is open.
    for (auto &m : modules) {
        if (!m->running)
            continue;
        if (stoppedBy != 0) {
            RunReport &report = m->runner->Report();
            report.stopReason = QStringLiteral("stopped by %1 before it started").arg(stoppedName);
            report.exitStatus = StopSignals::ExitStatus(stoppedBy);
            ListNotRun(report, set.commands, report.stopReason);
            m->running = false;
            continue;
        }
        m->runner->Start();
    }
    running = int(std::count_if(modules.begin(), modules.end(), [](const auto &m) { return m->running; }));
    if (running > 0)
        app.exec();
    QList<SerialSession *> sessions;
    for (auto &m : modules)
        sessions << &m->session;
    SerialSession::CloseTogether(sessions);
    int status = 0;
    for (auto &m : modules) {
        const RunReport &report = m->runner->Report();
        status = std::max(status, report.exitStatus);
        Print(stdout, m->prefix + SummaryLine(report, total));
    }
    if (many) {
        Print(stdout, QByteArray());
        const QByteArray table = SummaryTable(reports, total);
        std::fwrite(table.constData(), 1, size_t(table.size()), stdout);
        std::fflush(stdout);
    }
    if (!writeReports(status) && status == 0)
        status = 2;
    return status;
}
