#pragma once

#include "serial/deviceidentity.h"

#include <QList>
#include <QString>
#include <QStringList>

// The system's serial ports, one implementation for each system: the ttys
// of /sys/class/tty on Linux, the system's COM ports on Windows.

// A serial port the system has, with what it is.
struct ListedPort
{
    QString path;      // /dev/ttyUSB2
    QString identity;  // "Maker Model, interface 2 (usb-…-if02-port0)", or empty
    bool usb = false;  // behind a USB interface (ttyUSB, ttyACM and the like)
    bool builtIn = false; // a ttyS port: on many machines one is the kernel console
};

// The ports the kernel reports hardware behind (the ttys of /sys/class/tty
// with a device), in name order; a ttyS slot with no UART behind it (type 0)
// is left out. On Windows the system's COM ports. Nothing is opened.
QList<ListedPort> SystemSerialPorts(const DeviceRoots &roots = {});
// The ports whose names match a shell pattern, in name order: device paths
// on Linux ("/dev/serial/by-id/*-if02-port0"), COM names on Windows
// ("COM*").
QStringList PortsMatching(const QString &pattern);
