#include "store/spillfilesystem.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The C runtime's descriptors keep one file position: a positioned read or
// write is a seek and the transfer (SpillFile's owner serialises them).
bool Seek(int file, qint64 at, QString *why)
{
    if (::_lseeki64(file, at, SEEK_SET) == at)
        return true;
    *why = Reason(errno);
    return false;
}

} // namespace

namespace spillfs {

QString TemporaryFolder()
{
    return QDir::toNativeSeparators(QDir::tempPath());
}

int OpenNameless(const QString &folder, QString *why)
{
    // The system's name for a new file in folder; the file is deleted when
    // its last handle closes (_O_TEMPORARY: FILE_FLAG_DELETE_ON_CLOSE), so
    // it goes with the process however it ends.
    wchar_t name[MAX_PATH + 1];
    const std::wstring dir = QDir::toNativeSeparators(folder).toStdWString();
    if (::GetTempFileNameW(dir.c_str(), L"qrv", 0, name) == 0) {
        *why = QStringLiteral("the system could not name a file there (error %1)").arg(::GetLastError());
        return -1;
    }
    const int fd = ::_wopen(name, _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_NOINHERIT | _O_TRUNC, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        *why = Reason(errno);
        ::DeleteFileW(name);
    }
    return fd;
}

bool WriteAt(int file, const char *data, qint64 n, qint64 at, QString *why)
{
    if (!Seek(file, at, why))
        return false;
    while (n > 0) {
        const int done = ::_write(file, data, unsigned(std::min<qint64>(n, 1 << 30)));
        if (done <= 0) {
            *why = Reason(done < 0 ? errno : ENOSPC);
            return false;
        }
        data += done;
        n -= done;
    }
    return true;
}

bool ReadAt(int file, char *data, qint64 n, qint64 at, QString *why)
{
    if (!Seek(file, at, why))
        return false;
    while (n > 0) {
        const int done = ::_read(file, data, unsigned(std::min<qint64>(n, 1 << 30)));
        if (done <= 0) {
            *why = Reason(done < 0 ? errno : EIO);
            return false;
        }
        data += done;
        n -= done;
    }
    return true;
}

void Written(int, qint64, qint64, qint64)
{
    // Windows' cache manager writes behind on its own.
}

void Close(int file)
{
    ::_close(file);
}

} // namespace spillfs
