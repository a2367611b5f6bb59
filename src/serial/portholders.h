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

// The holders less this process: a descriptor of its own (one of its
// simulated modules, or one inherited from whoever started it) is no other
// program's.
QList<PortHolder> OtherHolders(QList<PortHolder> holders);

// "/dev/ttyUSB2 is held by ModemManager (pid 812)", with a second line on
// keeping ModemManager away from the device when it is one of them; empty
// without holders.
QString PortHoldersText(const QString &devicePath, const QList<PortHolder> &holders);
