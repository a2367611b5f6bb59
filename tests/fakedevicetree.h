#pragma once

// A made-up /dev and /sys for tests: USB modules whose ttys are links to
// ptys the test plays, so that identities, listing and probing are tried
// without a real device.
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

class FakeDeviceTree
{
public:
    FakeDeviceTree()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("dev/serial/by-id"));
        QDir(m_dir.path()).mkpath(QStringLiteral("sys/class/tty"));
    }
    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString dev() const { return m_dir.path() + QStringLiteral("/dev"); }
    QString sys() const { return m_dir.path() + QStringLiteral("/sys"); }

    // A tty of a USB device's interface, its node a link to target; byId
    // names its /dev/serial/by-id link (none when empty).
    void addUsbTty(const QString &tty, const QString &target, const QString &serial, int interface,
                   const QString &byId = QString())
    {
        addUsbTtyAt(QStringLiteral("1-%1").arg(serial), tty, target, serial, interface, byId);
    }
    // The same, the USB device plugged in at usbPort (its sysfs name, the
    // bus and port chain such as "1-1.2"): modules without a serial number
    // told apart only by where they are.
    void addUsbTtyAt(const QString &usbPort, const QString &tty, const QString &target, const QString &serial,
                     int interface, const QString &byId = QString())
    {
        const QString device = QStringLiteral("sys/devices/usb1/") + usbPort;
        const QString iface = device + QStringLiteral("/%1:1.%2").arg(usbPort).arg(interface);
        QDir(root()).mkpath(iface + u'/' + tty);
        write(device + QStringLiteral("/idVendor"), "2c7c");
        write(device + QStringLiteral("/idProduct"), "0125");
        if (!serial.isEmpty()) // a device without one has no such file
            write(device + QStringLiteral("/serial"), serial.toUtf8());
        write(device + QStringLiteral("/manufacturer"), "Quectel");
        write(device + QStringLiteral("/product"), "EC25");
        write(iface + QStringLiteral("/bInterfaceNumber"), QByteArray::number(interface).rightJustified(2, '0'));
        addTty(tty, target, root() + u'/' + iface + u'/' + tty);
        if (!byId.isEmpty())
            QFile::link(QStringLiteral("../../") + tty, dev() + QStringLiteral("/serial/by-id/") + byId);
    }
    // A built-in port: the serial driver's slot, with a UART of type (0:
    // none) behind it.
    void addBuiltInTty(const QString &tty, const QString &target, int type)
    {
        const QString device = QStringLiteral("sys/devices/platform/serial8250/") + tty;
        QDir(root()).mkpath(device);
        addTty(tty, target, root() + u'/' + device);
        write(QStringLiteral("sys/class/tty/") + tty + QStringLiteral("/type"), QByteArray::number(type));
    }
    // The tty leaves: its class entry, node and by-id link.
    void remove(const QString &tty, const QString &byId = QString())
    {
        QDir(sys() + QStringLiteral("/class/tty/") + tty).removeRecursively();
        QFile::remove(dev() + u'/' + tty);
        if (!byId.isEmpty())
            QFile::remove(dev() + QStringLiteral("/serial/by-id/") + byId);
    }

private:
    void addTty(const QString &tty, const QString &target, const QString &deviceDir)
    {
        const QString entry = sys() + QStringLiteral("/class/tty/") + tty;
        QDir().mkpath(entry);
        QFile::link(deviceDir, entry + QStringLiteral("/device"));
        QFile::link(target, dev() + u'/' + tty);
    }
    void write(const QString &relative, const QByteArray &text)
    {
        QFile f(root() + u'/' + relative);
        if (f.open(QIODevice::WriteOnly))
            f.write(text + '\n');
    }

    QTemporaryDir m_dir;
};
