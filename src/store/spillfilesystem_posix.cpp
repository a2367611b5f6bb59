#include "store/spillfilesystem.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

namespace spillfs {

QString TemporaryFolder()
{
    // As QDir::tempPath(), but a TMPDIR that does not exist is still named
    // (the error then says where).
    const QString folder = qEnvironmentVariable("TMPDIR");
    return folder.isEmpty() ? QStringLiteral("/tmp") : QDir::cleanPath(folder);
}

int OpenNameless(const QString &folderName, QString *why)
{
    const QByteArray folder = QFile::encodeName(folderName);
    int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No O_TMPFILE on this file system: a named file, unlinked at once.
        QByteArray name = folder + "/qrvterm-log-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(name.constData());
    }
    if (fd < 0)
        *why = Reason(errno);
    return fd;
}

bool WriteAt(int file, const char *data, qint64 n, qint64 at, QString *why)
{
    while (n > 0) {
        const ssize_t done = ::pwrite(file, data, size_t(n), off_t(at));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            *why = Reason(done < 0 ? errno : ENOSPC);
            return false;
        }
        data += done;
        n -= done;
        at += done;
    }
    return true;
}

bool ReadAt(int file, char *data, qint64 n, qint64 at, QString *why)
{
    while (n > 0) {
        const ssize_t done = ::pread(file, data, size_t(n), off_t(at));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            *why = Reason(done < 0 ? errno : EIO);
            return false;
        }
        data += done;
        n -= done;
        at += done;
    }
    return true;
}

void Written(int file, qint64 at, qint64 n, qint64 pageSize)
{
    // The pages go to the disk now rather than all at once later, when the
    // kernel would hold up this writer (the window's thread) until its dirty
    // pages are written; and those written a while ago leave the page cache,
    // which a session of many gigabytes would otherwise fill.
    ::sync_file_range(file, off_t(at), off_t(n), SYNC_FILE_RANGE_WRITE);
    const qint64 behind = at - 16 * pageSize;
    if (behind >= 0)
        ::posix_fadvise(file, off_t(behind), off_t(pageSize), POSIX_FADV_DONTNEED);
}

void Close(int file)
{
    ::close(file);
}

} // namespace spillfs
