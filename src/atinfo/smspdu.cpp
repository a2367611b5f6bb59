#include "atinfo/smspdu.h"

#include "atinfo/gsm7.h"
#include "atinfo/smspduparts.h"

#include <QStringList>

using namespace SmsPduParts;

namespace {

constexpr int kMaxSeptets = 160;
constexpr int kMaxOctets = 140;

QString hexOf(const QByteArray &octets)
{
    return QString::fromLatin1(octets.toHex().toUpper());
}

// "1 octet", "5 octets".
QString octetCount(qsizetype n)
{
    return n == 1 ? QStringLiteral("1 octet") : QStringLiteral("%1 octets").arg(n);
}

QString hexOctet(int v)
{
    return QStringLiteral("0x%1").arg(v, 2, 16, QChar(u'0')).toUpper().replace(u'X', u'x');
}

// Decodes one TPDU after its service-centre part into out. Every read is
// checked; the first thing that cannot be decoded ends the decoding with
// the reason in out.problem, keeping the fields before it.
class PduDecoder
{
public:
    PduDecoder(const QByteArray &pdu, Decoded &out) : m_pdu(pdu), m_out(out) {}

    void run(int tpduLength);

private:
    void add(const QString &key, const QVariant &value, const QString &text)
    {
        m_out.fields.append({key, value, text});
    }
    void addNumber(const QString &key, qint64 value, const QString &text)
    {
        add(key, QVariant::fromValue(value), text);
    }
    // Sets the problem unless an earlier one stands; returns false so a
    // reader can "return fail(...)".
    bool fail(const QString &why)
    {
        if (m_out.problem.isEmpty())
            m_out.problem = why;
        return false;
    }
    // True when n more octets are there for what; else the problem.
    bool need(qsizetype n, const QString &what)
    {
        if (m_pdu.size() - m_pos >= n)
            return true;
        return fail(QStringLiteral("the PDU ends after %1, in the %2 (%3 more needed)")
                        .arg(octetCount(m_pdu.size()))
                        .arg(what)
                        .arg(n - (m_pdu.size() - m_pos)));
    }
    int octet() { return quint8(m_pdu.at(m_pos++)); }
    QByteArray take(qsizetype n)
    {
        const QByteArray out = m_pdu.mid(m_pos, n);
        m_pos += n;
        return out;
    }

    bool serviceCentre();
    bool address(const QString &key, const QString &what);
    bool protocolId();
    bool codingScheme();
    bool stamp(const QString &key, const QString &what);
    bool validity(int format);
    bool userData(bool hasHeader);
    bool header(const QByteArray &udh);
    void statusReportTail();

