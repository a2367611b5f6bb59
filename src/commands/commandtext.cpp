#include "commands/commandtext.h"

#include "text/codepage936.h"
#include "text/cp936codec.h"
#include "text/gbk.h"

#include <vector>

namespace {

// One shown piece of a command: `bytes` bytes of it shown as `chars`
// characters (a character, or the four of "\xHH").
struct Piece
{
    int bytes;
    int chars;
};

class Decoder
{
public:
    Decoder() = default;
    // The character of 1 or 2 bytes at p, or nothing when they do not stand
    // for exactly one character that encodes back to the same bytes.
    bool Decode(const char *p, int n, QChar *out)
    {
        if (!m_codec.isValid())
            return false;
        const QString s = m_codec.decode(QByteArrayView(p, n));
        // The code page's user-defined areas (and 0xFF) decode to private
        // use characters, which show as nothing.
        if (s.size() != 1 || s[0] == QChar::ReplacementCharacter || s[0].category() == QChar::Other_PrivateUse)
            return false;
        const QByteArray back = m_codec.encode(s);
        if (back != QByteArrayView(p, n))
            return false;
        *out = s[0];
        return true;
    }

private:
    Cp936Codec m_codec;
};

void AppendEscape(QString &out, uchar b)
{
    static const char digits[] = "0123456789ABCDEF";
    out += QLatin1String("\\x");
    out += QLatin1Char(digits[b >> 4]);
    out += QLatin1Char(digits[b & 0xF]);
}

// The shown text of `bytes`, and the pieces it is made of when `pieces` is given.
QString Show(const QByteArray &bytes, std::vector<Piece> *pieces)
{
    QString out;
    out.reserve(bytes.size());
    Decoder decoder;
    const char *p = bytes.constData();
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const uchar b = uchar(p[i]);
        Piece piece { 1, 1 };
        QChar c;
        if (b < 0x80) {
            out += QLatin1Char(char(b));
        } else if (Gbk::isLead(b) && i + 1 < n && decoder.Decode(p + i, 2, &c)) {
            out += c;
            piece.bytes = 2;
        } else if (!Gbk::isLead(b) && decoder.Decode(p + i, 1, &c)) {
            out += c; // 0x80, where the code page has the euro sign
        } else {
            AppendEscape(out, b);
            piece.chars = 4;
        }
        if (pieces)
            pieces->push_back(piece);
        i += piece.bytes;
    }
    return out;
}

} // namespace

QString CommandDisplayText(const QByteArray &bytes)
{
    return Show(bytes, nullptr);
}

QByteArray EditedCommandBytes(const QByteArray &original, const QString &edited)
{
    std::vector<Piece> pieces;
    const QString shown = Show(original, &pieces);
    if (shown == edited)
        return original;

    // The longest start of whole pieces that the edit left as it was...
    const qsizetype common = std::min(shown.size(), edited.size());
    qsizetype same = 0;
    while (same < common && shown[same] == edited[same])
        ++same;
    size_t head = 0;
    qsizetype headChars = 0, headBytes = 0;
    while (head < pieces.size() && headChars + pieces[head].chars <= same) {
        headChars += pieces[head].chars;
        headBytes += pieces[head].bytes;
        ++head;
    }
    // ... and the longest end of whole pieces after it.
    const qsizetype room = std::min(shown.size(), edited.size()) - headChars;
    qsizetype sameEnd = 0;
    while (sameEnd < room && shown[shown.size() - 1 - sameEnd] == edited[edited.size() - 1 - sameEnd])
        ++sameEnd;
    size_t tail = pieces.size();
    qsizetype tailChars = 0, tailBytes = 0;
    while (tail > head && tailChars + pieces[tail - 1].chars <= sameEnd) {
        --tail;
        tailChars += pieces[tail].chars;
        tailBytes += pieces[tail].bytes;
    }

    const QString typed = edited.mid(headChars, edited.size() - headChars - tailChars);
    return original.left(headBytes) + ToCodePage936(typed) + original.right(tailBytes);
}
