#pragma once

#include <QByteArray>
#include <QString>

// The GSM 7-bit default alphabet with its extension table, and the packing
// of septets into octets, as short messages carry text (3GPP TS 23.038).
// Septets are held one a byte, 0..127.
namespace Gsm7 {

// Text of septets. An escape followed by a code the extension table does not
// have reads as the basic table's character for that code; an escape with
// nothing after it reads as a space.
QString decode(const QByteArray &septets);
// Septets of text: characters of the extension table become escape + code.
// A character in neither table becomes '?' and clears *exact when given.
QByteArray encode(const QString &text, bool *exact = nullptr);
// True when every character of text is in one of the two tables.
bool fits(const QString &text);
// Number of septets a code point takes: 1, 2 (escape + code) or 0 when the
// alphabet lacks it.
int septetsOf(char32_t codePoint);

// Packs septets seven bits each, least significant bit first, after
// fillBits zero bits (the padding that follows a user data header).
QByteArray pack(const QByteArray &septets, int fillBits = 0);
// Unpacks count septets after fillBits bits; returns fewer when packed is
// too short.
QByteArray unpack(const QByteArray &packed, int count, int fillBits = 0);

} // namespace Gsm7
