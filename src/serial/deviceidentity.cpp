#include "serial/deviceidentity.h"

#include "serial/networktransport.h"

#include <QFileInfo>

DeviceRoots DeviceRoots::fromEnvironment()
{
    const QString root = qEnvironmentVariable("QRV_DEVICE_ROOT");
    if (root.isEmpty())
        return {};
    return {root + QStringLiteral("/dev"), root + QStringLiteral("/sys")};
}

bool DeviceIdentity::isNetwork() const
{
    return NetworkPortAddress::IsNetworkName(path);
}

bool DeviceIdentity::mayComeBack() const
{
    // A pty's number is given to the next pty made: the same name is never
    // the same device. (Behind a link, or a USB tty's node in a made-up
    // tree, it is found by the link or the properties.)
    return isNetwork() || isLink || isUsb() || !path.startsWith(roots.dev + QStringLiteral("/pts/"));
}

QString DeviceIdentity::describe() const
{
    QString text = (manufacturer + u' ' + product).trimmed();
    if (!interface.isEmpty()) {
        bool ok = false;
        const int number = interface.toInt(&ok, 16);
        const QString part = QStringLiteral("interface %1").arg(ok ? QString::number(number) : interface);
        text = text.isEmpty() ? part : text + QStringLiteral(", ") + part;
    }
    const QString name = byId.isEmpty() ? QString() : QFileInfo(byId).fileName();
    if (name.isEmpty())
        return text;
    return text.isEmpty() ? name : text + QStringLiteral(" (") + name + u')';
}

QString PortIdentityText(const QString &devicePath, const DeviceIdentity::Roots &roots)
{
    return DeviceIdentity::of(devicePath, roots).describe();
}
