#pragma once

#include <QList>
#include <QString>

// A process that has a device open.
struct PortHolder
{
    qint64 pid = 0;
    QString name; // its command name, as the system keeps it (at most 15 bytes)
};

// The processes whose open files include the device at devicePath, from
// /proc: those whose file lists this user may read (all of them for root).
// Empty where the system does not tell.
QList<PortHolder> PortHolders(const QString &devicePath);

// "/dev/ttyUSB2 is held by ModemManager (pid 812)", with a second line on
// keeping ModemManager away from the device when it is one of them; empty
// without holders.
QString PortHoldersText(const QString &devicePath, const QList<PortHolder> &holders);
