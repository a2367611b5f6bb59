#pragma once

#include "session/sessionlog.h"

#include <QApplication>

class QCommandLineParser;

// The terminal's options (--port, --no-web-view, --log-dir, --no-reconnect,
// --user-data, --help, --version), for the window and for printing the usage.
void AddTerminalOptions(QCommandLineParser &parser);
// Handles --help and --version without a display (printing
// needs no window system): prints and returns true; false for any other
// command line.
bool PrintUsageWithoutDisplay(int argc, char **argv);

// The application: runs the main window modally and ends when it closes.
class TerminalApp : public QApplication
{
    Q_OBJECT
public:
    TerminalApp(int &argc, char **argv);

    // Runs the main window until it closes. Always returns false: there is
    // no event loop to run after it.
    bool InitInstance();

private:
    // The session log lives as long as the program, outside any window.
    SessionLog m_log;
};
