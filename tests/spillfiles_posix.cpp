#include "spillfiles.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

// Their links under /proc/self/fd end in " (deleted)" or name an O_TMPFILE.
int TruncateSpillFiles(const QString &folder, qsizetype size)
{
    int cut = 0;
    const QString fds = QStringLiteral("/proc/self/fd");
    for (const QString &fd : QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t n = ::readlink(QFile::encodeName(fds + QLatin1Char('/') + fd).constData(), target, sizeof target);
        if (n <= 0)
            continue;
        const QString link = QString::fromLocal8Bit(target, int(n));
        if (link.startsWith(folder + QLatin1Char('/')) && link.endsWith(QLatin1String(" (deleted)"))
            && ::ftruncate(fd.toInt(), off_t(size)) == 0)
            ++cut;
    }
    return cut;
}
