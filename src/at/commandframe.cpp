#include "at/commandframe.h"

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

} // namespace

quint8 HexPairToByte(char high, char low)
{
    return quint8(HexDigit(high) * 16 + HexDigit(low));
}

std::optional<QByteArray> HexTextToBytes(const QByteArray &text, QString *why)
{
    QByteArray bytes;
    bytes.reserve(text.size() / 2);
    int high = -1;
    qsizetype highAt = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        const bool digit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!digit) {
            if (why)
                *why = QStringLiteral("byte %1 (0x%2) is not a hex digit")
                           .arg(i + 1)
                           .arg(quint8(c), 2, 16, QLatin1Char('0'));
            return std::nullopt;
        }
        if (high < 0) {
            high = HexDigit(c);
            highAt = i;
        } else {
            bytes.append(char(high * 16 + HexDigit(c)));
            high = -1;
        }
    }
    if (high >= 0) {
        if (why)
            *why = QStringLiteral("the hex digit at byte %1 has no second digit").arg(highAt + 1);
        return std::nullopt;
    }
    return bytes;
}

CommandFrame BuildCommandFrame(const QByteArray &command, int endChar, const QByteArray &customHex,
                               bool nullLineBreak)
{
    CommandFrame frame;
    frame.bytes = command;
    switch (endChar) {
    case END_NULL:
        frame.logLineBreak = nullLineBreak;
        break;
    case END_CR:
        frame.bytes.append('\r');
        break;
    case END_LF:
        frame.bytes.append('\n');
        break;
    case END_CR_LF:
        frame.bytes.append("\r\n");
        break;
    case END_SUB:
        frame.bytes.append('\x1A');
        frame.logText = frame.bytes;
        break;
    case END_CUSTOM: {
        QByteArray hex = customHex;
        hex.replace(' ', QByteArray());
        if (!hex.isEmpty() && hex.size() % 2 == 0) {
            for (qsizetype i = 0; i < hex.size(); i += 2)
                frame.bytes.append(char(HexPairToByte(hex[i], hex[i + 1])));
        }
        // The frame is logged as text: up to its first zero byte.
        const qsizetype zero = frame.bytes.indexOf('\0');
        frame.logText = zero < 0 ? frame.bytes : frame.bytes.left(zero);
        break;
    }
    default:
        break;
    }
    return frame;
}

bool IsOnlyEcho(const QByteArray &command, const QByteArray &received)
{
    QByteArray echo = received;
    echo.replace('\0', QByteArray());
    echo = echo.trimmed();
    return !echo.isEmpty() && echo == command.trimmed();
}
