#pragma once

#include <QChar>
#include <QString>
#include <QtGlobal>

// Code page 936 (GBK) text as the receive view shows it: bytes are split into
// display units, each one or two bytes wide in the text and one, two or (for a
// tab) up to eight cells wide on the screen.
//
// Units:
//  - Text: one printable byte (0x20..0x7E, and 0x80 which code page 936 maps to
//    the euro sign), one cell.
//  - Tab: byte 9, as many cells as reach the next tab stop (every kTabWidth
//    cells unless the caller says otherwise).
//  - Control: bytes 0x00..0x1F other than tab, and 0x7F; one cell, shown as the
//    Unicode control picture (U+2400 + byte, U+2421 for 0x7F). CR and LF are
//    line breaks and never reach a unit inside a line.
//  - Double: a lead byte (0x81..0xFE) followed by a trail byte (0x40..0x7E or
//    0x80..0xFE); two cells, one character.
//  - Invalid: a byte 0x81..0xFF that starts no pair; one cell, shown as U+FFFD.
//  - Incomplete: a lead byte that is the last available byte; the next bytes
//    may still complete it. One cell, shown as U+FFFD until then.
namespace Gbk {

constexpr int kTabWidth = 8;

enum class Kind : quint8 { Text, Tab, Control, Double, Invalid, Incomplete };

struct Unit
{
    int length = 1; // bytes: 1, or 2 for Double
    Kind kind = Kind::Text;
};

constexpr bool isLead(uchar b) { return b >= 0x81 && b <= 0xFE; }
constexpr bool isTrail(uchar b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE); }
constexpr bool isPrintableAscii(uchar b) { return b >= 0x20 && b <= 0x7E; }

// The unit that starts at p, with `available` (>= 1) bytes readable from p.
inline Unit unitAt(const char *p, qsizetype available)
{
    const uchar b = uchar(p[0]);
    if (isPrintableAscii(b) || b == 0x80)
        return {1, Kind::Text};
    if (b == '\t')
        return {1, Kind::Tab};
    if (b < 0x20 || b == 0x7F)
        return {1, Kind::Control};
    if (!isLead(b))
        return {1, Kind::Invalid};
    if (available < 2)
        return {1, Kind::Incomplete};
    if (isTrail(uchar(p[1])))
        return {2, Kind::Double};
    return {1, Kind::Invalid};
}

// Cells a unit covers when it starts at cell `column` of its line.
constexpr int tabCells(qsizetype column, int tabWidth = kTabWidth)
{
    return tabWidth - int(column % tabWidth);
}
inline int unitCells(Unit u, qsizetype column, int tabWidth = kTabWidth)
{
    switch (u.kind) {
    case Kind::Tab:
        return tabCells(column, tabWidth);
    case Kind::Double:
        return 2;
    default:
        return 1;
    }
}

// The placeholder shown for a control byte: U+2400 + b, U+2421 for 0x7F.
constexpr char16_t controlPicture(uchar b) { return b == 0x7F ? u'\u2421' : char16_t(0x2400 + b); }

// True when the platform's converter for "GBK" exists; without it every
// double-byte character decodes to U+FFFD.
bool decoderAvailable();

// The character of a lead/trail pair (U+FFFD when the pair maps to nothing).
char16_t decodePair(uchar lead, uchar trail);

// The character of a single byte outside a pair: the byte itself below 0x80,
// the euro sign for 0x80, U+FFFD for 0x81..0xFF.
char16_t decodeSingle(uchar b);

// Appends what the unit at p shows on the screen: its character, the control
// picture for a control byte, spaces for the cells of a tab (`cells` of them),
// U+FFFD for an invalid or incomplete byte.
void appendDisplay(QString &out, const char *p, Unit u, int cells);

// The text of n bytes as Unicode, for copying: CR LF, a lone CR and a lone LF
// each become "\n"; NUL bytes are dropped; other control bytes and tabs are
// kept as they are; invalid and incomplete bytes become U+FFFD.
QString decode(const char *p, qsizetype n);
void appendDecoded(QString &out, const char *p, qsizetype n);
// Writes decode(p, n) to dst, which must have room for n characters (the
// text never has more characters than bytes); returns the characters written.
qsizetype decodeInto(char16_t *dst, const char *p, qsizetype n);
// The length of decode(p, n) without building it.
qsizetype decodedLength(const char *p, qsizetype n);
// How many of the n bytes at p decode to the first `length` characters of
// decode(p, n); the count never ends inside a pair or between CR and LF.
qsizetype bytesForLength(const char *p, qsizetype n, qsizetype length);

} // namespace Gbk
