#include "serial/systemdevice.h"

QString SystemDevicePath(const QString &portName)
{
    return portName;
}

bool DriverTakesOnePointFiveStopBits()
{
    return true;
}
