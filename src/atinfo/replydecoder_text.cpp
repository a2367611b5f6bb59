// The string of a USSD answer by its data coding scheme (TS 23.038 5, the
// Cell Broadcast coding groups).

#include "atinfo/gsm7.h"
#include "atinfo/replydecoder_p.h"

namespace ReplyDecoding {
namespace {

enum class Alphabet { Gsm7, EightBit, Ucs2, Reserved };

Alphabet AlphabetOf(qint64 dcs, bool *languageFirst)
{
    *languageFirst = false;
    const int group = int(dcs >> 4) & 0x0f;
    switch (group) {
    case 0x0: case 0x2: case 0x3:
        return Alphabet::Gsm7;
    case 0x1:
        if ((dcs & 0x0f) == 0)
            return Alphabet::Gsm7; // the language is the first three characters
        if ((dcs & 0x0f) == 1) {
            *languageFirst = true;
            return Alphabet::Ucs2; // UCS2 after a two-character language
        }
        return Alphabet::Reserved;
    case 0x4: case 0x5: case 0x6: case 0x7: case 0x9: {
        const int alphabet = int(dcs >> 2) & 3;
        return alphabet == 0 ? Alphabet::Gsm7 : alphabet == 1 ? Alphabet::EightBit : alphabet == 2 ? Alphabet::Ucs2
                                                                                                   : Alphabet::Reserved;
    }
    case 0xf:
        return dcs & 0x04 ? Alphabet::EightBit : Alphabet::Gsm7;
    default:
        return Alphabet::Reserved;
    }
}

bool IsHex(const QByteArray &text)
{
    for (char c : text)
        if (!QByteArrayView("0123456789abcdefABCDEF").contains(c))
            return false;
    return !text.isEmpty();
}

// A 7-bit string some modules give as the packed septets in hex (TS 23.038
// 6.1.2.3): taken so only when it is hex, whole octets, and every septet is
// a line end or of the alphabet's printable part 0x20..0x7F, since a string
// in the module's character set may look like hex too ("1234" would unpack
// to Greek capitals). A null QString when it is not such a string.
QString PackedGsm7(const QByteArray &text)
{
    if (!IsHex(text) || text.size() % 2 != 0 || text.size() < 6)
        return {};
    const QByteArray packed = QByteArray::fromHex(text);
    QByteArray septets = Gsm7::unpack(packed, int(packed.size() * 8 / 7));
    // Seven spare bits at the end are filled with CR (6.1.2.3.1), or left zero.
    if (packed.size() % 7 == 0 && !septets.isEmpty() && (septets.back() == 0x0d || septets.back() == 0))
        septets.chop(1);
    if (septets.isEmpty())
        return {};
    for (char septet : septets)
        if (septet != 0x0a && septet != 0x0d && septet < 0x20)
            return {};
    return Gsm7::decode(septets);
}

} // namespace

void DecodeUssdString(const Param &str, const Param &dcsParam, Fields &f)
{
    qint64 dcs = 0;
    if (!f.Number(dcsParam, QStringLiteral("dcs"), 0, 255, &dcs))
        return;
    bool languageFirst = false;
    const Alphabet alphabet = AlphabetOf(dcs, &languageFirst);
    static const char *const kNames[] = {"GSM 7 bit default alphabet", "8 bit data", "UCS2", "reserved coding"};
    const QString dcsText = QStringLiteral("%1: %2").arg(dcs).arg(QLatin1String(kNames[int(alphabet)]));
    if (alphabet == Alphabet::Reserved) {
        f.Text(QStringLiteral("str"), str);
        f.Add(QStringLiteral("dcs"), dcs, dcsText);
        f.Fail(QStringLiteral("dcs %1 is a reserved coding group: the string is not decoded").arg(dcs));
        return;
    }
    if (alphabet == Alphabet::Ucs2) {
        const QByteArray &hex = str.text;
        if (!IsHex(hex) || hex.size() % 4 != 0) {
            f.Add(QStringLiteral("dcs"), dcs, dcsText);
            f.Fail(QStringLiteral("UCS2 string \"%1\" is not hexadecimal in groups of 4 digits")
                       .arg(QString::fromLatin1(hex.left(40))));
            return;
        }
        const QByteArray bytes = QByteArray::fromHex(hex);
        QString text;
        for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
            text += QChar(char16_t((uchar(bytes[i]) << 8) | uchar(bytes[i + 1])));
        if (languageFirst)
            text = text.mid(2).prepend(QStringLiteral("[%1] ").arg(text.left(2)));
        f.Add(QStringLiteral("str"), text, text);
    } else if (alphabet == Alphabet::EightBit) {
        f.Add(QStringLiteral("str"), QString::fromLatin1(str.text), QStringLiteral("8 bit data: %1").arg(QString::fromLatin1(str.text)));
    } else if (const QString unpacked = PackedGsm7(str.text); !unpacked.isNull()) {
        f.Add(QStringLiteral("str"), unpacked,
              QStringLiteral("%1 (packed GSM 7 bit: %2)").arg(unpacked, QString::fromLatin1(str.text)));
    } else {
        // Modules give 7-bit strings in the character set of +CSCS.
        f.Text(QStringLiteral("str"), str);
    }
    f.Add(QStringLiteral("dcs"), dcs, dcsText);
}

} // namespace ReplyDecoding
