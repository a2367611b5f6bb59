#include "serial/portholders.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

QList<PortHolder> PortHolders(const QString &devicePath)
{
    QList<PortHolder> holders;
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
    return holders;
}
