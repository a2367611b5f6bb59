#pragma once

#include "serial/portholders.h"

#include <QSerialPort>
#include <QString>

// Why a port did not open, told in words a user can act on.
//
// QSerialPort's error codes are too coarse for that: PermissionError stands
// for a lock file held by another program, a device opened exclusively
// elsewhere (EBUSY) and a device the user may not open (EACCES) alike, and a
// path that is no terminal gives UnsupportedOperationError or UnknownError.
// The classifier adds what the file system says about the path; it never
// opens the device itself (opening a serial line raises its modem lines).
struct PortOpenFailure
{
    enum class Cause {
        None,             // nothing failed
        InUse,            // another program has the port
        NoSuchDevice,     // no such path, or no device behind the node
        PermissionDenied, // the user may not read and write the device
        NotSerialDevice,  // a file, directory or device that is no terminal
        Other,            // anything else: the system's own words
    };

    Cause cause = Cause::None;
    QString devicePath;
    // PermissionDenied: the group that may read and write the device, when
    // its permission bits give one (on Debian "dialout" for serial ports).
    QString group;
    // Other: the system's error text.
    QString systemText;
    // InUse: the processes that have the device open, where the system tells.
    QList<PortHolder> holders;

    // The line shown below "串口被占用!": for a port in use, who holds it
    // (empty when the system does not tell); empty when nothing failed.
    QString Explanation() const;
};

// Classifies a failed QSerialPort::open of devicePath from the port's error
// code and text and from stat()/access() of the path, checked with the
// process's effective user, groups and capabilities.
PortOpenFailure ClassifyPortOpenFailure(const QString &devicePath, QSerialPort::SerialPortError error,
                                        const QString &errorText);
// Its system's part (one file for POSIX systems, one for Windows): sets the
// cause (and the group or holders) of a failure that names its device.
void ClassifyOnThisSystem(PortOpenFailure &failure, QSerialPort::SerialPortError error);
