#include "store/spillfile.h"

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

SpillFile::SpillFile(qsizetype pageSize) : m_pageSize(pageSize) {}

SpillFile::~SpillFile()
{
    Clear();
}

QString SpillFile::Folder()
{
    // As QDir::tempPath(), but a TMPDIR that does not exist is still named
    // (the error then says where).
    const QString folder = qEnvironmentVariable("TMPDIR");
    return folder.isEmpty() ? QStringLiteral("/tmp") : QDir::cleanPath(folder);
}

bool SpillFile::Open()
{
    const QByteArray folder = QFile::encodeName(Folder());
    m_fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No O_TMPFILE on this file system: a named file, unlinked at once.
        QByteArray name = folder + "/qrvterm-log-XXXXXX";
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd >= 0)
            ::unlink(name.constData());
    }
    if (m_fd < 0) {
        m_error = QStringLiteral("cannot make a file in %1: %2").arg(Folder(), Reason(errno));
        return false;
    }
    m_end = 0;
    return true;
}

bool SpillFile::Put(qsizetype page, const char *data, qsizetype n)
{
    if (m_fd < 0 && !Open())
        return false;
    off_t at = off_t(page) * off_t(m_pageSize);
    while (n > 0) {
        const ssize_t done = ::pwrite(m_fd, data, size_t(n), at);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            m_error = QStringLiteral("cannot write to a file in %1: %2").arg(Folder(), Reason(done < 0 ? errno : ENOSPC));
            return false;
        }
        data += done;
        n -= done;
        at += done;
    }
    m_end = std::max<qsizetype>(m_end, qsizetype(at));
    // The pages go to the disk now rather than all at once later, when the
    // kernel would hold up this writer (the window's thread) until its dirty
    // pages are written; and those written a while ago leave the page cache,
    // which a session of many gigabytes would otherwise fill.
    const off_t start = off_t(page) * off_t(m_pageSize);
    ::sync_file_range(m_fd, start, at - start, SYNC_FILE_RANGE_WRITE);
    const off_t behind = start - off_t(16) * off_t(m_pageSize);
    if (behind >= 0)
        ::posix_fadvise(m_fd, behind, off_t(m_pageSize), POSIX_FADV_DONTNEED);
    return true;
}

bool SpillFile::Get(qsizetype page, char *data, qsizetype n) const
{
    ++m_reads;
    off_t at = off_t(page) * off_t(m_pageSize);
    while (n > 0) {
        const ssize_t done = m_fd < 0 ? -1 : ::pread(m_fd, data, size_t(n), at);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            m_error = QStringLiteral("cannot read back a file in %1: %2").arg(Folder(), Reason(done < 0 ? errno : EIO));
            return false;
        }
        data += done;
        n -= done;
        at += done;
    }
    return true;
}

void SpillFile::Clear()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_end = 0;
}
