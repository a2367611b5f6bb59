// qrvsim: serves the simulated module (or --count of them) on
// pseudo-terminals, prints each device path on stdout and runs until SIGINT
// or SIGTERM.

#include "simport.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <limits>
#include <cstring>
#include <cstdio>
#include <memory>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

// Bytes as readable text: printable ASCII as is, the rest as <CR>, <LF>, <1A>.
QByteArray visible(const QByteArray &bytes)
{
    QByteArray out;
    for (char c : bytes) {
        const int u = quint8(c);
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else if (u < 0x20 || u >= 0x7F)
            out += '<' + QByteArray::number(u, 16).toUpper().rightJustified(2, '0') + '>';
        else
            out += c;
    }
    return out;
}

constexpr int kMaxCount = 256;

bool intOption(const QCommandLineParser &parser, const QCommandLineOption &option, int *value, int min = 0,
               int max = std::numeric_limits<int>::max())
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    if (ok && *value >= min && *value <= max)
        return true;
    std::fprintf(stderr, "qrvsim: invalid value for --%s: %s\n", qPrintable(option.names().constFirst()),
                 qPrintable(parser.value(option)));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qrvsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.02"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves simulated GSM/GPRS modules on pseudo-terminals and prints their device paths, "
                       "one a line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Pace replies at the byte rate of a <baud> line (0: no pacing)."),
                                  QStringLiteral("baud"), QStringLiteral("0"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Wait <ms> before answering a command line."),
                                   QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Log the traffic on stderr (with more than one module, each "
                                                    "line after its unit number)."));
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Keep a symbolic link <path> to the device, pointed at the new "
                                                 "device after every reset (AT+CFUN=1,1); removed at exit. With "
                                                 "more than one module: <path>-1, <path>-2 and so on."),
                                  QStringLiteral("path"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Serve <n> modules (1 to %1), units 1 to <n> with IMEIs, ICCIDs, "
                                                  "IMSIs and signal levels of their own; their paths are printed "
                                                  "in that order.")
                                       .arg(kMaxCount),
                                   QStringLiteral("n"), QStringLiteral("1"));
    parser.addOption(link);
    parser.addOption(count);
    parser.addOption(rate);
    parser.addOption(delay);
    parser.addOption(verbose);
    parser.process(app);

    int baud = 0;
    int delayMs = 0;
    int modules = 1;
    if (!intOption(parser, rate, &baud) || !intOption(parser, delay, &delayMs)
        || !intOption(parser, count, &modules, 1, kMaxCount))
        return 2;

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("qrvsim: pipe");
        return 1;
    }
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        while (::read(g_signalPipe[0], &byte, 1) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    // One module keeps unit 0 and the link as given.
    std::vector<std::unique_ptr<SimPort>> ports;
    for (int i = 1; i <= modules; ++i) {
        const int unit = modules == 1 ? 0 : i;
        auto port = std::make_unique<SimPort>();
        port->module().setUnit(unit);
        port->setLineRate(baud);
        port->setReplyDelay(delayMs);
        QString error;
        if (!port->start(&error)) {
            std::fprintf(stderr, "qrvsim: %s\n", qPrintable(error));
            return 1;
        }
        if (parser.isSet(verbose)) {
            const QByteArray prefix = modules == 1 ? QByteArray() : QByteArray::number(unit) + ' ';
            QObject::connect(port.get(), &SimPort::received, [prefix](const QByteArray &bytes) {
                std::fprintf(stderr, "%s<< %s\n", prefix.constData(), visible(bytes).constData());
            });
            QObject::connect(port.get(), &SimPort::sent, [prefix](const QByteArray &bytes) {
                std::fprintf(stderr, "%s>> %s\n", prefix.constData(), visible(bytes).constData());
            });
        }
        const QString linkPath =
            parser.isSet(link) && modules > 1 ? parser.value(link) + '-' + QString::number(unit) : parser.value(link);
        // The link's folder is made (qrvsim --count 8 --link /tmp/rack/sim).
        if (!linkPath.isEmpty() && !QDir().mkpath(QFileInfo(linkPath).absolutePath())) {
            std::fprintf(stderr, "qrvsim: cannot make the folder of %s\n", qPrintable(linkPath));
            return 1;
        }
        if (!port->setLinkPath(linkPath, &error)) {
            std::fprintf(stderr, "qrvsim: %s\n", qPrintable(error));
            return 1;
        }
        // After a reset the module is back under another name (the link
        // follows it): the new path is printed as the first one was.
        QObject::connect(port.get(), &SimPort::deviceChanged, [](const QString &device) {
            std::printf("%s\n", qPrintable(device));
            std::fflush(stdout);
        });
        ports.push_back(std::move(port));
    }

    for (const auto &port : ports)
        std::printf("%s\n", qPrintable(port->devicePath()));
    std::fflush(stdout);
    return app.exec();
}
