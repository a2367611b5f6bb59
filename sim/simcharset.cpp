// Character sets (+CSCS): strings to and from the TE character set, hex UTF-16 for UCS2.
#include "simcharset.h"

#include "simmoduleimpl.h"
#include "smspdu.h"

#include <algorithm>

using namespace SimInternal;

bool SimInternal::isHex(const QByteArray &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

QByteArray SimInternal::ucs2Hex(const QString &text)
{
    QByteArray out;
    for (QChar c : text)
        out += QByteArray::number(c.unicode(), 16).toUpper().rightJustified(4, '0');
    return out;
}

std::optional<QString> SimInternal::fromUcs2Hex(const QByteArray &hex)
{
    if (hex.size() % 4 != 0 || !isHex(hex))
        return std::nullopt;
    QString out;
    for (qsizetype i = 0; i < hex.size(); i += 4)
        out.append(QChar(char16_t(hex.mid(i, 4).toUInt(nullptr, 16))));
    return out;
}

QByteArray SimulatedModule::Impl::toTe(const QString &text) const
{
    if (settings.cscs == "UCS2")
        return ucs2Hex(text);
    const char16_t limit = settings.cscs == "IRA" ? 0x80 : 0x100;
    QByteArray out;
    for (QChar c : text)
        out.append(c.unicode() < limit ? char(c.unicode()) : '?');
    return out;
}

std::optional<QString> SimulatedModule::Impl::fromTe(const QByteArray &bytes) const
{
    if (settings.cscs == "UCS2")
        return fromUcs2Hex(bytes);
    return QString::fromLatin1(bytes);
}

QByteArray SimulatedModule::Impl::bodyToTe(const QString &text) const
{
    return SmsPdu::deliverDcs(text) == 0x08 ? ucs2Hex(text) : toTe(text);
}
