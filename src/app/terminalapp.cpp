#include "app/terminalapp.h"

#include "commands/commandsetfiles.h"
#include "console/terminaldialog.h"

#include <QCommandLineParser>
#include <cstdio>
#include <cstring>

TerminalApp::TerminalApp(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // The application's name, shown as the caption of its message boxes, is
    // the executable's file name, which QCoreApplication already uses.
    Q_INIT_RESOURCE(resources); // the icons, compiled into the window's library
    setWindowIcon(QIcon(QStringLiteral(":/icons/qrvterm.png")));
}

void AddTerminalOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("AT command test terminal for wireless modules"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("port"),
                      QStringLiteral("Port to select at start, e.g. \"Simulated module\", /dev/ttyUSB0 or "
                                     "rfc2217://bench-7:4001."),
                      QStringLiteral("name")});
    parser.addOption({QStringLiteral("no-web-view"),
                      QStringLiteral("Keep the web panel's own page (the maker's address as a link); do not check for "
                                     "the maker's page.")});
    parser.addOption({QStringLiteral("log-dir"),
                      QStringLiteral("Write the session log to a new file in <folder> each time a port opens, as it "
                                     "arrives."),
                      QStringLiteral("folder")});
    parser.addOption({QStringLiteral("no-reconnect"),
                      QStringLiteral("When the open device goes away, close the port and say so instead of waiting "
                                     "for the device to come back.")});
    parser.addOption({QStringLiteral("user-data"),
                      QStringLiteral("Keep the command sets in the user's data folder ($XDG_DATA_HOME/qrvterm/Module, "
                                     "~/.local/share/qrvterm/Module; on Windows Documents\\qrvterm\\Module) "
                                     "instead of ./Module (the menu entry passes this).")});
}

bool PrintUsageWithoutDisplay(int argc, char **argv)
{
    bool asks = false;
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"-h", "--help", "-?", "-v", "--version"})
            asks = asks || std::strcmp(argv[i], option) == 0;
    }
    if (!asks)
        return false;
    // A core application: the usage is printed without a window system, so
    // it works over ssh and on a bench with no display.
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("1.02"));
    QCommandLineParser parser;
    AddTerminalOptions(parser);
    parser.parse(core.arguments());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return false;
}

bool TerminalApp::InitInstance()
{
    QCommandLineParser parser;
    AddTerminalOptions(parser);
    const QString port = QStringLiteral("port");
    const QString logDir = QStringLiteral("log-dir");
    const QString noReconnect = QStringLiteral("no-reconnect");
    const QString userData = QStringLiteral("user-data");
    // Desktop launchers and scripts may pass arguments this program does not
    // know: they are told on standard error and the window opens anyway.
    if (!parser.parse(arguments()))
        std::fprintf(stderr, "%s: %s (ignored)\n", qPrintable(applicationName()), qPrintable(parser.errorText()));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);

    if (parser.isSet(userData) && !UseUserDataModuleDirectory())
        std::fprintf(stderr, "%s: cannot make the folder for %s\n", qPrintable(applicationName()),
                     qPrintable(ModuleDirectory()));

    TerminalDialog dialog(m_log);
    if (parser.isSet(port))
        dialog.SelectPort(parser.value(port));
    if (parser.isSet(logDir))
        dialog.setLogDirectory(parser.value(logDir));
    if (parser.isSet(noReconnect))
        dialog.setReconnect(false);
    dialog.exec();
    return false;
}
