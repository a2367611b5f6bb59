#pragma once

#include <QObject>
#include <QString>

// The signals that ask a program to stop (SIGINT from an operator's Ctrl+C,
// SIGTERM from a build server's job time-out, SIGHUP from a closed
// terminal), delivered on the event loop as Received. The first one is the
// program's to handle; from then on the system's default applies, so a
// second Ctrl+C ends a program that does not stop. SIGPIPE is ignored: a
// reader of the output that went away does not end the program.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // The exit status a shell gives for a program ended by signal: 128 + n.
    static int ExitStatus(int signal) { return 128 + signal; }

signals:
    void Received(int signal, const QString &name);

private:
    void OnReadable();
};
