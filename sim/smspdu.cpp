#include "smspdu.h"

#include "atinfo/gsm7.h"

#include <QList>

#include <algorithm>

namespace SmsPdu {

namespace {

constexpr int kMaxSeptets = 160;
constexpr int kMaxOctets = 140;

char hexDigit(int v)
{
    return "0123456789ABCDEF"[v & 0xF];
}

// Semi-octets of a dialling string, low nibble first, padded with F. (The
// terminal's own SMS code has its encoder; this one stays apart, so that
// the round trips between the two check each against the other.)
QByteArray semiOctets(const QString &digits)
{
    QByteArray out;
    int pending = -1;
    for (QChar c : digits) {
        int v = 0xF;
        if (c.isDigit())
            v = c.digitValue();
        else if (c == u'*')
            v = 0xA;
        else if (c == u'#')
            v = 0xB;
        if (pending < 0) {
            pending = v;
        } else {
            out.append(char(pending | (v << 4)));
            pending = -1;
        }
    }
    if (pending >= 0)
        out.append(char(pending | 0xF0));
    return out;
}

QString digitsFrom(const QByteArray &octets, int count)
{
    QString out;
    for (int i = 0; i < count; ++i) {
        const int byte = quint8(octets.at(i / 2));
        const int v = (i % 2 == 0) ? (byte & 0xF) : (byte >> 4);
        if (v <= 9)
            out.append(QChar(u'0' + v));
        else if (v == 0xA)
            out.append(u'*');
        else if (v == 0xB)
            out.append(u'#');
        else if (v == 0xF)
            break;
        else
            out.append(QChar(u'a' + (v - 0xC)));
    }
    return out;
}

QString numberFrom(int type, const QString &digits)
{
    return (type & 0x70) == 0x10 ? u'+' + digits : digits;
}

// Seven octets: year, month, day, hour, minute, second, zone, each as two
// swapped decimal digits; the zone's sign is bit 3.
QByteArray encodeTimestamp(const QString &stamp)
{
    QList<int> fields;
    int value = -1;
    bool negative = false;
    for (QChar c : stamp) {
        if (c.isDigit()) {
            value = (value < 0 ? 0 : value * 10) + c.digitValue();
            continue;
        }
        if (value >= 0)
            fields.append(value);
        value = -1;
        if (c == u'-' && fields.size() == 6)
            negative = true;
    }
    if (value >= 0)
        fields.append(value);
    fields.resize(7, 0);
    QByteArray out;
    for (int i = 0; i < 7; ++i) {
        const int v = fields.at(i) % 100;
        int octet = (v / 10) | ((v % 10) << 4);
        if (i == 6 && negative)
            octet |= 0x08;
        out.append(char(octet));
    }
    return out;
}

class Reader
{
public:
    explicit Reader(const QByteArray &data) : m_data(data) {}
    bool ok() const { return m_ok; }
    qsizetype remaining() const { return m_data.size() - m_pos; }
    int octet()
    {
        if (m_pos >= m_data.size()) {
            m_ok = false;
            return 0;
        }
        return quint8(m_data.at(m_pos++));
    }
    QByteArray take(qsizetype n)
    {
        if (n < 0 || n > remaining()) {
            m_ok = false;
            return {};
        }
        const QByteArray out = m_data.mid(m_pos, n);
        m_pos += n;
        return out;
    }

private:
    const QByteArray &m_data;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

} // namespace

Alphabet alphabetOf(quint8 dcs)
{
    const int group = dcs >> 4;
    if (group <= 7) {
        switch ((dcs >> 2) & 3) {
        case 0: return Alphabet::Gsm7;
        case 2: return Alphabet::Ucs2;
        default: return Alphabet::Data8;
        }
    }
    if (group == 0xE)
        return Alphabet::Ucs2;
    if (group == 0xF)
        return (dcs & 0x04) ? Alphabet::Data8 : Alphabet::Gsm7;
    return Alphabet::Gsm7;
}

QByteArray toGsm7(const QString &text, bool *exact)
{
    return Gsm7::encode(text, exact);
}

QString fromGsm7(const QByteArray &septets)
{
    return Gsm7::decode(septets);
}

bool fitsGsm7(const QString &text)
{
    return Gsm7::fits(text);
}

QByteArray packSeptets(const QByteArray &septets, int fillBits)
{
    return Gsm7::pack(septets, fillBits);
}

QByteArray unpackSeptets(const QByteArray &packed, int count, int fillBits)
{
    return Gsm7::unpack(packed, count, fillBits);
}

QString fitOneMessage(const QString &text)
{
    if (fitsGsm7(text)) {
        QString out;
        int septets = 0;
        for (char32_t cp : text.toUcs4()) {
            septets += Gsm7::septetsOf(cp);
            if (septets > kMaxSeptets)
                break;
            out.append(QString::fromUcs4(&cp, 1));
        }
        return out;
    }
    qsizetype n = std::min<qsizetype>(text.size(), kMaxOctets / 2);
    if (n < text.size() && n > 0 && text.at(n - 1).isHighSurrogate())
        --n;
    return text.left(n);
}

int addressType(const QString &number)
{
    return number.startsWith(u'+') ? 145 : 129;
}

bool isDiallingNumber(const QString &number)
{
    const QString digits = number.startsWith(u'+') ? number.mid(1) : number;
    if (digits.isEmpty() || digits.size() > 20)
        return false;
    for (QChar c : digits)
        if (!(c.isDigit() && c.unicode() < 0x80) && c != u'*' && c != u'#')
            return false;
    return true;
}

quint8 deliverDcs(const QString &text)
{
    return fitsGsm7(text) ? 0x00 : 0x08;
}

QByteArray encodeDeliver(const Deliver &message, int *tpduLength)
{
    QByteArray smsc(1, '\0');
    if (!message.serviceCentre.isEmpty()) {
        const QString digits = message.serviceCentre.startsWith(u'+') ? message.serviceCentre.mid(1)
                                                                      : message.serviceCentre;
        const QByteArray bcd = semiOctets(digits);
        smsc = QByteArray(1, char(bcd.size() + 1));
        smsc.append(char(addressType(message.serviceCentre)));
        smsc.append(bcd);
    }

    const QString sender = message.sender.startsWith(u'+') ? message.sender.mid(1) : message.sender;
    QByteArray tpdu;
    tpdu.append(char(0x04)); // SMS-DELIVER, no more messages waiting
    tpdu.append(char(sender.size()));
    tpdu.append(char(addressType(message.sender)));
    tpdu.append(semiOctets(sender));
    tpdu.append('\0'); // protocol identifier
    const QString text = fitOneMessage(message.text);
    const quint8 dcs = deliverDcs(text);
    tpdu.append(char(dcs));
    tpdu.append(encodeTimestamp(message.timestamp));
    if (dcs == 0x00) {
        const QByteArray septets = toGsm7(text);
        tpdu.append(char(septets.size()));
        tpdu.append(packSeptets(septets));
    } else {
        QByteArray ud;
        for (QChar c : text) {
            ud.append(char(c.unicode() >> 8));
            ud.append(char(c.unicode() & 0xFF));
        }
        tpdu.append(char(ud.size()));
        tpdu.append(ud);
    }
    if (tpduLength)
        *tpduLength = int(tpdu.size());
    return smsc + tpdu;
}

std::optional<Submit> decodeSubmit(const QByteArray &pdu, int tpduLength)
{
    Submit out;
    Reader r(pdu);
    const int smscLength = r.octet();
    if (smscLength > 11)
        return std::nullopt;
    if (smscLength > 0) {
        const int type = r.octet();
        const QByteArray bcd = r.take(smscLength - 1);
        out.serviceCentre = numberFrom(type, digitsFrom(bcd, int(bcd.size()) * 2));
    }
    if (!r.ok() || r.remaining() != tpduLength)
        return std::nullopt;

    const int first = r.octet();
    if ((first & 0x03) != 0x01)
        return std::nullopt;
    const int validityFormat = (first >> 3) & 0x03;
    const bool hasHeader = first & 0x40;
    out.reference = r.octet();

    const int daDigits = r.octet();
    if (daDigits > 20)
        return std::nullopt;
    out.destinationType = r.octet();
    const QByteArray da = r.take((daDigits + 1) / 2);
    if (!r.ok())
        return std::nullopt;
    if ((out.destinationType & 0x70) == 0x50)
        out.destination = fromGsm7(unpackSeptets(da, daDigits * 4 / 7));
    else
        out.destination = numberFrom(out.destinationType, digitsFrom(da, daDigits));

    out.protocolId = quint8(r.octet());
    out.dcs = quint8(r.octet());
    if (validityFormat == 2)
        r.take(1);
    else if (validityFormat != 0)
        r.take(7);

    const int udl = r.octet();
    const Alphabet alphabet = alphabetOf(out.dcs);
    const qsizetype udOctets = alphabet == Alphabet::Gsm7 ? (udl * 7 + 7) / 8 : udl;
    if (!r.ok() || (alphabet == Alphabet::Gsm7 ? udl > kMaxSeptets : udl > kMaxOctets)
        || r.remaining() != udOctets)
        return std::nullopt;
    const QByteArray ud = r.take(udOctets);

    qsizetype headerOctets = 0;
    if (hasHeader) {
        if (ud.isEmpty() || quint8(ud.at(0)) + 1 > ud.size())
            return std::nullopt;
        headerOctets = quint8(ud.at(0)) + 1;
        out.header = ud.mid(1, headerOctets - 1);
    }

    switch (alphabet) {
    case Alphabet::Gsm7: {
        const int headerSeptets = int((headerOctets * 8 + 6) / 7);
        if (headerSeptets > udl)
            return std::nullopt;
        out.text = fromGsm7(unpackSeptets(ud, udl).mid(headerSeptets));
        break;
    }
    case Alphabet::Ucs2: {
        const QByteArray body = ud.mid(headerOctets);
        if (body.size() % 2 != 0)
            return std::nullopt;
        for (qsizetype i = 0; i < body.size(); i += 2)
            out.text.append(QChar(char16_t((quint8(body.at(i)) << 8) | quint8(body.at(i + 1)))));
        break;
    }
    case Alphabet::Data8:
        for (char c : ud.mid(headerOctets)) {
            out.text.append(QLatin1Char(hexDigit(quint8(c) >> 4)));
            out.text.append(QLatin1Char(hexDigit(quint8(c))));
        }
        break;
    }
    return out;
}

} // namespace SmsPdu
