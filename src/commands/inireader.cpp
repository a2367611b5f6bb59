#include "commands/inireader.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Blanks around names and values. CR and LF never reach a line.
constexpr bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// A code page 936 double-byte character: a lead byte followed by a trail byte.
// The trail byte may be an ASCII letter or ']', which must not be taken as such.
constexpr bool IsLead(uchar b) { return b >= 0x81 && b <= 0xFE; }
constexpr bool IsTrail(uchar b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE); }
bool IsPair(const char *p, qsizetype i, qsizetype n)
{
    return IsLead(uchar(p[i])) && i + 1 < n && IsTrail(uchar(p[i + 1]));
}

// Lowers ASCII capitals into out, leaving double-byte characters alone. A
// name starts after a blank, '[' or the line's start, none of which can be a
// lead byte, so pairs are found as in the whole line.
void FoldInto(QByteArray &out, QByteArrayView text)
{
    out.resize(text.size());
    char *o = out.data();
    const char *p = text.data();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (IsPair(p, i, n)) {
            o[i] = p[i];
            ++i;
            o[i] = p[i];
        } else {
            o[i] = (p[i] >= 'A' && p[i] <= 'Z') ? char(p[i] - 'A' + 'a') : p[i];
        }
    }
}

struct Line
{
    enum Kind { Other, Header, Key } kind = Other;
    QByteArrayView name; // section or key
    QByteArrayView value;
};

Line ParseLine(const char *p, qsizetype begin, qsizetype end)
{
    Line line;
    while (begin < end && IsBlank(p[begin]))
        ++begin;
    if (begin == end || p[begin] == ';')
        return line;

    if (p[begin] == '[') {
        qsizetype close = -1;
        for (qsizetype i = begin + 1; i < end; ++i) {
            if (IsPair(p, i, end))
                ++i;
            else if (p[i] == ']')
                close = i;
        }
        if (close >= 0) {
            line.kind = Line::Header;
            line.name = QByteArrayView(p + begin + 1, close - begin - 1);
        }
        return line;
    }

    const void *found = std::memchr(p + begin, '=', size_t(end - begin));
    if (!found)
        return line;
    const qsizetype equals = static_cast<const char *>(found) - p;
    qsizetype keyEnd = equals;
    while (keyEnd > begin && IsBlank(p[keyEnd - 1]))
        --keyEnd;
    qsizetype value = equals + 1;
    while (value < end && IsBlank(p[value]))
        ++value;
    qsizetype valueEnd = end;
    while (valueEnd > value && IsBlank(p[valueEnd - 1]))
        --valueEnd;
    if (valueEnd - value >= 2 && (p[value] == '"' || p[value] == '\'') && p[valueEnd - 1] == p[value]) {
        ++value;
        --valueEnd;
    }
    line.kind = Line::Key;
    line.name = QByteArrayView(p + begin, keyEnd - begin);
    line.value = QByteArrayView(p + value, valueEnd - value);
    return line;
}

// Calls f(key, value) for each key line of the first section named `section`
// (folded), in order, until f returns false.
template<class F>
void ForEachKey(const QByteArray &text, const QByteArray &section, F &&f)
{
    QByteArray folded;
    bool inside = false;
    const char *p = text.constData();
    const qsizetype n = text.size();
    qsizetype pos = 0;
    while (pos < n) {
        qsizetype end = pos;
        while (end < n && p[end] != '\r' && p[end] != '\n')
            ++end;
        const Line line = ParseLine(p, pos, end);
        if (line.kind == Line::Header) {
            if (inside)
                return; // later sections of the same name are not seen
            if (line.name.size() == section.size()) {
                FoldInto(folded, line.name);
                inside = folded == section;
            }
        } else if (line.kind == Line::Key && inside && !f(line.name, line.value)) {
            return;
        }
        pos = end + 1;
        if (end < n && p[end] == '\r' && pos < n && p[pos] == '\n')
            ++pos;
    }
}

} // namespace

IniReader IniReader::FromBytes(QByteArray bytes)
{
    IniReader reader;
    reader.m_data = std::move(bytes);
    return reader;
}

bool IniReader::Load(const QString &path, QString *error)
{
    *this = IniReader();
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    };
    // Checked before opening: opening a FIFO would wait for a writer.
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("the file does not exist"));
    if (!info.isFile())
        return fail(QStringLiteral("not a regular file"));
    if (info.size() > kMaxFileSize)
        return fail(QStringLiteral("larger than %1 MB, not read").arg(kMaxFileSize >> 20));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    // Read in pieces, in case the file grew after the check.
    QByteArray bytes;
    bytes.reserve(qsizetype(info.size()));
    while (bytes.size() <= kMaxFileSize) {
        const QByteArray piece = file.read(1 << 20);
        if (piece.isEmpty())
            break;
        bytes += piece;
    }
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    if (bytes.size() > kMaxFileSize)
        return fail(QStringLiteral("larger than %1 MB, not read").arg(kMaxFileSize >> 20));
    m_data = std::move(bytes);
    return true;
}

QByteArray IniReader::Value(const QByteArray &section, const QByteArray &key,
                            const QByteArray &defaultValue) const
{
    return Values(section, {key}, defaultValue).constFirst();
}

QList<QByteArray> IniReader::Values(const QByteArray &section, const QList<QByteArray> &keys,
                                    const QByteArray &defaultValue) const
{
    QList<QByteArray> values(keys.size(), defaultValue);
    // Folded key -> its first place in keys; later repeats are copied at the end.
    QHash<QByteArray, qsizetype> wanted;
    wanted.reserve(keys.size());
    QList<QByteArray> foldedKeys(keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        FoldInto(foldedKeys[i], keys[i]);
        if (!wanted.contains(foldedKeys[i]))
            wanted.insert(foldedKeys[i], i);
    }
    std::vector<bool> found(size_t(keys.size()), false);
    qsizetype missing = wanted.size();
    QByteArray foldedSection;
    FoldInto(foldedSection, section);
    QByteArray folded;
    ForEachKey(m_data, foldedSection, [&](QByteArrayView key, QByteArrayView value) {
        FoldInto(folded, key);
        const auto it = wanted.constFind(folded);
        if (it != wanted.constEnd() && !found[size_t(*it)]) {
            found[size_t(*it)] = true;
            values[*it] = value.toByteArray();
            --missing;
        }
        return missing > 0;
    });
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const qsizetype first = wanted.value(foldedKeys[i]);
        if (first != i)
            values[i] = values[first];
    }
    return values;
}
