#pragma once

#include "session/sessionlog.h"

#include <QApplication>

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
