#include "serial/portholders.h"

#include <QCoreApplication>

QList<PortHolder> OtherHolders(QList<PortHolder> holders)
{
    holders.removeIf([](const PortHolder &h) { return h.pid == QCoreApplication::applicationPid(); });
    return holders;
}

QString PortHoldersText(const QString &devicePath, const QList<PortHolder> &holders)
{
    if (holders.isEmpty())
        return QString();
    QStringList who;
    bool modemManager = false;
    for (const PortHolder &h : holders) {
        who << QStringLiteral("%1 (pid %2)").arg(h.name).arg(h.pid);
        modemManager = modemManager || h.name == QLatin1String("ModemManager");
    }
    QString text = QCoreApplication::translate("PortHolders", "%1 is held by %2")
                       .arg(devicePath, who.join(QStringLiteral(", ")));
    if (modemManager)
        text += u'\n'
            + QCoreApplication::translate(
                "PortHolders",
                "ModemManager takes modem ports for itself. Keep it off this device with the udev property "
                "ID_MM_DEVICE_IGNORE=1 (see the README, Ports), or stop it: sudo systemctl stop ModemManager");
    return text;
}
