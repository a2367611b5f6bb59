#include "text/codepage936.h"

#include "text/cp936codec.h"

QByteArray ToCodePage936(const QString &text)
{
    Cp936Codec codec;
    if (!codec.isValid())
        return text.toLocal8Bit();
    return codec.encode(text);
}

QString FromCodePage936(const QByteArray &bytes)
{
    Cp936Codec codec;
    if (!codec.isValid())
        return QString::fromLocal8Bit(bytes);
    return codec.decode(bytes);
}
