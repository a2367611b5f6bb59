#include "text/gbk.h"

#include "text/cp936codec.h"

#include <QByteArray>
#include <array>
#include <memory>

namespace Gbk {
namespace {

constexpr int kLeads = 0xFE - 0x81 + 1;
constexpr int kTrailSpan = 0x100 - 0x40;
constexpr char16_t kReplacement = u'\uFFFD';

struct Tables
{
    bool available = false;
    char16_t euro = kReplacement;
    std::array<char16_t, kLeads * kTrailSpan> pairs{};
};

// Decodes every lead/trail pair once with the platform converter. The pairs go
// through one call, each followed by "\n": LF is no trail byte, so an invalid
// pair cannot swallow its neighbour, and each pair's output is what stands
// between two LFs.
std::unique_ptr<Tables> buildTables()
{
    auto t = std::make_unique<Tables>();
    t->pairs.fill(kReplacement);
    Cp936Codec decoder;
    t->available = decoder.isValid();
    if (!t->available)
        return t;

    const QString euro = decoder.decode(QByteArrayView("\x80", 1));
    if (euro.size() == 1)
        t->euro = euro.at(0).unicode();

    QByteArray all;
    all.reserve(kLeads * kTrailSpan * 3);
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (!isTrail(uchar(trail)))
                continue;
            all.append(char(lead));
            all.append(char(trail));
            all.append('\n');
        }
    }
    const QString text = decoder.decode(all);
    qsizetype pos = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (!isTrail(uchar(trail)))
                continue;
            const qsizetype end = text.indexOf(u'\n', pos);
            if (end < 0)
                return t;
            if (end - pos == 1 && !text.at(pos).isSurrogate())
                t->pairs[size_t((lead - 0x81) * kTrailSpan + (trail - 0x40))] = text.at(pos).unicode();
            pos = end + 1;
        }
    }
    return t;
}

const Tables &tables()
{
    static const std::unique_ptr<Tables> t = buildTables();
    return *t;
}

// Walks the units of decode(p, n): put(character) for each character
// produced, and done(bytesConsumed) after each unit; stops early when done
// returns true. Returns the bytes consumed.
template<class Put, class Done>
qsizetype walk(const char *p, qsizetype n, Put &&put, Done &&done)
{
    const Tables &t = tables();
    qsizetype i = 0;
    while (i < n) {
        const uchar b = uchar(p[i]);
        if (b < 0x80) {
            if (b == '\r') {
                put(u'\n');
                i += (i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
            } else {
                if (b == '\n')
                    put(u'\n');
                else if (b != 0)
                    put(char16_t(b));
                ++i;
            }
        } else if (isLead(b) && i + 1 < n && isTrail(uchar(p[i + 1]))) {
            put(t.pairs[size_t((b - 0x81) * kTrailSpan + (uchar(p[i + 1]) - 0x40))]);
            i += 2;
        } else {
            put(b == 0x80 ? t.euro : kReplacement);
            ++i;
        }
        if (done(i))
            break;
    }
    return i;
}

} // namespace

bool decoderAvailable()
{
    return tables().available;
}

char16_t decodePair(uchar lead, uchar trail)
{
    if (!isLead(lead) || !isTrail(trail))
        return kReplacement;
    return tables().pairs[size_t((lead - 0x81) * kTrailSpan + (trail - 0x40))];
}

char16_t decodeSingle(uchar b)
{
    if (b < 0x80)
        return char16_t(b);
    return b == 0x80 ? tables().euro : kReplacement;
}

void appendDisplay(QString &out, const char *p, Unit u, int cells)
{
    const uchar b = uchar(p[0]);
    switch (u.kind) {
    case Kind::Text:
        out.append(QChar(decodeSingle(b)));
        break;
    case Kind::Tab:
        out.append(QString(cells, u' '));
        break;
    case Kind::Control:
        out.append(QChar(controlPicture(b)));
        break;
    case Kind::Double:
        out.append(QChar(decodePair(b, uchar(p[1]))));
        break;
    case Kind::Invalid:
    case Kind::Incomplete:
        out.append(QChar(kReplacement));
        break;
    }
}

qsizetype decodeInto(char16_t *dst, const char *p, qsizetype n)
{
    const Tables &t = tables();
    char16_t *const begin = dst;
    qsizetype i = 0;
    while (i < n) {
        const uchar b = uchar(p[i]);
        if (b >= 0x20 && b < 0x7F) {
            *dst++ = b;
            ++i;
        } else if (b < 0x80) {
            if (b == '\r') {
                *dst++ = u'\n';
                i += (i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
                continue;
            }
            if (b != 0)
                *dst++ = b == '\n' ? u'\n' : char16_t(b);
            ++i;
        } else if (isLead(b) && i + 1 < n && isTrail(uchar(p[i + 1]))) {
            *dst++ = t.pairs[size_t((b - 0x81) * kTrailSpan + (uchar(p[i + 1]) - 0x40))];
            i += 2;
        } else {
            *dst++ = b == 0x80 ? t.euro : kReplacement;
            ++i;
        }
    }
    return dst - begin;
}

void appendDecoded(QString &out, const char *p, qsizetype n)
{
    const qsizetype old = out.size();
    out.resize(old + n);
    const qsizetype written = decodeInto(reinterpret_cast<char16_t *>(out.data()) + old, p, n);
    out.resize(old + written);
}

QString decode(const char *p, qsizetype n)
{
    QString out;
    appendDecoded(out, p, n);
    return out;
}

qsizetype decodedLength(const char *p, qsizetype n)
{
    qsizetype count = 0;
    walk(p, n, [&](char16_t) { ++count; }, [](qsizetype) { return false; });
    return count;
}

qsizetype bytesForLength(const char *p, qsizetype n, qsizetype length)
{
    if (length <= 0)
        return 0;
    qsizetype count = 0;
    return walk(p, n, [&](char16_t) { ++count; }, [&](qsizetype) { return count >= length; });
}

} // namespace Gbk
