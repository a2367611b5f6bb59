#include "serial/deviceidentity.h"

#include <QSerialPortInfo>

// On Windows a port is a name (COM3) the system gives; what it is beyond the
// name comes from the system's device properties, as QSerialPortInfo reads
// them: USB vendor and product, serial number, maker and model. A USB module
// that resets may come back under another COM name; it is found by those
// properties. Without a serial number only its own name finds it again.

namespace {

QString Hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

bool SameUsbDevice(const QSerialPortInfo &info, const DeviceIdentity &id)
{
    return info.hasVendorIdentifier() && info.hasProductIdentifier() && Hex4(info.vendorIdentifier()) == id.vendorId
        && Hex4(info.productIdentifier()) == id.productId && info.serialNumber() == id.serial;
}

} // namespace

DeviceIdentity DeviceIdentity::of(const QString &given, const Roots &roots)
{
    DeviceIdentity id;
    id.roots = roots;
    id.path = given.trimmed();
    if (id.isNetwork())
        return id;
    id.noteOpened(id.path);
    const QSerialPortInfo info(id.path);
    if (info.isNull() || !info.hasVendorIdentifier())
        return id;
    id.vendorId = Hex4(info.vendorIdentifier());
    id.productId = info.hasProductIdentifier() ? Hex4(info.productIdentifier()) : QString();
    id.serial = info.serialNumber();
    id.manufacturer = info.manufacturer();
    id.product = info.description();
    return id;
}

void DeviceIdentity::noteOpened(const QString &opened)
{
    device = opened;
}

QString DeviceIdentity::locate() const
{
    if (isNetwork())
        return path;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    const auto named = [&ports](const QString &name) {
        for (const QSerialPortInfo &info : ports) {
            if (info.portName().compare(name, Qt::CaseInsensitive) == 0)
                return info;
        }
        return QSerialPortInfo();
    };
    if (!isUsb())
        return named(path).isNull() ? QString() : path;
    // The name it had first, then, with a serial number to tell it from its
    // twins, any port with the same properties.
    if (const QSerialPortInfo own = named(path); !own.isNull() && SameUsbDevice(own, *this))
        return path;
    if (serial.isEmpty())
        return QString();
    for (const QSerialPortInfo &info : ports) {
        if (SameUsbDevice(info, *this))
            return info.portName();
    }
    return QString();
}

QStringList DeviceIdentity::folders() const
{
    // Nothing to watch in the file system: a port comes or goes in the
    // system's list of ports, which DeviceWatch looks at for any folder.
    if (isNetwork())
        return {};
    return {QStringLiteral("ports")};
}
