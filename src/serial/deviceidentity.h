#pragma once

#include <QString>
#include <QStringList>

// What a serial device is, beyond the name it has now: a USB module that
// resets leaves the system and may come back as another ttyUSBn, and this is
// how it is found again.
//
// Taken when the port opens: the path as given (followed as it stands when it
// is itself a symbolic link, such as a /dev/serial/by-id name or a link that
// a simulator re-points), the /dev/serial/by-id link that names the device,
// and for a USB device the properties udev builds that name from (read from
// sysfs): vendor and product IDs, serial number, interface number. A USB
// device without a serial number is also where it is plugged in (its USB
// port): a rack of identical modules has nothing else to tell them apart.
// Where the system's trees are; tests point them at a made-up tree.
struct DeviceRoots
{
    QString dev = QStringLiteral("/dev");
    QString sys = QStringLiteral("/sys");

    // /dev and /sys, or the dev/ and sys/ of the folder QRV_DEVICE_ROOT
    // names (a tree a test makes).
    static DeviceRoots fromEnvironment();
};

struct DeviceIdentity
{
    using Roots = DeviceRoots;

    QString path;       // as it was opened
    QString device;     // the node it led to then (links followed)
    // The link itself then (inode and change time), to tell a link made
    // again from one left as it was.
    struct LinkStamp
    {
        quint64 inode = 0;
        qint64 seconds = 0;
        qint64 nanoseconds = 0;
        bool operator==(const LinkStamp &) const = default;
    };
    LinkStamp linkStamp;
    bool isLink = false; // path is a symbolic link: it is what is opened again
    QString byId;       // the /dev/serial/by-id link to the device, if any
    QString vendorId;   // USB, four hex digits
    QString productId;
    QString serial;
    QString interface;  // bInterfaceNumber, two hex digits
    QString usbPort;    // the USB device's sysfs name: bus and port chain, "1-1.2"
    QString manufacturer;
    QString product;
    Roots roots;

    static DeviceIdentity of(const QString &path, const Roots &roots = {});
    // Notes the node that opened (the path now, or the one locate() gave)
    // and the link as it stands, which the next loss is told apart from.
    void noteOpened(const QString &opened);
    bool isUsb() const { return !vendorId.isEmpty(); }
    // A port on another computer (socket://, rfc2217://): the same host and
    // port is the same device, and no notice says when it is back.
    bool isNetwork() const;
    // A port this program serves itself (its simulated module, with no
    // device): its name is all there is of it (the identity a reconnect
    // takes is the name alone), it is found again by that name, as a network
    // port is, and no notice says when it is back either. Such names start
    // with a prefix the program adds here ("sim:").
    bool isInProcess() const { return IsInProcessName(path); }
    static void AddInProcessPrefix(const QString &prefix)
    {
        if (!prefix.isEmpty() && !InProcessPrefixes().contains(prefix))
            InProcessPrefixes() << prefix;
    }
    static bool IsInProcessName(const QString &name)
    {
        for (const QString &prefix : std::as_const(InProcessPrefixes()))
            if (name.startsWith(prefix))
                return true;
        return false;
    }
    static QStringList &InProcessPrefixes()
    {
        static QStringList prefixes;
        return prefixes;
    }
    // False for a pty opened by its own name: its number goes to the next
    // pty made, so nothing found under it later is this device.
    bool mayComeBack() const;

    // The path the device has now, preferring the path as given when it is a
    // link, then the by-id link (for a device without a serial number, only
    // while it leads to a tty at the same USB port: identical modules share
    // the name), then a tty whose USB properties match (and USB port, when
    // there is no serial number); the
    // path itself when it names a device with no identity beyond its name
    // (never for a pty, whose number the next pty gets), and never the pty
    // that was lost through a link left untouched since. Empty when the
    // device is not there.
    QString locate() const;
    // The folders whose changes may mean the device came or went.
    QStringList folders() const;
    // "Maker Model, interface 2", or the by-id name, or empty.
    QString describe() const;
};

// The identity text for a port the system lists (its by-id name, maker,
// model, interface), for the Port list and qrvterm-run --list; empty when
// there is nothing beyond the name.
QString PortIdentityText(const QString &devicePath, const DeviceIdentity::Roots &roots = {});
