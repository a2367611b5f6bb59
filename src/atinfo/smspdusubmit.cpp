#include "atinfo/gsm7.h"
#include "atinfo/smspdu.h"
#include "atinfo/smspduparts.h"

#include <QList>
#include <QStringList>

using namespace SmsPduParts;

namespace {

constexpr int kMaxSeptets = 160;
constexpr int kMaxOctets = 140;
// A part's room after the 6-octet concatenation header (UDHL, IEI, IEDL
// and three octets): 153 septets, 134 octets (67 UTF-16 units).
constexpr int kPartSeptets = 153;
constexpr int kPartOctets = 134;

QByteArray ucs2Of(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() * 2);
    for (QChar c : text) {
        out.append(char(c.unicode() >> 8));
        out.append(char(c.unicode() & 0xFF));
    }
    return out;
}

QByteArray addressPart(const QString &number)
{
    QByteArray out;
    out.append(char(number.startsWith(u'+') ? 0x91 : 0x81));
    out.append(semiOctetsOf(number));
    return out;
}

} // namespace

QByteArray EncodeSmsSubmit(const SmsSubmitMessage &message, int *tpduLength)
{
    if (tpduLength)
        *tpduLength = -1;
    const bool concat = message.concatTotal > 0;
    if (!isDiallingString(message.destination)
        || (!message.serviceCentre.isEmpty() && !isDiallingString(message.serviceCentre))
        || message.messageReference < 0 || message.messageReference > 255
        || (concat && (message.concatTotal > 255 || message.concatPart < 1 || message.concatPart > message.concatTotal
                       || message.concatReference < 0 || message.concatReference > 255)))
        return {};

    QByteArray header;
    if (concat) {
        header = QByteArray::fromHex("050003");
        header.append(char(message.concatReference));
        header.append(char(message.concatTotal));
        header.append(char(message.concatPart));
    }
    const bool gsm7 = Gsm7::fits(message.text);
    QByteArray ud;
    int udl = 0;
    if (gsm7) {
        const QByteArray septets = Gsm7::encode(message.text);
        const int headerSeptets = int((header.size() * 8 + 6) / 7);
        udl = headerSeptets + int(septets.size());
        if (udl > kMaxSeptets)
            return {};
        ud = header + Gsm7::pack(septets, int(headerSeptets * 7 - header.size() * 8));
    } else {
        ud = header + ucs2Of(message.text);
        udl = int(ud.size());
        if (udl > kMaxOctets)
            return {};
    }

    QByteArray smsc(1, '\0');
    if (!message.serviceCentre.isEmpty()) {
        const QByteArray address = addressPart(message.serviceCentre);
        smsc = char(address.size()) + address;
    }
    const bool relative = message.validityMinutes >= 0;
    QByteArray tpdu;
    tpdu.append(char(0x01 | (relative ? 0x10 : 0) | (message.statusReportRequest ? 0x20 : 0) | (concat ? 0x40 : 0)));
    tpdu.append(char(message.messageReference));
    const QString digits = message.destination.startsWith(u'+') ? message.destination.mid(1) : message.destination;
    tpdu.append(char(digits.size()));
    tpdu.append(addressPart(message.destination));
    tpdu.append(char(message.protocolId));
    tpdu.append(char(gsm7 ? 0x00 : 0x08));
    if (relative)
        tpdu.append(char(relativeValidityOctet(message.validityMinutes)));
    tpdu.append(char(udl));
    tpdu.append(ud);
    if (tpduLength)
        *tpduLength = int(tpdu.size());
    return (smsc + tpdu).toHex().toUpper();
}

QList<SmsSubmitPdu> EncodeSmsSubmitParts(const SmsSubmitMessage &message)
{
    SmsSubmitMessage one = message;
    one.concatTotal = 0;
    SmsSubmitPdu pdu;
    pdu.hex = EncodeSmsSubmit(one, &pdu.tpduLength);
    if (!pdu.hex.isEmpty())
        return {pdu};
    if (!isDiallingString(message.destination))
        return {};

    // Too long for one: cut between characters (never inside an escape or a
    // surrogate pair) so that each part fits beside its header.
    QStringList pieces;
    QString piece;
    int used = 0;
    const bool gsm7 = Gsm7::fits(message.text);
    for (char32_t cp : message.text.toUcs4()) {
        const int cost = gsm7 ? Gsm7::septetsOf(cp) : (cp >= 0x10000 ? 4 : 2);
        if (used + cost > (gsm7 ? kPartSeptets : kPartOctets)) {
            pieces << piece;
            piece.clear();
            used = 0;
        }
        // Appended as UTF-16 by hand: QString::fromUcs4 drops a U+FEFF at
        // the start of what it converts, taking it for a byte-order mark.
        if (QChar::requiresSurrogates(cp)) {
            piece.append(QChar(QChar::highSurrogate(cp)));
            piece.append(QChar(QChar::lowSurrogate(cp)));
        } else {
            piece.append(QChar(char16_t(cp)));
        }
        used += cost;
    }
    pieces << piece;
    if (pieces.size() > 255)
        return {};

    QList<SmsSubmitPdu> out;
    for (int i = 0; i < pieces.size(); ++i) {
        SmsSubmitMessage part = message;
        part.text = pieces.at(i);
        part.concatPart = i + 1;
        part.concatTotal = int(pieces.size());
        SmsSubmitPdu encoded;
        encoded.hex = EncodeSmsSubmit(part, &encoded.tpduLength);
        if (encoded.hex.isEmpty())
            return {};
        out.append(encoded);
    }
    return out;
}
