#pragma once

#include "console/terminaldialog.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

// Shows the window on `port` and clicks Start, then runs the event loop
// until the port is open (a network port opens in the background), for
// at most 10 s. False, with the reason on stderr, when the Port box did
// not take the port or it did not open.
inline bool StartOnPort(TerminalDialog &dialog, const QString &port)
{
    dialog.SelectPort(port);
    if (dialog.findChild<QComboBox *>(QStringLiteral("portList"))->currentText() != port) {
        std::fprintf(stderr, "the Port box did not take %s\n", qPrintable(port));
        return false;
    }
    dialog.show();
    dialog.StartStopClicked();
    QElapsedTimer opening;
    opening.start();
    while (!dialog.Session().isOpen() && opening.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!dialog.Session().isOpen()) {
        std::fprintf(stderr, "could not open %s: %s\n", qPrintable(port),
                     qPrintable(dialog.Session().serial().OpenFailure().Explanation()));
        return false;
    }
    return true;
}
