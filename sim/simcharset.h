// Hex text helpers for the UCS2 character set (strings as hex UTF-16).
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace SimInternal {

// True when every byte is a hex digit (also for an empty string).
bool isHex(const QByteArray &s);

// Text as upper-case hex UTF-16, four digits a unit.
QByteArray ucs2Hex(const QString &text);
// The reverse; nothing unless the length is a multiple of four and every
// byte a hex digit.
std::optional<QString> fromUcs2Hex(const QByteArray &hex);

} // namespace SimInternal
