// General commands: identification, +CPIN, +CFUN, +CMEE, +CSCS, +CLAC, +CCLK, +CBC, +QSIMURC.
#include "simmoduleimpl.h"

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>
#include <cctype>
#include <cstdlib>

using namespace SimInternal;

namespace {

// Unit 0's identity; other units add their number to the serial part.
// The IMEI and the ICCID are followed by their Luhn check digit.
constexpr char kImeiBody[] = "86412503417925"; // TAC 86412503, serial 417925
constexpr int kImeiSerialDigits = 6;
constexpr char kIccidBody[] = "8986009912345678901";
constexpr int kIccidSerialDigits = 10;
constexpr char kImsi[] = "460990123456789"; // MCC 460, MNC 99, MSIN
constexpr int kImsiSerialDigits = 10;

// base with n added to its last `digits` digits, modulo 10^digits.
QByteArray withSerial(const char *base, int digits, int n)
{
    QByteArray s(base);
    qint64 mod = 1;
    for (int i = 0; i < digits; ++i)
        mod *= 10;
    const qint64 serial = (s.right(digits).toLongLong() + n) % mod;
    return s.left(s.size() - digits) + QByteArray::number(serial).rightJustified(digits, '0');
}

QByteArray withLuhn(const QByteArray &digits)
{
    int sum = 0;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        int d = digits[digits.size() - 1 - i] - '0';
        if (i % 2 == 0 && (d *= 2) > 9)
            d -= 9;
        sum += d;
    }
    return digits + char('0' + (10 - sum % 10) % 10);
}

constexpr int kMaxZoneQuarters = 56; // UTC+14
constexpr int kMinZoneQuarters = -48;

// The host's offset from UTC in quarter hours.
int hostZone()
{
    return QDateTime::currentDateTime().offsetFromUtc() / 900;
}

} // namespace

QByteArray SimulatedModule::Impl::imei() const
{
    return withLuhn(withSerial(kImeiBody, kImeiSerialDigits, unit));
}

QByteArray SimulatedModule::Impl::iccid() const
{
    return withLuhn(withSerial(kIccidBody, kIccidSerialDigits, unit));
}

QByteArray SimulatedModule::Impl::imsi() const
{
    return withSerial(kImsi, kImsiSerialDigits, unit);
}

Result SimulatedModule::Impl::numberSetting(Command &c, int &value, int max, const char *range, bool sms)
{
    switch (c.form) {
    case Form::Read:
        c.info << c.name + ": " + number(value);
        return ok();
    case Form::Test:
        c.info << c.name + ": " + range;
        return ok();
    case Form::Set: {
        const auto v = c.params.size() == 1 ? toInt(c.params[0]) : std::nullopt;
        if (!v || *v > max)
            return sms ? smsParamError() : cme(kCmeIncorrectParameters);
        value = *v;
        return ok();
    }
    case Form::Exec:
        break;
    }
    return error();
}

Result SimulatedModule::Impl::cmdIdentification(Command &c)
{
    if (c.form == Form::Test)
        return ok();
    if (c.form != Form::Exec)
        return error();
    const QByteArray &n = c.name;
    if (n == "+CGMI" || n == "+GMI")
        c.info << kManufacturer;
    else if (n == "+CGMM" || n == "+GMM")
        c.info << kModel;
    else if (n == "+CGMR" || n == "+GMR")
        c.info << QByteArray("Revision: ") + kRevision;
    else if (n == "+CGSN" || n == "+GSN")
        c.info << imei();
    else if (n == "+CIMI")
        c.info << imsi();
    else if (n == "+CCID")
        c.info << "+CCID: " + iccid();
    else
        c.info << "+GCAP: +CGSM";
    return ok();
}

Result SimulatedModule::Impl::cmdCpin(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CPIN: READY";
        return ok();
    case Form::Test:
        return ok();
    case Form::Set:
        return cme(kCmeNotAllowed); // no PIN is asked for
    case Form::Exec:
        break;
    }
    return error();
}

Result SimulatedModule::Impl::cmdCfun(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CFUN: " + number(cfun);
        return ok();
    case Form::Test:
        c.info << "+CFUN: (0,1,4),(0,1)";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    const auto fun = toInt(c.params[0]);
    const auto reset = optionalInt(c.params, 1, 0);
    if (!fun || (*fun != 0 && *fun != 1 && *fun != 4) || !reset || *reset > 1 || c.params.size() > 2)
        return cme(kCmeIncorrectParameters);
    if (*reset == 1) {
        settings = profile;
        copsMode = 0;
        resetAsked = true;
    }
    cfun = *fun;
    return ok();
}

