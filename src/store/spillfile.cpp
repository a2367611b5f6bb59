#include "store/spillfile.h"

#include "store/spillfilesystem.h"

#include <algorithm>

SpillFile::SpillFile(qsizetype pageSize) : m_pageSize(pageSize) {}

SpillFile::~SpillFile()
{
    Clear();
}

QString SpillFile::Folder()
{
    return spillfs::TemporaryFolder();
}

bool SpillFile::Open()
{
    QString why;
    m_fd = spillfs::OpenNameless(Folder(), &why);
    if (m_fd < 0) {
        m_error = QStringLiteral("cannot make a file in %1: %2").arg(Folder(), why);
        return false;
    }
    m_end = 0;
    return true;
}

bool SpillFile::Put(qsizetype page, const char *data, qsizetype n)
{
    if (m_fd < 0 && !Open())
        return false;
    const qint64 start = qint64(page) * qint64(m_pageSize);
    QString why;
    if (!spillfs::WriteAt(m_fd, data, n, start, &why)) {
        m_error = QStringLiteral("cannot write to a file in %1: %2").arg(Folder(), why);
        return false;
    }
    m_end = std::max<qsizetype>(m_end, qsizetype(start + n));
    spillfs::Written(m_fd, start, n, m_pageSize);
    return true;
}

bool SpillFile::Get(qsizetype page, char *data, qsizetype n) const
{
    ++m_reads;
    QString why;
    if (!spillfs::ReadAt(m_fd, data, n, qint64(page) * qint64(m_pageSize), &why)) {
        m_error = QStringLiteral("cannot read back a file in %1: %2").arg(Folder(), why);
        return false;
    }
    return true;
}

void SpillFile::Clear()
{
    if (m_fd >= 0)
        spillfs::Close(m_fd);
    m_fd = -1;
    m_end = 0;
}
