#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>

// Finds a string of code page 936 bytes in code page 936 text, as the
// receive view shows it: a match starts where a character starts, never on
// the trail byte of a double-byte character (whose byte may look like an
// ASCII letter), and, unless case-sensitive, ASCII letters match either
// case (double-byte characters always match exactly).
//
// Written here rather than taken from QByteArrayMatcher or std::search: the
// match must be checked against the text's character boundaries, which only
// a walk over the bytes before it can tell.
class GbkFinder
{
public:
    GbkFinder() = default;
    GbkFinder(const QByteArray &pattern, bool caseSensitive);

    bool isEmpty() const { return m_pattern.isEmpty(); }
    qsizetype length() const { return m_pattern.size(); }
    bool caseSensitive() const { return m_caseSensitive; }
    const QByteArray &pattern() const { return m_pattern; }

    // Calls found(offset) for each match in data[0, n) that starts before
    // limit (at most n), in order and not overlapping, while found returns
    // true. data[0] must start a character. Returns false when found
    // stopped it.
    template<class Found>
    bool forEach(const char *data, qsizetype n, qsizetype limit, Found found) const
    {
        for (qsizetype at = 0; (at = next(data, n, at, limit)) >= 0; at += length()) {
            if (!found(at))
                return false;
        }
        return true;
    }
    // The first match at or after from that starts before limit; -1 when
    // there is none.
    qsizetype next(const char *data, qsizetype n, qsizetype from, qsizetype limit) const;
    // Matches in data[0, n) that start before limit.
    qsizetype count(const char *data, qsizetype n, qsizetype limit) const;

    // True for a byte that is a whole character in any text: never a lead
    // or trail byte. The position after it starts a character.
    static constexpr bool isBoundary(uchar b) { return b < 0x40 || b == 0x7F || b == 0xFF; }
    // The last position at or before pos that starts a character of data,
    // given that data[0] does; whether pos itself does.
    static qsizetype characterStartAtOrBefore(const char *data, qsizetype pos);
    static bool startsCharacter(const char *data, qsizetype pos) { return characterStartAtOrBefore(data, pos) == pos; }

private:
    QByteArray m_pattern; // folded
    bool m_caseSensitive = false;
    std::array<uchar, 256> m_fold {};
    std::array<qsizetype, 256> m_skip {};
};
