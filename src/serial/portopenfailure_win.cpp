#include "serial/portopenfailure.h"

void ClassifyOnThisSystem(PortOpenFailure &failure, QSerialPort::SerialPortError error)
{
    using Cause = PortOpenFailure::Cause;
    // Windows answers a port held by another program with "access denied".
    if (error == QSerialPort::DeviceNotFoundError)
        failure.cause = Cause::NoSuchDevice;
    else if (error == QSerialPort::PermissionError)
        failure.cause = Cause::InUse;
}
