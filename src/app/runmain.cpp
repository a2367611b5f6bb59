// qrvterm-run: runs a command set against a module without a window and
// reports every AT transaction (see README, "Running a command set from the
// command line").
#include "app/simulatedport.h"
#include "at/commandframe.h"
#include "commands/commandsetfiles.h"
#include "runner/commandrunner.h"
#include "runner/portprobe.h"
#include "serial/serialsession.h"
#include "session/logfile.h"
#include "session/portopener.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

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

// The end character as the window's End Char group names it, or hex digits
// as typed in its custom box.
bool ParseEndChar(const QString &text, int *endChar, QByteArray *customHex)
{
    const QString name = text.toUpper().remove(QLatin1Char(' '));
    static const QList<std::pair<QString, int>> names = {
        {QStringLiteral("NULL"), END_NULL}, {QStringLiteral("CR"), END_CR},   {QStringLiteral("LF"), END_LF},
        {QStringLiteral("CRLF"), END_CR_LF}, {QStringLiteral("SUB"), END_SUB},
    };
    for (const auto &[known, value] : names) {
        if (name == known) {
            *endChar = value;
            return true;
        }
    }
    const QString hex = name.startsWith(QLatin1String("HEX:")) ? name.mid(4) : name;
    if (hex.isEmpty() || hex.size() % 2 != 0
        || !std::all_of(hex.begin(), hex.end(), [](QChar c) { return std::isxdigit(c.toLatin1()); }))
        return false;
    *endChar = END_CUSTOM;
    *customHex = hex.toLatin1();
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
        "and reports every transaction.\nExit status: 0 all passed, 1 a command failed or timed out, "
        "2 usage error or a port that cannot be opened or went away."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("set"),
                                 QStringLiteral("Command-set file (e.g. Module/example.ini), or the name of a "
                                                "module type in ./Module."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port: a device path such as /dev/ttyUSB0, a name under /dev, "
                                                 "or \"Simulated module\"."),
                                  QStringLiteral("name"));
    const QCommandLineOption speed(QStringLiteral("speed"), QStringLiteral("Speed in baud (4800)."),
                                   QStringLiteral("baud"), QStringLiteral("4800"));
    const QCommandLineOption data(QStringLiteral("data"), QStringLiteral("Data bits: 5 to 8 (8)."),
                                  QStringLiteral("bits"), QStringLiteral("8"));
    const QCommandLineOption parity(QStringLiteral("parity"), QStringLiteral("Parity: NONE, EVEN or ODD (NONE)."),
                                    QStringLiteral("parity"), QStringLiteral("NONE"));
    const QCommandLineOption stop(QStringLiteral("stop"), QStringLiteral("Stop bits: 1, 1.5 or 2 (1)."),
                                  QStringLiteral("bits"), QStringLiteral("1"));
    const QCommandLineOption rts(QStringLiteral("rts"), QStringLiteral("RTS/CTS handshake."));
    const QCommandLineOption dtr(QStringLiteral("dtr"), QStringLiteral("DTR/DSR handshake."));
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
    const QCommandLineOption junit(QStringLiteral("junit"), QStringLiteral("Write a JUnit XML report to <file>."),
                                   QStringLiteral("file"));
    const QCommandLineOption simDelay(QStringLiteral("sim-delay"),
                                      QStringLiteral("Simulated module: wait <ms> before each reply (0)."),
                                      QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption reconnect(QStringLiteral("reconnect"),
                                       QStringLiteral("When the port goes away (e.g. AT+CFUN=1,1 resets the module), "
                                                      "wait up to <seconds> for the same device, then go on."),
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
    parser.addOptions({port, speed, data, parity, stop, rts, dtr, end, timeout, keepGoing, json, junit, simDelay,
                       reconnect, log, list, probe});
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
    if (!probing && (!parser.isSet(port) || parser.value(port).trimmed().isEmpty()))
        return usage(QStringLiteral("--port is required"));

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
    if (!ParseEndChar(parser.value(end), &options.endChar, &options.customHex))
        return usage(QStringLiteral("invalid --end: ") + parser.value(end));
    const double seconds = parser.value(timeout).toDouble(&ok);
    if (!ok || seconds <= 0 || seconds > 86400)
        return usage(QStringLiteral("invalid --timeout: ") + parser.value(timeout));
    options.timeoutMs = qint64(seconds * 1000);
    options.keepGoing = parser.isSet(keepGoing);
    if (parser.isSet(reconnect)) {
        const double wait = parser.value(reconnect).toDouble(&ok);
        if (!ok || wait <= 0 || wait > 86400)
            return usage(QStringLiteral("invalid --reconnect: ") + parser.value(reconnect));
        options.reconnectMs = qint64(wait * 1000);
    }
    const int simDelayMs = parser.value(simDelay).toInt(&ok);
    if (!ok || simDelayMs < 0)
        return usage(QStringLiteral("invalid --sim-delay: ") + parser.value(simDelay));
    UseSimulatedModule(simDelayMs);
    if (probing)
        return Probe(parser.values(port), settings, parser.isSet(timeout) ? int(options.timeoutMs) : 1000, roots);

    // The set: a file "<folder>/<name>.ini", or a module type of ./Module.
    const QString given = parser.positionalArguments().constFirst();
    QFileInfo file(given);
    if (!file.exists() && !given.contains(QLatin1Char('/'))) {
        // A module type: ./Module is made with the example set when missing,
        // as the window does at start.
        PrepareModuleDirectory(ModuleDirectory());
        file = QFileInfo(CommandSetPath(ModuleDirectory(), given));
    }
    if (!file.isFile())
        return usage(QStringLiteral("no command-set file ") + given);
    if (file.suffix() != QLatin1String("ini"))
        return usage(QStringLiteral("a command-set file ends in .ini: ") + given);
    const CommandSetContents set = ReadCommandSet(file.absolutePath(), file.completeBaseName());
    if (!set.error.isEmpty())
        return usage(set.error);

    SerialSession session;
    PortOpener ports;
    CommandRunner runner(session, set.commands, options);
    RunReport *report = &runner.Report();
    report->setFile = file.filePath();
    report->setName = file.completeBaseName();
    report->port = settings.portName;
    report->lineSettings = QStringLiteral("%1 %2%3%4")
                               .arg(settings.baudRate)
                               .arg(settings.dataBits)
                               .arg(QStringLiteral("NEO").at(parityIndex))
                               .arg(stops.at(stopIndex));
    report->endChar = options.endChar == END_CUSTOM ? QString::fromLatin1(options.customHex)
                                                    : parser.value(end).toUpper().remove(QLatin1Char(' '));
    const auto writeReports = [&] {
        bool written = true;
        if (parser.isSet(json))
            written = WriteFile(parser.value(json), ReportJson(*report)) && written;
        if (parser.isSet(junit))
            written = WriteFile(parser.value(junit), ReportJUnit(*report)) && written;
        return written;
    };

    QString error;
    const QString device = ports.deviceFor(settings, &error);
    if (device.isEmpty()) {
        Print(stderr, ("qrvterm-run: the simulated module did not start: " + error).toUtf8());
        return 2;
    }
    SerialSettings opened = settings;
    opened.portName = device;
    const SerialSession::OpenResult result = session.Open(opened);
    report->device = session.IsOpen() ? session.DevicePath() : DevicePathForPort(device);
    if (result != SerialSession::OpenResult::Opened) {
        const QString why = result == SerialSession::OpenResult::SettingsRejected
                                ? QStringLiteral("the device refused the line settings")
                                : session.OpenFailure().Explanation();
        const bool inUse = result == SerialSession::OpenResult::Failed
                           && session.OpenFailure().cause == PortOpenFailure::Cause::InUse;
        QString told = inUse ? QStringLiteral(": in use by another program") : QString();
        if (!why.isEmpty())
            told += u'\n' + why; // for a port in use: who holds it
        Print(stderr, QStringLiteral("qrvterm-run: cannot open %1%2").arg(settings.portName, told).toUtf8());
        report->stopReason = QStringLiteral("the port could not be opened");
        report->exitStatus = 2;
        writeReports();
        return 2;
    }

    runner.RememberDevice(opened);
    LogFile exchange;
    if (parser.isSet(log)) {
        if (!exchange.openPath(parser.value(log), &error)) {
            Print(stderr, ("qrvterm-run: cannot write the log: " + error).toUtf8());
            return 2;
        }
        runner.SetTee([&exchange](const QByteArray &bytes) { exchange.append(bytes.constData(), bytes.size()); });
        QObject::connect(&exchange, &LogFile::failed, [](const QString &reason) {
            Print(stderr, ("qrvterm-run: the log stopped: " + reason).toUtf8());
        });
    }
    QObject::connect(&runner, &CommandRunner::PortLost, [](const Outage &o) {
        Print(stdout, QStringLiteral("  port lost (%1 ms): %2; waiting for it").arg(o.lostAtMs).arg(o.reason).toUtf8());
    });
    QObject::connect(&runner, &CommandRunner::PortBack, [](const Outage &o, const QString &device) {
        Print(stdout, QStringLiteral("  port back (%1 ms) on %2").arg(o.backAtMs).arg(device).toUtf8());
    });

    const int total = int(set.commands.size());
    QObject::connect(&runner, &CommandRunner::TransactionDone,
                     [total](const Transaction &t) { Print(stdout, TransactionLine(t, total)); });
    QObject::connect(&runner, &CommandRunner::UrcReceived, [](const UrcRecord &u) {
        const QString during = u.duringCommand > 0 ? QStringLiteral(", during %1").arg(u.duringCommand) : QString();
        Print(stdout, QStringLiteral("  URC (%1 ms%2)  %3").arg(u.atMs).arg(during, FromCodePage936(u.text)).toUtf8());
    });
    int status = 0;
    QObject::connect(&runner, &CommandRunner::Finished, &app, [&](int exitStatus) {
        status = exitStatus;
        QCoreApplication::exit(0);
    });
    Print(stdout, QStringLiteral("%1: %2 commands on %3 (%4), end %5")
                      .arg(report->setFile)
                      .arg(total)
                      .arg(settings.portName, report->lineSettings, report->endChar)
                      .toUtf8());
    runner.Start();
    if (runner.Running())
        app.exec();
    session.Close();
    Print(stdout, SummaryLine(*report, total));
    if (!writeReports() && status == 0)
        status = 2;
    return status;
}
