#include "serial/portopenfailure.h"

#include "serial/portholders.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

QString GroupName(gid_t gid)
{
    long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size_t(size > 0 ? size : 4096));
    group entry {};
    group *found = nullptr;
    int rc = 0;
    while ((rc = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE
           && buffer.size() < (size_t(1) << 20))
        buffer.resize(buffer.size() * 2);
    return rc == 0 && found ? QString::fromLocal8Bit(found->gr_name) : QString();
}

} // namespace

void ClassifyOnThisSystem(PortOpenFailure &failure, QSerialPort::SerialPortError error)
{
    using Cause = PortOpenFailure::Cause;
    const QByteArray path = QFile::encodeName(failure.devicePath);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        const int e = errno;
        if (e == ENOENT || e == ENOTDIR)
            failure.cause = Cause::NoSuchDevice; // also a link whose target is gone
        else if (e == EACCES)
            failure.cause = Cause::PermissionDenied; // a folder on the way is closed
        return;
    }
    // Serial ports are character devices; files, folders, pipes and block
    // devices never are.
    if (!S_ISCHR(st.st_mode)) {
        failure.cause = Cause::NotSerialDevice;
        return;
    }
    // The effective user, groups and capabilities are what open() checked.
    if (::faccessat(AT_FDCWD, path.constData(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES) {
        failure.cause = Cause::PermissionDenied;
        const bool groupMay = (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
        if (groupMay && st.st_gid != 0)
            failure.group = GroupName(st.st_gid);
        return;
    }
    switch (error) {
    case QSerialPort::UnsupportedOperationError:
        // ENOTTY (or EINVAL) from the terminal ioctls: /dev/null, /dev/zero, …
        failure.cause = Cause::NotSerialDevice;
        break;
    case QSerialPort::DeviceNotFoundError: // ENODEV, ENOENT
    case QSerialPort::ResourceError:       // EIO: a node with no hardware behind it
        failure.cause = Cause::NoSuchDevice;
        break;
    case QSerialPort::PermissionError:
        // The user may open the device, so what refused it was the lock
        // file of another program or its exclusive open (EBUSY).
        failure.cause = Cause::InUse;
        failure.holders = PortHolders(failure.devicePath);
        break;
    default:
        break;
    }
}
