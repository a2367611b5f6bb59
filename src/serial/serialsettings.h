#pragma once

#include <QString>
#include <QtGlobal>

// Line settings for one open of the port, read from the main window at Start.
struct SerialSettings
{
    enum class Parity { None, Even, Odd };
    enum class StopBits { One, OnePointFive, Two };

    QString portName = QStringLiteral("COM1");
    quint32 baudRate = 4800;
    quint8 dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool rtsHandshake = false;
    bool dtrHandshake = false;

    // Index of the Parity list ("NONE", "EVEN", "ODD") and of the Stop list
    // ("1", "1.5", "2"); out-of-range indexes give the first entry.
    static Parity ParityFromIndex(int index);
    static StopBits StopBitsFromIndex(int index);
    // The leading decimal digits of a list text ("4800" gives 4800, "" gives 0).
    static quint32 LeadingNumber(const QString &text);
};

// The device path that a Port list name opens. "COMn" is the n-th serial port
// of the platform (on Linux /dev/ttyS(n-1)); a bare name such as "ttyUSB0" is
// taken under /dev; a path is used as it stands. Symbolic links are resolved,
// so that the same device reached through a link is seen as busy.
QString DevicePathForPort(const QString &portName);