Result SimulatedModule::Impl::cmdCscs(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CSCS: " + quoted(settings.cscs);
        return ok();
    case Form::Test:
        c.info << "+CSCS: (\"GSM\",\"IRA\",\"UCS2\")";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    if (c.params.size() != 1 || !c.params[0].quoted)
        return cme(kCmeIncorrectParameters);
    const QByteArray set = c.params[0].text.toUpper();
    if (set != "GSM" && set != "IRA" && set != "UCS2")
        return cme(kCmeIncorrectParameters);
    settings.cscs = set;
    return ok();
}

Result SimulatedModule::Impl::cmdClac(Command &c)
{
    if (c.form == Form::Test)
        return ok();
    if (c.form != Form::Exec)
        return error();
    c.info << "AT&F" << "AT&W" << "ATE" << "ATH" << "ATI" << "ATQ" << "ATS" << "ATV" << "ATZ";
    QList<QByteArray> names = handlers().keys();
    std::sort(names.begin(), names.end());
    for (const QByteArray &name : names)
        c.info << "AT" + name;
    return ok();
}

Result SimulatedModule::Impl::cmdCclk(Command &c)
{
    switch (c.form) {
    case Form::Read: {
        const int zone = clockZone.value_or(hostZone());
        const QDateTime now = QDateTime::currentDateTimeUtc().addMSecs(clockOffsetMs).addSecs(zone * 900);
        c.info << "+CCLK: \"" + now.toString(QStringLiteral("yy/MM/dd,HH:mm:ss")).toLatin1()
                + (zone < 0 ? '-' : '+') + number(std::abs(zone)).rightJustified(2, '0') + '"';
        return ok();
    }
    case Form::Test:
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    // "yy/MM/dd,hh:mm:ss" and, optionally, the zone "±zz" in quarter hours.
    const QByteArray &t = c.params[0].text;
    bool valid = c.params.size() == 1 && c.params[0].quoted && (t.size() == 17 || t.size() == 20);
    for (qsizetype i = 0; valid && i < t.size(); ++i) {
        const char expected = "00/00/00,00:00:00+00"[i];
        valid = expected == '0' ? std::isdigit(quint8(t[i])) != 0
                : expected == '+' ? t[i] == '+' || t[i] == '-'
                                  : t[i] == expected;
    }
    if (!valid)
        return cme(kCmeIncorrectParameters);
    const auto field = [&t](int i) { return t.mid(i * 3, 2).toInt(); };
    const QDate date(2000 + field(0), field(1), field(2));
    const QTime time(field(3), field(4), field(5));
    const int zone = t.size() == 20 ? (t[17] == '-' ? -1 : 1) * t.mid(18).toInt()
                                    : clockZone.value_or(hostZone());
    if (!date.isValid() || !time.isValid() || zone < kMinZoneQuarters || zone > kMaxZoneQuarters)
        return cme(kCmeIncorrectParameters);
    const QDateTime set(date, time, QTimeZone::utc());
    clockOffsetMs = QDateTime::currentDateTimeUtc().msecsTo(set.addSecs(-zone * 900));
    clockZone = zone;
    return ok();
}

Result SimulatedModule::Impl::cmdCbc(Command &c)
{
    if (c.form == Form::Test)
        c.info << "+CBC: (0-3),(0-100)";
    else if (c.form == Form::Exec)
        c.info << "+CBC: 0,85,3987"; // on battery, 85 %, 3987 mV
    else
        return error();
    return ok();
}

Result SimulatedModule::Impl::cmdQsimurc(Command &c)
{
    static constexpr int kMaxDelayMs = 600000;
    if (c.form == Form::Test) {
        c.info << "+QSIMURC: (0-" + number(kMaxDelayMs) + "),\"text\"";
        return ok();
    }
    if (c.form != Form::Set || c.params.size() != 2 || !c.params[1].quoted)
        return error();
    const auto delay = toInt(c.params[0]);
    if (!delay || *delay > kMaxDelayMs)
        return error();
    // "\XX" (two hex digits) stands for that byte, as in 27.007 strings, so
    // that the text can hold quotes: "+CMTI: \22SM\22,3".
    const QByteArray &given = c.params[1].text;
    QByteArray text;
    for (qsizetype i = 0; i < given.size(); ++i) {
        const bool hex = i + 2 < given.size() && given[i] == '\\' && std::isxdigit(quint8(given[i + 1]))
                         && std::isxdigit(quint8(given[i + 2]));
        if (hex) {
            text.append(char(given.mid(i + 1, 2).toInt(nullptr, 16)));
            i += 2;
        } else {
            text.append(given[i]);
        }
    }
    scheduled.append({*delay, lineEnd() + text + lineEnd()});
    return ok();
}