    const QByteArray &m_pdu;
    Decoded &m_out;
    qsizetype m_pos = 0;
    qsizetype m_tpduStart = 0;
    Coding m_coding;
    struct Concat
    {
        int reference = 0;
        int part = 0;
        int total = 0;
    } m_concat;
};

bool PduDecoder::serviceCentre()
{
    if (!need(1, QStringLiteral("service-centre address length")))
        return false;
    const int length = octet();
    if (length == 0) {
        add(QStringLiteral("smsc"), QVariant(), QStringLiteral("not given (the module's own)"));
        return true;
    }
    if (length > 11)
        return fail(QStringLiteral("the service-centre address length %1 is over 11 octets").arg(length));
    if (!need(length, QStringLiteral("service-centre address")))
        return false;
    const int type = octet();
    const QByteArray bcd = take(length - 1);
    int count = int(bcd.size()) * 2;
    if (count > 0 && (quint8(bcd.back()) >> 4) == 0xF)
        --count;
    QString digits;
    const Problem p = semiOctetDigits(bcd, count, &digits);
    if (!p.isEmpty())
        return fail(QStringLiteral("service-centre address: ") + p);
    const QString number = ((type >> 4) & 7) == 1 ? u'+' + digits : digits;
    add(QStringLiteral("smsc"), number, number + QStringLiteral(" (") + typeOfNumberWords(type) + u')');
    return true;
}

bool PduDecoder::address(const QString &key, const QString &what)
{
    if (!need(2, what))
        return false;
    const int count = octet();
    const int type = octet();
    if (count > 20)
        return fail(QStringLiteral("the %1 has %2 digits, over 20").arg(what).arg(count));
    if (!need((count + 1) / 2, what))
        return false;
    const QByteArray octets = take((count + 1) / 2);
    QString value;
    if (((type >> 4) & 7) == 5) {
        // Alphanumeric: GSM 7-bit septets packed into the semi-octets.
        value = Gsm7::decode(Gsm7::unpack(octets, count * 4 / 7));
    } else {
        QString digits;
        const Problem p = semiOctetDigits(octets, count, &digits);
        if (!p.isEmpty())
            return fail(what + QStringLiteral(": ") + p);
        value = ((type >> 4) & 7) == 1 ? u'+' + digits : digits;
    }
    add(key, value, (value.isEmpty() ? QStringLiteral("(empty)") : value) + QStringLiteral(" (")
                        + typeOfNumberWords(type) + u')');
    return true;
}

bool PduDecoder::protocolId()
{
    if (!need(1, QStringLiteral("protocol identifier")))
        return false;
    const int pid = octet();
    addNumber(QStringLiteral("pid"), pid, hexOctet(pid) + QStringLiteral(": ") + protocolIdWords(pid));
    return true;
}

bool PduDecoder::codingScheme()
{
    if (!need(1, QStringLiteral("data coding scheme")))
        return false;
    const int dcs = octet();
    m_coding = codingOf(dcs);
    addNumber(QStringLiteral("dcs"), dcs, hexOctet(dcs) + QStringLiteral(": ") + m_coding.words);
    add(QStringLiteral("alphabet"), alphabetKey(m_coding.alphabet), alphabetWords(m_coding.alphabet));
    if (m_coding.messageClass >= 0)
        addNumber(QStringLiteral("message_class"), m_coding.messageClass,
                  messageClassWords(m_coding.messageClass));
    return true;
}

bool PduDecoder::stamp(const QString &key, const QString &what)
{
    if (!need(7, what))
        return false;
    QString value, words;
    const Problem p = timeStamp(take(7), &value, &words);
    if (!p.isEmpty())
        return fail(what + QStringLiteral(": ") + p);
    add(key, value, words);
    return true;
}

bool PduDecoder::validity(int format)
{
    const QString key = QStringLiteral("validity");
    if (format == 0)
        return true;
    if (format == 2) {
        if (!need(1, QStringLiteral("validity period")))
            return false;
        const qint64 seconds = relativeValiditySeconds(octet());
        addNumber(key, seconds, QStringLiteral("relative: ") + durationWords(seconds));
        return true;
    }
    if (format == 3) {
        if (!need(7, QStringLiteral("validity period")))
            return false;
        QString value, words;
        const Problem p = timeStamp(take(7), &value, &words);
        if (!p.isEmpty())
            return fail(QStringLiteral("absolute validity period: ") + p);
        add(key, value, QStringLiteral("until ") + words);
        return true;
    }
    // Enhanced: a functionality indicator and up to six octets, seven in all.
    if (!need(7, QStringLiteral("enhanced validity period")))
        return false;
    const QByteArray vp = take(7);
    const int indicator = quint8(vp.at(0));
    const QString shot = (indicator & 0x40) ? QStringLiteral(", single shot") : QString();
    qint64 seconds = -1;
    switch (indicator & 7) {
    case 0:
        add(key, QVariant(), QStringLiteral("enhanced: none") + shot);
        return true;
    case 1:
        seconds = relativeValiditySeconds(quint8(vp.at(1)));
        break;
    case 2:
        seconds = quint8(vp.at(1));
        break;
    case 3: {
        int h = 0, m = 0, s = 0;
        QString digits;
        const Problem p = semiOctetDigits(vp.mid(1, 3), 6, &digits);
        if (!p.isEmpty())
            return fail(QStringLiteral("enhanced validity period: ") + p);
        bool ok = true;
        const auto pairAt = [&](int i) {
            // Each octet holds its two digits swapped, tens in the low nibble.
            bool okOne = false;
            const int v = digits.mid(i, 2).toInt(&okOne);
            ok = ok && okOne;
            return v;
        };
        h = pairAt(0);
        m = pairAt(2);
        s = pairAt(4);
        if (!ok || m > 59 || s > 59)
            return fail(QStringLiteral("enhanced validity period: %1 is not hh:mm:ss").arg(digits));
        seconds = h * 3600 + m * 60 + s;
        break;
    }
    default:
        return fail(QStringLiteral("enhanced validity period format %1 is reserved").arg(indicator & 7));
    }
    addNumber(key, seconds, QStringLiteral("enhanced, relative: ") + durationWords(seconds) + shot);
    return true;
}

bool PduDecoder::header(const QByteArray &udh)
{
    QStringList words;
    for (qsizetype i = 0; i < udh.size();) {
        if (i + 2 > udh.size() || i + 2 + quint8(udh.at(i + 1)) > udh.size())
            return fail(QStringLiteral("the user data header's element at octet %1 runs past its end").arg(i + 1));
        const int iei = quint8(udh.at(i));
        const QByteArray data = udh.mid(i + 2, quint8(udh.at(i + 1)));
        i += 2 + data.size();
        const bool concat8 = iei == 0x00 && data.size() == 3;
        const bool concat16 = iei == 0x08 && data.size() == 4;
        if (iei == 0x00 || iei == 0x08) {
            if (!concat8 && !concat16)
                return fail(QStringLiteral("the concatenation element %1 has %2").arg(hexOctet(iei), octetCount(data.size())));
            const int reference = concat8 ? quint8(data.at(0)) : (quint8(data.at(0)) << 8 | quint8(data.at(1)));
            const int total = quint8(data.at(concat8 ? 1 : 2));
            const int part = quint8(data.at(concat8 ? 2 : 3));
            words << QStringLiteral("concatenation (%1-bit reference %2): part %3 of %4")
                         .arg(concat8 ? 8 : 16)
                         .arg(reference)
                         .arg(part)
                         .arg(total);
            if (total == 0 || part == 0 || part > total) {
                add(QStringLiteral("udh"), hexOf(udh), words.join(QStringLiteral("; ")));
                return fail(QStringLiteral("concatenation part %1 of %2 is not a part").arg(part).arg(total));
            }
            m_concat = {reference, part, total};
        } else {
            words << QStringLiteral("element %1: %2").arg(hexOctet(iei), data.isEmpty() ? QStringLiteral("no data") : hexOf(data));
        }
    }
    add(QStringLiteral("udh"), hexOf(udh), words.isEmpty() ? QStringLiteral("empty") : words.join(QStringLiteral("; ")));
    if (m_concat.total > 0) {
        addNumber(QStringLiteral("concat_ref"), m_concat.reference, QString::number(m_concat.reference));
        addNumber(QStringLiteral("concat_part"), m_concat.part, QString::number(m_concat.part));
        addNumber(QStringLiteral("concat_total"), m_concat.total, QString::number(m_concat.total));
    }
    return true;
}

bool PduDecoder::userData(bool hasHeader)
{
    if (!need(1, QStringLiteral("user data length")))
        return false;
    const int udl = octet();
    // Compressed text is counted in octets whatever its alphabet.
    const bool inSeptets = m_coding.alphabet == Alphabet::Gsm7 && !m_coding.compressed;
    const QString unit = inSeptets ? QStringLiteral("septets") : QStringLiteral("octets");
    if (udl > (inSeptets ? kMaxSeptets : kMaxOctets))
        return fail(QStringLiteral("the user data length %1 %2 is over %3")
                        .arg(udl)
                        .arg(unit)
                        .arg(inSeptets ? kMaxSeptets : kMaxOctets));
    const qsizetype octets = inSeptets ? (udl * 7 + 7) / 8 : udl;
    if (m_pdu.size() - m_pos < octets)
        return fail(QStringLiteral("the user data length says %1 %2 (%3), only %4 follow")
                        .arg(udl)
                        .arg(unit)
                        .arg(octetCount(octets))
                        .arg(octetCount(m_pdu.size() - m_pos)));
    const QByteArray ud = take(octets);

    qsizetype udhOctets = 0;
    if (hasHeader) {
        if (ud.isEmpty())
            return fail(QStringLiteral("the first octet says the user data has a header, the user data is empty"));
        udhOctets = quint8(ud.at(0)) + 1;
        if (udhOctets > ud.size())
            return fail(QStringLiteral("the user data header of %1 octets runs past the user data of %2")
                            .arg(udhOctets)
                            .arg(ud.size()));
        if (!header(ud.mid(1, udhOctets - 1)))
            return false;
    }
    if (m_coding.compressed)
        return fail(QStringLiteral("the text is compressed, which is not decoded"));

    const QString key = QStringLiteral("text");
    switch (m_coding.alphabet) {
    case Alphabet::Gsm7: {
        // The text starts on the septet boundary after the header: fill
        // bits pad the header to it.
        const int headerSeptets = int((udhOctets * 8 + 6) / 7);
        if (udl < headerSeptets)
            return fail(QStringLiteral("the user data length %1 septets is shorter than its header (%2 septets)")
                            .arg(udl)
                            .arg(headerSeptets));
        const int count = udl - headerSeptets;
        const QByteArray septets = Gsm7::unpack(ud.mid(udhOctets), count, int(headerSeptets * 7 - udhOctets * 8));
        if (septets.size() != count)
            return fail(QStringLiteral("the user data holds %1 of %2 septets").arg(septets.size()).arg(count));
        const QString text = Gsm7::decode(septets);
        add(key, text, text);
        break;
    }
    case Alphabet::Data8: {
        const QByteArray body = ud.mid(udhOctets);
        add(key, hexOf(body), QStringLiteral("%1 of data: %2").arg(octetCount(body.size()), hexOf(body)));
        break;
    }
    case Alphabet::Ucs2: {
        const QByteArray body = ud.mid(udhOctets);
        if (body.size() % 2)
            return fail(QStringLiteral("the UCS2 text has an odd number of octets (%1)").arg(body.size()));
        QString text;
        text.reserve(body.size() / 2);
        for (qsizetype i = 0; i < body.size(); i += 2)
            text.append(QChar(char16_t(quint8(body.at(i)) << 8 | quint8(body.at(i + 1)))));
        for (qsizetype i = 0; i < text.size(); ++i) {
            const bool paired = text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
            if (paired)
                ++i;
            else if (text.at(i).isSurrogate())
                return fail(QStringLiteral("the UCS2 text has a lone surrogate 0x%1 at unit %2")
                                .arg(text.at(i).unicode(), 4, 16, QChar(u'0'))
                                .arg(i + 1));
        }
        add(key, text, text);
        break;
    }
    }
    return true;
}

void PduDecoder::statusReportTail()
{
    // Optional: a parameter indicator, then what it says is present.
    if (m_pos == m_pdu.size())
        return;
    const int indicator = octet();
    for (int more = indicator; more & 0x80;) {
        if (!need(1, QStringLiteral("parameter indicator")))
            return;
        more = octet();
    }
    if ((indicator & 1) && !protocolId())
        return;
    if ((indicator & 2) && !codingScheme())
        return;
    if (indicator & 4)
        userData(quint8(m_pdu.at(m_tpduStart)) & 0x40);
}

void PduDecoder::run(int tpduLength)
{
    if (!serviceCentre())
        return;
    m_tpduStart = m_pos;
    const qsizetype tpdu = m_pdu.size() - m_pos;
    if (tpduLength >= 0 && tpdu < tpduLength)
        fail(QStringLiteral("the PDU ends after %1 of %2 octets of the TPDU").arg(tpdu).arg(tpduLength));
    else if (tpduLength >= 0 && tpdu > tpduLength)
        fail(QStringLiteral("the TPDU has %1 octets, the header line says %2").arg(tpdu).arg(tpduLength));
    if (!need(1, QStringLiteral("first octet")))
        return;
    const int first = octet();
    const int mti = first & 3;
    if (mti == 3) {
        fail(QStringLiteral("the message type indicator 11 is reserved"));
        return;
    }
    static const char *const names[] = {"SMS-DELIVER", "SMS-SUBMIT", "SMS-STATUS-REPORT"};
    static const char *const roles[] = {"a received message", "a message to send", "a delivery report"};
    const QString name = QLatin1String(names[mti]);
    m_out.title = QStringLiteral("SMS PDU (") + name + u')';
    add(QStringLiteral("pdu_type"), name, name + QStringLiteral(": ") + QLatin1String(roles[mti]));

    QStringList flags;
    const bool udhi = first & 0x40;
    if (mti == 1) {
        static const char *const formats[] = {"no validity period", "enhanced validity period",
                                              "relative validity period", "absolute validity period"};
        if (first & 0x04)
            flags << QStringLiteral("reject duplicates");
        flags << QLatin1String(formats[(first >> 3) & 3]);
        if (first & 0x20)
            flags << QStringLiteral("status report requested");
    } else {
        flags << ((first & 0x04) ? QStringLiteral("no more messages waiting")
                                 : QStringLiteral("more messages waiting"));
        if (first & 0x08)
            flags << QStringLiteral("loop prevention");
        if (first & 0x20)
            flags << (mti == 0 ? QStringLiteral("status report will be returned")
                               : QStringLiteral("reports an SMS-COMMAND"));
    }
    if (udhi)
        flags << QStringLiteral("user data header");
    if ((first & 0x80) && mti != 2)
        flags << QStringLiteral("reply path");
    addNumber(QStringLiteral("first_octet"), first, hexOctet(first) + QStringLiteral(": ") + flags.join(QStringLiteral(", ")));

    auto messageReference = [this] {
        if (!need(1, QStringLiteral("message reference")))
            return false;
        const int mr = octet();
        addNumber(QStringLiteral("message_ref"), mr, QString::number(mr));
        return true;
    };
    bool ok = true;
    switch (mti) {
    case 0:
        ok = address(QStringLiteral("sender"), QStringLiteral("originating address")) && protocolId()
             && codingScheme() && stamp(QStringLiteral("timestamp"), QStringLiteral("service-centre time stamp"))
             && userData(udhi);
        break;
    case 1:
        ok = messageReference() && address(QStringLiteral("destination"), QStringLiteral("destination address"))
             && protocolId() && codingScheme() && validity((first >> 3) & 3) && userData(udhi);
        break;
    case 2:
        ok = messageReference() && address(QStringLiteral("recipient"), QStringLiteral("recipient address"))
             && stamp(QStringLiteral("timestamp"), QStringLiteral("service-centre time stamp"))
             && stamp(QStringLiteral("discharge_time"), QStringLiteral("discharge time"));
        if (ok && need(1, QStringLiteral("status"))) {
            const int st = octet();
            addNumber(QStringLiteral("status"), st, hexOctet(st) + QStringLiteral(": ") + statusWords(st));
            statusReportTail();
        }
        break;
    }
    if (ok && m_pos < m_pdu.size())
        fail(octetCount(m_pdu.size() - m_pos) + QStringLiteral(" after the end of the message"));
}

} // namespace

Decoded DecodeSmsPdu(QByteArrayView hexText, int tpduLength)
{
    Decoded out;
    out.title = QStringLiteral("SMS PDU");
    const QByteArrayView text = hexText.trimmed();
    if (text.isEmpty()) {
        out.problem = QStringLiteral("there is no PDU: the text is empty");
        return out;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            out.problem = QStringLiteral("character %1 (0x%2) is not a hex digit")
                              .arg(i + 1)
                              .arg(quint8(c), 2, 16, QChar(u'0'));
            return out;
        }
    }
    if (text.size() % 2) {
        out.problem = QStringLiteral("the PDU has an odd number of hex digits (%1)").arg(text.size());
        return out;
    }
    const QByteArray pdu = QByteArray::fromHex(text.toByteArray());
    PduDecoder(pdu, out).run(tpduLength);
    return out;
}
