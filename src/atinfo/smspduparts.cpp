#include "atinfo/smspduparts.h"

#include <QStringList>

namespace SmsPduParts {

Problem semiOctetDigits(const QByteArray &octets, int count, QString *digits)
{
    digits->clear();
    if (count > octets.size() * 2)
        return QStringLiteral("%1 digits do not fit %2 octets").arg(count).arg(octets.size());
    for (int i = 0; i < count; ++i) {
        const int byte = quint8(octets.at(i / 2));
        const int v = (i % 2 == 0) ? (byte & 0xF) : (byte >> 4);
        if (v <= 9)
            digits->append(QChar(u'0' + v));
        else if (v == 0xA)
            digits->append(u'*');
        else if (v == 0xB)
            digits->append(u'#');
        else if (v == 0xF)
            return QStringLiteral("digit %1 of %2 is the filler F").arg(i + 1).arg(count);
        else
            digits->append(QChar(u'a' + (v - 0xC)));
    }
    return {};
}

QByteArray semiOctetsOf(const QString &number)
{
    const QString digits = number.startsWith(u'+') ? number.mid(1) : number;
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

bool isDiallingString(const QString &number)
{
    const QString digits = number.startsWith(u'+') ? number.mid(1) : number;
    if (digits.isEmpty() || digits.size() > 20)
        return false;
    for (QChar c : digits)
        if (!(c >= u'0' && c <= u'9') && c != u'*' && c != u'#')
            return false;
    return true;
}

QString typeOfNumberWords(int typeOfAddress)
{
    switch ((typeOfAddress >> 4) & 7) {
    case 0: return QStringLiteral("unknown type");
    case 1: return QStringLiteral("international");
    case 2: return QStringLiteral("national");
    case 3: return QStringLiteral("network specific");
    case 4: return QStringLiteral("subscriber number");
    case 5: return QStringLiteral("alphanumeric");
    case 6: return QStringLiteral("abbreviated");
    default: return QStringLiteral("reserved type");
    }
}

namespace {

// Two swapped decimal digits; false when a nibble is over 9.
bool bcdPair(int octet, int *value)
{
    const int tens = octet & 0xF;
    const int units = octet >> 4;
    if (tens > 9 || units > 9)
        return false;
    *value = tens * 10 + units;
    return true;
}

QString two(int v)
{
    return QStringLiteral("%1").arg(v, 2, 10, QChar(u'0'));
}

} // namespace

Problem timeStamp(const QByteArray &octets, QString *value, QString *words)
{
    static const char *const names[] = {"year", "month", "day", "hour", "minute", "second"};
    static const int lowest[] = {0, 1, 1, 0, 0, 0};
    static const int highest[] = {99, 12, 31, 23, 59, 59};
    if (octets.size() != 7)
        return QStringLiteral("a time stamp is 7 octets, not %1").arg(octets.size());
    int f[6] = {};
    for (int i = 0; i < 6; ++i) {
        const int octet = quint8(octets.at(i));
        if (!bcdPair(octet, &f[i]))
            return QStringLiteral("the %1 octet 0x%2 is not two decimal digits")
                .arg(QLatin1String(names[i]))
                .arg(octet, 2, 16, QChar(u'0'));
        if (f[i] < lowest[i] || f[i] > highest[i])
            return QStringLiteral("%1 %2 is out of range %3..%4")
                .arg(QLatin1String(names[i]))
                .arg(f[i])
                .arg(lowest[i])
                .arg(highest[i]);
    }
    // The zone: tens in the low nibble's three lower bits, its bit 3 the
    // sign, units in the high nibble; quarter hours.
    const int zoneOctet = quint8(octets.at(6));
    const int tens = zoneOctet & 0x7;
    const int units = zoneOctet >> 4;
    if (units > 9)
        return QStringLiteral("the time zone octet 0x%1 is not two decimal digits")
            .arg(zoneOctet, 2, 16, QChar(u'0'));
    const int quarters = tens * 10 + units;
    const QChar sign = (zoneOctet & 0x08) ? u'-' : u'+';
    *value = QStringLiteral("%1/%2/%3 %4:%5:%6 %7%8")
                 .arg(two(f[0]), two(f[1]), two(f[2]), two(f[3]), two(f[4]), two(f[5]))
                 .arg(sign)
                 .arg(two(quarters));
    *words = *value
             + QStringLiteral(" (UTC%1%2:%3)").arg(sign).arg(two(quarters / 4)).arg(two(quarters % 4 * 15));
    return {};
}

qint64 relativeValiditySeconds(int vp)
{
    if (vp <= 143)
        return qint64(vp + 1) * 5 * 60;
    if (vp <= 167)
        return 12 * 3600 + qint64(vp - 143) * 30 * 60;
    if (vp <= 196)
        return qint64(vp - 166) * 86400;
    return qint64(vp - 192) * 7 * 86400;
}

QString durationWords(qint64 seconds)
{
    auto unit = [](qint64 n, const char *name) {
        return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(name)).arg(n == 1 ? "" : "s");
    };
    if (seconds == 0)
        return QStringLiteral("0 seconds");
    if (seconds % (7 * 86400) == 0)
        return unit(seconds / (7 * 86400), "week");
    if (seconds % 86400 == 0)
        return unit(seconds / 86400, "day");
    QStringList parts;
    if (seconds >= 3600)
        parts << unit(seconds / 3600, "hour");
    if (seconds % 3600 >= 60)
        parts << unit(seconds % 3600 / 60, "minute");
    if (seconds % 60)
        parts << unit(seconds % 60, "second");
    return parts.join(u' ');
}

int relativeValidityOctet(int minutes)
{
    auto up = [](int n, int d) { return (n + d - 1) / d; };
    if (minutes <= 5)
        return 0;
    if (minutes <= 720)
        return up(minutes, 5) - 1;
    if (minutes <= 1440)
        return 143 + up(minutes - 720, 30);
    if (minutes <= 30 * 1440)
        return 166 + up(minutes, 1440);
    return qMin(192 + up(minutes, 7 * 1440), 255);
}

QString protocolIdWords(int pid)
{
    switch (pid >> 6) {
    case 0:
        if (!(pid & 0x20))
            return pid == 0 ? QStringLiteral("short message, no interworking")
                            : QStringLiteral("SME-to-SME protocol 0x%1").arg(pid & 0x1F, 2, 16, QChar(u'0'));
        switch (pid & 0x1F) {
        case 0x00: return QStringLiteral("telematic interworking: implicit");
        case 0x01: return QStringLiteral("telematic interworking: telex");
        case 0x02: return QStringLiteral("telematic interworking: group 3 telefax");
        case 0x03: return QStringLiteral("telematic interworking: group 4 telefax");
        case 0x04: return QStringLiteral("telematic interworking: voice telephone");
        case 0x05: return QStringLiteral("telematic interworking: ERMES");
        case 0x06: return QStringLiteral("telematic interworking: national paging system");
        case 0x07: return QStringLiteral("telematic interworking: Videotex");
        case 0x11: return QStringLiteral("telematic interworking: X.400");
        case 0x12: return QStringLiteral("telematic interworking: Internet e-mail");
        default: return QStringLiteral("telematic interworking: device 0x%1").arg(pid & 0x1F, 2, 16, QChar(u'0'));
        }
    case 1:
        if (pid == 0x40)
            return QStringLiteral("short message type 0");
        if (pid >= 0x41 && pid <= 0x47)
            return QStringLiteral("replace short message type %1").arg(pid - 0x40);
        switch (pid) {
        case 0x48: return QStringLiteral("device triggering short message");
        case 0x5E: return QStringLiteral("Enhanced Message Service (obsolete)");
        case 0x5F: return QStringLiteral("return call message");
        case 0x7C: return QStringLiteral("ANSI-136 R-DATA");
        case 0x7D: return QStringLiteral("ME data download");
        case 0x7E: return QStringLiteral("ME de-personalization short message");
        case 0x7F: return QStringLiteral("(U)SIM data download");
        default: return QStringLiteral("reserved");
        }
    case 2:
        return QStringLiteral("reserved");
    default:
        return QStringLiteral("service-centre specific use");
    }
}

QString statusWords(int st)
{
    switch (st) {
    case 0x00: return QStringLiteral("received by the recipient");
    case 0x01: return QStringLiteral("forwarded to the recipient, delivery not confirmed");
    case 0x02: return QStringLiteral("replaced by the service centre");
    case 0x20: return QStringLiteral("congestion, still trying");
    case 0x21: return QStringLiteral("recipient busy, still trying");
    case 0x22: return QStringLiteral("no response from the recipient, still trying");
    case 0x23: return QStringLiteral("service rejected, still trying");
    case 0x24: return QStringLiteral("quality of service not available, still trying");
    case 0x25: return QStringLiteral("error in the recipient, still trying");
    case 0x40: return QStringLiteral("remote procedure error, given up");
    case 0x41: return QStringLiteral("incompatible destination, given up");
    case 0x42: return QStringLiteral("connection rejected by the recipient, given up");
    case 0x43: return QStringLiteral("not obtainable, given up");
    case 0x44: return QStringLiteral("quality of service not available, given up");
    case 0x45: return QStringLiteral("no interworking available, given up");
    case 0x46: return QStringLiteral("validity period expired, given up");
    case 0x47: return QStringLiteral("deleted by the sender, given up");
    case 0x48: return QStringLiteral("deleted by the service centre, given up");
    case 0x49: return QStringLiteral("message does not exist, given up");
    case 0x60: return QStringLiteral("congestion, no more attempts");
    case 0x61: return QStringLiteral("recipient busy, no more attempts");
    case 0x62: return QStringLiteral("no response from the recipient, no more attempts");
    case 0x63: return QStringLiteral("service rejected, no more attempts");
    case 0x64: return QStringLiteral("quality of service not available, no more attempts");
    case 0x65: return QStringLiteral("error in the recipient, no more attempts");
    default: break;
    }
    const bool specific = (st & 0x70) == 0x10 || (st & 0x70) == 0x30 || (st & 0x70) == 0x50
                          || (st & 0x70) == 0x70;
    if (st < 0x80 && specific) {
        static const char *const kinds[] = {"delivered", "still trying", "given up", "no more attempts"};
        return QStringLiteral("service-centre specific (%1)").arg(QLatin1String(kinds[(st >> 5) & 3]));
    }
    return QStringLiteral("reserved");
}

Coding codingOf(int dcs)
{
    Coding c;
    const int group = dcs >> 4;
    if (group <= 7) {
        c.compressed = dcs & 0x20;
        if (dcs & 0x10)
            c.messageClass = dcs & 3;
        QString alphabet;
        switch ((dcs >> 2) & 3) {
        case 0: c.alphabet = Alphabet::Gsm7; break;
        case 1: c.alphabet = Alphabet::Data8; break;
        case 2: c.alphabet = Alphabet::Ucs2; break;
        default: alphabet = QStringLiteral(", reserved alphabet read as GSM 7-bit"); break;
        }
        c.words = (group >= 4 ? QStringLiteral("general data coding, marked for automatic deletion")
                              : QStringLiteral("general data coding"))
                  + alphabet + (c.compressed ? QStringLiteral(", compressed") : QString());
        return c;
    }
    if (group >= 0xC && group <= 0xE) {
        static const char *const kinds[] = {"voicemail", "fax", "e-mail", "other"};
        c.alphabet = group == 0xE ? Alphabet::Ucs2 : Alphabet::Gsm7;
        c.words = QStringLiteral("message waiting, %1: %2 %3")
                      .arg(group == 0xC ? QStringLiteral("discard message") : QStringLiteral("store message"))
                      .arg(QLatin1String(kinds[dcs & 3]))
                      .arg((dcs & 0x08) ? QStringLiteral("waiting") : QStringLiteral("no longer waiting"));
        return c;
    }
    if (group == 0xF) {
        c.alphabet = (dcs & 0x04) ? Alphabet::Data8 : Alphabet::Gsm7;
        c.messageClass = dcs & 3;
        c.words = QStringLiteral("data coding and message class");
        return c;
    }
    c.words = QStringLiteral("reserved coding group, read as GSM 7-bit");
    return c;
}

QString alphabetKey(Alphabet alphabet)
{
    switch (alphabet) {
    case Alphabet::Gsm7: return QStringLiteral("gsm7");
    case Alphabet::Data8: return QStringLiteral("8bit");
    case Alphabet::Ucs2: return QStringLiteral("ucs2");
    }
    return {};
}

QString alphabetWords(Alphabet alphabet)
{
    switch (alphabet) {
    case Alphabet::Gsm7: return QStringLiteral("GSM 7-bit default alphabet");
    case Alphabet::Data8: return QStringLiteral("8-bit data");
    case Alphabet::Ucs2: return QStringLiteral("UCS2 (UTF-16)");
    }
    return {};
}

QString messageClassWords(int messageClass)
{
    static const char *const kinds[] = {"flash, shown at once", "for the phone", "for the SIM",
                                        "for the terminal"};
    return QStringLiteral("class %1 (%2)").arg(messageClass).arg(QLatin1String(kinds[messageClass & 3]));
}

} // namespace SmsPduParts
