#pragma once

#include "serial/deviceidentity.h"
#include "serial/serialsettings.h"

#include <QByteArray>
#include <QList>
#include <QString>

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
// is left out. Nothing is opened.
QList<ListedPort> SystemSerialPorts(const DeviceRoots &roots = {});
// "/dev/ttyUSB2  Maker Model, interface 2 (usb-…)": one line of --list.
QByteArray PortListLine(const ListedPort &port);

// What a port said to "AT".
struct ProbeResult
{
    enum class Answer { Ok, Error, Other, Silent, InUse, CannotOpen };
    Answer answer = Answer::Silent;
    QString detail; // the reply's last line, who holds the port, or why it did not open
};

// Sends "AT" and a CR to the port and waits up to timeoutMs for a final
// result. A port another program has open is not touched (InUse).
ProbeResult ProbePort(const SerialSettings &settings, int timeoutMs);
// "/dev/ttyUSB2  OK  Maker Model, interface 2" and the like.
QByteArray ProbeLine(const QString &port, const ProbeResult &result, const QString &identity);
