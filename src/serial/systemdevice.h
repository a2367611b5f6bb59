#pragma once

#include <QString>

// How this system names its serial devices and what their drivers take: one
// file for POSIX systems, one for Windows.

// The device a local port name stands for. On Linux COMn is /dev/ttyS(n-1),
// a bare name is one under /dev, and links are followed to the device; on
// Windows the name is the device.
QString SystemDevicePath(const QString &portName);

// Whether the driver can set 1.5 stop bits (termios has no such setting;
// Windows has).
bool DriverTakesOnePointFiveStopBits();
