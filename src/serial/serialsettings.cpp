#include "serial/serialsettings.h"

#include "serial/networktransport.h"
#include "serial/systemdevice.h"


SerialSettings::Parity SerialSettings::ParityFromIndex(int index)
{
    switch (index) {
    case 1: return Parity::Even;
    case 2: return Parity::Odd;
    default: return Parity::None;
    }
}

SerialSettings::StopBits SerialSettings::StopBitsFromIndex(int index)
{
    switch (index) {
    case 1: return StopBits::OnePointFive;
    case 2: return StopBits::Two;
    default: return StopBits::One;
    }
}

quint32 SerialSettings::LeadingNumber(const QString &text)
{
    quint64 value = 0;
    for (QChar c : text.trimmed()) {
        if (!c.isDigit() || c.unicode() > '9')
            break;
        value = value * 10 + quint64(c.unicode() - '0');
        if (value > 0xFFFFFFFFull)
            return 0xFFFFFFFFu;
    }
    return quint32(value);
}

QString DevicePathForPort(const QString &portName)
{
    QString path = portName.trimmed();
    // A port on another computer is its address.
    if (NetworkPortAddress::IsNetworkName(path))
        return path;
    return SystemDevicePath(path);
}
