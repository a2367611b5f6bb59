#pragma once

#include "console/terminaldialog.h"
#include "findcontrol.h"
#include "ptypair.h"

#include <QComboBox>
#include <QPushButton>

// Points the Port box at `path`. A test must never fall back to a real port
// (COM1 is the machine's console), so anything else ends the run at once.
inline void UsePtyPort(TerminalDialog &d, const QString &path)
{
    d.SelectPort(path);
    if (FindControl<QComboBox>(d, "portList")->currentText() != path)
        qFatal("the Port box did not take %s", qPrintable(path));
}

// A main window whose Port box names a fresh pty; the test plays the module
// on the master side. Unpack it as `auto &[pty, log, d] = rig;`.
struct PtyDialog
{
    PtyPair pty;
    SessionLog log;
    TerminalDialog d { log };

    explicit PtyDialog(bool start = true)
    {
        if (!pty.isValid())
            qFatal("no pty");
        UsePtyPort(d, pty.slavePath());
        if (start)
            ClickStartStop();
    }
    void ClickStartStop() { FindControl<QPushButton>(d, "startStopButton")->click(); }
};
