#include "runner/systemports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <glob.h>

namespace {

QString ReadLine(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readLine(64)).trimmed() : QString();
}

} // namespace

QList<ListedPort> SystemSerialPorts(const DeviceRoots &roots)
{
    QList<ListedPort> ports;
    const QString classDir = roots.sys + QStringLiteral("/class/tty");
    const QStringList names = QDir(classDir).entryList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot,
                                                       QDir::Name);
    for (const QString &name : names) {
        const QString entry = classDir + u'/' + name;
        if (!QFileInfo::exists(entry + QStringLiteral("/device")))
            continue; // virtual: consoles, ptys
        ListedPort port;
        port.path = roots.dev + u'/' + name;
        port.builtIn = name.startsWith(QLatin1String("ttyS"));
        // A ttyS slot the serial driver keeps without a UART says type 0.
        if (port.builtIn && ReadLine(entry + QStringLiteral("/type")) == QLatin1String("0"))
            continue;
        const DeviceIdentity id = DeviceIdentity::of(port.path, roots);
        port.usb = id.isUsb() || name.startsWith(QLatin1String("ttyACM")) || name.startsWith(QLatin1String("ttyUSB"));
        port.identity = id.describe();
        if (port.identity.isEmpty() && port.builtIn)
            port.identity = QStringLiteral("built-in serial port");
        ports << port;
    }
    return ports;
}


QStringList PortsMatching(const QString &pattern)
{
    QStringList paths;
    glob_t found {};
    if (::glob(pattern.toLocal8Bit().constData(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            paths << QString::fromLocal8Bit(found.gl_pathv[i]);
    }
    ::globfree(&found);
    return paths;
}
