#include "serial/portopenfailure.h"

PortOpenFailure ClassifyPortOpenFailure(const QString &devicePath, QSerialPort::SerialPortError error,
                                        const QString &errorText)
{
    using Cause = PortOpenFailure::Cause;
    PortOpenFailure failure;
    failure.devicePath = devicePath;
    failure.systemText = errorText;
    failure.cause = Cause::Other;
    // Windows answers a port held by another program with "access denied".
    if (error == QSerialPort::DeviceNotFoundError)
        failure.cause = Cause::NoSuchDevice;
    else if (error == QSerialPort::PermissionError)
        failure.cause = Cause::InUse;
    return failure;
}
