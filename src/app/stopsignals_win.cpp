#include "app/stopsignals.h"

#include <QCoreApplication>
#include <QPointer>

#include <atomic>
#include <csignal>
#include <windows.h>

// A console program on Windows is asked to stop through its console: Ctrl+C,
// Ctrl+Break, the console window closed, the user logging off or the system
// shutting down. The system calls the handler on a thread of its own; the
// request is passed to the event loop as the Unix signal it stands for
// (Ctrl+C: SIGINT, the others: SIGTERM), so a run ends as it does on Unix.

namespace {

QPointer<StopSignals> s_instance;
std::atomic<int> s_requests {0};

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    const bool interrupt = event == CTRL_C_EVENT;
    const int signal = interrupt ? SIGINT : SIGTERM;
    const char *name = interrupt ? "Ctrl+C" : event == CTRL_BREAK_EVENT ? "Ctrl+Break" : "the console closing";
    // The second request ends the program as if unhandled.
    if (s_requests.fetch_add(1) > 0)
        return FALSE;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [signal, name] {
            if (s_instance)
                emit s_instance->Received(signal, QString::fromLatin1(name));
        },
        Qt::QueuedConnection);
    // The process ends when this handler returns from a close, log-off or
    // shut-down: the run gets a few seconds to write its reports.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(4000);
    return TRUE;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (s_instance)
        return;
    s_instance = this;
    s_requests = 0;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals()
{
    if (s_instance != this)
        return;
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    s_instance = nullptr;
}

void StopSignals::OnReadable()
{
}
