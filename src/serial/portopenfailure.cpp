#include "serial/portopenfailure.h"

#include <QCoreApplication>


namespace {

// Debian's group for serial ports.
const char *const kSerialGroup = "dialout";

QString Tr(const char *text)
{
    return QCoreApplication::translate("PortOpenFailure", text);
}


} // namespace

QString PortOpenFailure::Explanation() const
{
    switch (cause) {
    case Cause::None:
        return {};
    case Cause::InUse:
        // A server in front of a port says in its own words who has it.
        if (holders.isEmpty() && !systemText.isEmpty())
            return QStringLiteral("%1: %2").arg(devicePath, systemText);
        return PortHoldersText(devicePath, holders);
    case Cause::NoSuchDevice:
        return Tr("%1: no such device. Is the module plugged in, and is the path right?").arg(devicePath);
    case Cause::PermissionDenied:
        return Tr("%1: permission denied. Add yourself to the group %2 (sudo adduser $USER %2), "
                  "then log out and log in again.")
            .arg(devicePath, group.isEmpty() ? QString::fromLatin1(kSerialGroup) : group);
    case Cause::NotSerialDevice:
        return Tr("%1 is not a serial device. Pick the module's port, such as /dev/ttyUSB0 or /dev/ttyACM0.")
            .arg(devicePath);
    case Cause::Other:
        break;
    }
    return systemText.isEmpty() ? Tr("%1: the port could not be opened.").arg(devicePath)
                                : QStringLiteral("%1: %2").arg(devicePath, systemText);
}

PortOpenFailure ClassifyPortOpenFailure(const QString &devicePath, QSerialPort::SerialPortError error,
                                        const QString &errorText)
{
    PortOpenFailure failure;
    failure.devicePath = devicePath;
    failure.systemText = errorText;
    failure.cause = PortOpenFailure::Cause::Other;
    ClassifyOnThisSystem(failure, error);
    return failure;
}
