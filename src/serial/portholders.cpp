#include "serial/portholders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#endif

QList<PortHolder> PortHolders(const QString &devicePath)
{
    QList<PortHolder> holders;
#ifdef Q_OS_LINUX
    struct stat device {};
    if (::stat(QFile::encodeName(devicePath).constData(), &device) != 0 || !S_ISCHR(device.st_mode))
        return holders;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : pids) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(entry);
        // Another user's process cannot be looked into without privileges.
        const QStringList fds = QDir(fdFolder).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            struct stat open {};
            // stat() follows the descriptor's link to the file it has open.
            const QByteArray link = QFile::encodeName(fdFolder + u'/' + fd);
            if (::stat(link.constData(), &open) != 0 || !S_ISCHR(open.st_mode) || open.st_rdev != device.st_rdev)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(entry));
            QString name;
            if (comm.open(QIODevice::ReadOnly))
                name = QString::fromLocal8Bit(comm.readAll().trimmed());
            holders.append({pid, name.isEmpty() ? QStringLiteral("?") : name});
            break;
        }
    }
#else
    Q_UNUSED(devicePath);
#endif
    return holders;
}

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
