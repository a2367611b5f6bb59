#include "serial/deviceidentity.h"

#include "serial/serialsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

QString ReadLine(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readLine(256)).trimmed();
}

struct UsbProperties
{
    QString vendorId, productId, serial, interface, usbPort, manufacturer, product;
    // The same interface of the same device: the same vendor, product,
    // serial number and interface, and without a serial number the same
    // USB port too.
    bool isSameDevice(const UsbProperties &o) const
    {
        return vendorId == o.vendorId && productId == o.productId && serial == o.serial && interface == o.interface
            && (!serial.isEmpty() || usbPort == o.usbPort);
    }
};

// The USB interface and device above a tty in sysfs, as udev's usb_id finds
// them: up from the tty's device, the first folder with bInterfaceNumber is
// the interface, the first with idVendor the device.
UsbProperties UsbPropertiesOf(const QString &ttyName, const QString &sysRoot)
{
    UsbProperties p;
    QString dir = QFileInfo(sysRoot + QStringLiteral("/class/tty/") + ttyName + QStringLiteral("/device"))
                      .canonicalFilePath();
    const QString root = QFileInfo(sysRoot).canonicalFilePath();
    while (!dir.isEmpty() && dir.startsWith(root) && dir.size() > root.size()) {
        if (p.interface.isEmpty() && QFileInfo::exists(dir + QStringLiteral("/bInterfaceNumber")))
            p.interface = ReadLine(dir + QStringLiteral("/bInterfaceNumber"));
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            p.usbPort = QFileInfo(dir).fileName();
            p.vendorId = ReadLine(dir + QStringLiteral("/idVendor"));
            p.productId = ReadLine(dir + QStringLiteral("/idProduct"));
            p.serial = ReadLine(dir + QStringLiteral("/serial"));
            p.manufacturer = ReadLine(dir + QStringLiteral("/manufacturer"));
            p.product = ReadLine(dir + QStringLiteral("/product"));
            break;
        }
        dir = QFileInfo(dir).path();
    }
    return p;
}

DeviceIdentity::LinkStamp LinkStampOf(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return {};
    return {quint64(st.st_ino), qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)};
}

QString ByIdFolder(const DeviceIdentity::Roots &roots)
{
    return roots.dev + QStringLiteral("/serial/by-id");
}

} // namespace

DeviceIdentity DeviceIdentity::of(const QString &given, const Roots &roots)
{
    DeviceIdentity id;
    id.roots = roots;
    // A path as given, not resolved: a link stays the link.
    id.path = given.trimmed();
    if (id.isNetwork())
        return id;
    if (!id.path.startsWith(u'/'))
        id.path = DevicePathForPort(id.path);
    // The tty's name: the node's own, or that of the path given when the
    // kernel has a tty of that name (a tree a test makes of links). Any
    // other link is the user's: it is opened as it stands.
    const QString name = QFileInfo(id.path).fileName();
    const bool ttyNode = QFileInfo(id.path).path() == roots.dev
        && QFileInfo::exists(roots.sys + QStringLiteral("/class/tty/") + name);
    id.isLink = QFileInfo(id.path).isSymLink() && !ttyNode;
    id.noteOpened(id.path);
    const QString device = id.device;
    if (device.isEmpty())
        return id;
    const QFileInfoList links = QDir(ByIdFolder(roots)).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &link : links) {
        if (link.canonicalFilePath() == device) {
            id.byId = link.absoluteFilePath();
            break;
        }
    }
    const QString tty = ttyNode ? name : QFileInfo(device).fileName();
    const UsbProperties usb = UsbPropertiesOf(tty, roots.sys);
    id.vendorId = usb.vendorId;
    id.productId = usb.productId;
    id.serial = usb.serial;
    id.interface = usb.interface;
    id.usbPort = usb.usbPort;
    id.manufacturer = usb.manufacturer;
    id.product = usb.product;
    return id;
}

void DeviceIdentity::noteOpened(const QString &opened)
{
    device = QFileInfo(opened).canonicalFilePath();
    linkStamp = LinkStampOf(path);
}

QString DeviceIdentity::locate() const
{
    // Only a connection tells whether the server is back.
    if (isNetwork())
        return path;
    const auto present = [](const QString &p) { return !p.isEmpty() && QFileInfo::exists(p); };
    // A link given by the user is the user's choice of device: it alone says
    // where the device is (exists() follows it). But a link left as it was,
    // pointing at the pty that was lost, points at whichever pty got that
    // number next: another program's. Re-pointed (or made again) at a pty
    // of the same number, it is the user's word again.
    if (isLink) {
        if (!present(path))
            return QString();
        const QString node = QFileInfo(path).canonicalFilePath();
        if (node.startsWith(QStringLiteral("/dev/pts/")) && node == device && LinkStampOf(path) == linkStamp)
            return QString();
        return path;
    }
    const UsbProperties wanted { vendorId, productId, serial, interface, usbPort, {}, {} };
    // Modules without a serial number share their by-id name: it leads to
    // this one only while the tty behind it is at the same USB port.
    if (present(byId)
        && (!isUsb() || !serial.isEmpty()
            || UsbPropertiesOf(QFileInfo(QFileInfo(byId).symLinkTarget()).fileName(), roots.sys)
                   .isSameDevice(wanted)))
        return byId;
    if (isUsb()) {
        // The name it had first, then any other tty with the same properties.
        QStringList names { QFileInfo(path).fileName() };
        const QStringList ttys = QDir(roots.sys + QStringLiteral("/class/tty"))
                                     .entryList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : ttys) {
            if (name != names.constFirst())
                names << name;
        }
        for (const QString &name : names) {
            const QString node = roots.dev + u'/' + name;
            if (present(node) && UsbPropertiesOf(name, roots.sys).isSameDevice(wanted))
                return node;
        }
        return QString();
    }
    if (!mayComeBack())
        return QString();
    return present(path) ? path : QString();
}

QStringList DeviceIdentity::folders() const
{
    QStringList list;
    if (isNetwork())
        return list;
    const auto add = [&list](const QString &folder) {
        if (!folder.isEmpty() && !list.contains(folder))
            list << folder;
    };
    add(QFileInfo(path).absolutePath());
    if (!byId.isEmpty())
        add(ByIdFolder(roots));
    if (isUsb())
        add(roots.dev);
    return list;
}
