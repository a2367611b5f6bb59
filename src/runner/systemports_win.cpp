#include "runner/systemports.h"

#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

// COM2 before COM10.
bool ComOrder(const QString &a, const QString &b)
{
    static const QRegularExpression number(QStringLiteral("^COM(\\d+)$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch x = number.match(a);
    const QRegularExpressionMatch y = number.match(b);
    if (x.hasMatch() && y.hasMatch())
        return x.captured(1).toInt() < y.captured(1).toInt();
    return a < b;
}

} // namespace

QList<ListedPort> SystemSerialPorts(const DeviceRoots &)
{
    QList<ListedPort> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        ListedPort port;
        port.path = info.portName();
        port.usb = info.hasVendorIdentifier();
        port.builtIn = !port.usb;
        port.identity = (info.manufacturer() + u' ' + info.description()).trimmed();
        ports << port;
    }
    std::sort(ports.begin(), ports.end(), [](const ListedPort &a, const ListedPort &b) { return ComOrder(a.path, b.path); });
    return ports;
}

QStringList PortsMatching(const QString &pattern)
{
    const QRegularExpression match(QRegularExpression::wildcardToRegularExpression(pattern),
                                   QRegularExpression::CaseInsensitiveOption);
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (match.match(info.portName()).hasMatch())
            names << info.portName();
    }
    std::sort(names.begin(), names.end(), ComOrder);
    return names;
}
