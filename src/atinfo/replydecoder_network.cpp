// Decoders of the network's answers: signal quality, registration, operator,
// functionality, PIN state, packet data contexts, clock and battery.

#include "atinfo/replydecoder_p.h"

namespace ReplyDecoding {
namespace {

const QString kNotKnown = QStringLiteral("not known or not detectable");

// RXQUAL classes of TS 45.008 8.2.4 as the bit error rates they stand for.
const char *const kRxqual[] = {"BER below 0.2 %",       "BER 0.2 % to 0.4 %",  "BER 0.4 % to 0.8 %",
                               "BER 0.8 % to 1.6 %",    "BER 1.6 % to 3.2 %",  "BER 3.2 % to 6.4 %",
                               "BER 6.4 % to 12.8 %",   "BER above 12.8 %"};

bool Ber(Fields &f, const Param &param)
{
    qint64 ber = 0;
    if (!f.Number(param, QStringLiteral("ber"), 0, 7, &ber, {99}))
        return false;
    if (ber == 99)
        f.Add(QStringLiteral("ber"), QVariant(), QStringLiteral("99: ") + kNotKnown);
    else
        f.Add(QStringLiteral("ber"), ber, QStringLiteral("RXQUAL %1: %2").arg(ber).arg(QLatin1String(kRxqual[ber])));
    return true;
}

void DecodeCsq(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Signal quality (+CSQ)");
    Fields f(d);
    if (p.size() != 2) {
        f.Fail(QStringLiteral("+CSQ has %1 parameters, not 2 (<rssi>,<ber>)").arg(p.size()));
        return;
    }
    qint64 rssi = 0;
    if (!f.Number(p[0], QStringLiteral("rssi"), 0, 31, &rssi, {99}))
        return;
    if (rssi == 99) {
        f.Add(QStringLiteral("rssi"), QVariant(), QStringLiteral("99: ") + kNotKnown);
        f.Add(QStringLiteral("rssi_dbm"), QVariant(), kNotKnown);
    } else {
        const qint64 dbm = -113 + 2 * rssi;
        f.Add(QStringLiteral("rssi"), rssi, QString::number(rssi));
        f.Add(QStringLiteral("rssi_dbm"), dbm,
              rssi == 0 ? QStringLiteral("-113 dBm or less")
                        : rssi == 31 ? QStringLiteral("-51 dBm or greater") : QStringLiteral("%1 dBm").arg(dbm));
    }
    Ber(f, p[1]);
}

// One +CESQ measurement: code 0 is "below" the lowest edge, code `top` "at
// or above" the highest, the codes between steps of `step` from `edge`.
bool Measurement(Fields &f, const Param &param, const QString &key, qint64 top, qint64 unknown, double edge,
                 double step, const char *unit)
{
    qint64 code = 0;
    if (!f.Number(param, key, 0, top, &code, {unknown}))
        return false;
    if (code == unknown) {
        f.Add(key, QVariant(), QStringLiteral("%1: %2").arg(unknown).arg(kNotKnown));
        return true;
    }
    const double low = edge + step * double(code - 1);
    QString text;
    if (code == 0)
        text = QStringLiteral("below %1 %2").arg(edge).arg(QLatin1String(unit));
    else if (code == top)
        text = QStringLiteral("%1 %2 or greater").arg(low).arg(QLatin1String(unit));
    else
        text = QStringLiteral("%1 to %2 %3").arg(low).arg(low + step).arg(QLatin1String(unit));
    f.Add(key, code, QStringLiteral("%1: %2").arg(code).arg(text));
    return true;
}

void DecodeCesq(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Extended signal quality (+CESQ)");
    Fields f(d);
    if (p.size() < 6) {
        f.Fail(QStringLiteral("+CESQ has %1 parameters, not 6 (<rxlev>,<ber>,<rscp>,<ecno>,<rsrq>,<rsrp>)").arg(p.size()));
        return;
    }
    Measurement(f, p[0], QStringLiteral("rxlev"), 63, 99, -110, 1, "dBm") && Ber(f, p[1])
        && Measurement(f, p[2], QStringLiteral("rscp"), 96, 255, -120, 1, "dBm")
        && Measurement(f, p[3], QStringLiteral("ecno"), 49, 255, -24, 0.5, "dB")
        && Measurement(f, p[4], QStringLiteral("rsrq"), 34, 255, -19.5, 0.5, "dB")
        && Measurement(f, p[5], QStringLiteral("rsrp"), 97, 255, -140, 1, "dBm");
}

struct Registration
{
    const char *name;     // "+CREG"
    const char *title;
    const char *areaKey;  // "lac" or "tac"
    int areaDigits;       // hexadecimal digits of the area code
    int cellDigits;
    bool rac;             // +CGREG: <rac> after <AcT>
    bool nssai;           // +C5GREG: NSSAI length and NSSAI after <AcT>
    bool psmTimers;       // +CEREG: Active-Time and Periodic-TAU after the cause
};

const Registration kRegistrations[] = {
    {"+CREG", "Network registration (+CREG)", "lac", 4, 8, false, false, false},
    {"+CGREG", "GPRS network registration (+CGREG)", "lac", 4, 8, true, false, false},
    {"+CEREG", "EPS network registration (+CEREG)", "tac", 4, 8, false, false, true},
    {"+C5GREG", "5GS network registration (+C5GREG)", "tac", 6, 10, false, true, false},
};

bool AccessTechnology(Fields &f, const Param &param)
{
    qint64 act = 0;
    if (!f.Number(param, QStringLiteral("act"), 0, 255, &act))
        return false;
    const QString words = AtKnowledge::Instance().ValueText(u"+COPS", u"AcT", QString::number(act));
    // Later releases add technologies: a number past the table is kept, not refused.
    f.Add(QStringLiteral("act"), act,
          QStringLiteral("%1: %2").arg(act).arg(words.isEmpty() ? QStringLiteral("not in this table (a later release?)")
                                                                : words));
    return true;
}

void DecodeRegistration(const Registration &r, const QList<Param> &p, const Context &context, Decoded &d)
{
    d.title = QLatin1String(r.title);
    Fields f(d);
    if (p.isEmpty() || (p.size() == 1 && p[0].isEmpty())) {
        f.Fail(QStringLiteral("%1 without <stat>").arg(QLatin1String(r.name)));
        return;
    }
    // The read answer starts with <n>; the unsolicited code with <stat>,
    // then the area code, which is a string.
    bool read = false;
    if (context.name == QLatin1String(r.name) && context.form)
        read = context.form == AtFormKind::Read;
    else
        read = p.size() >= 2 && !p[1].quoted && !p[1].isEmpty();
    qsizetype i = 0;
    if (read && !f.Coded(QStringLiteral("n"), p[i++], r.name, "n", 0, 5))
        return;
    if (i >= p.size()) {
        f.Fail(QStringLiteral("%1 read answer without <stat>").arg(QLatin1String(r.name)));
        return;
    }
    if (!f.Coded(QStringLiteral("stat"), p[i++], "+CREG", "stat", 0, 11))
        return;
    auto optional = [&](const QString &key, auto decode) {
        if (i >= p.size() || f.Failed())
            return;
        const Param &param = p[i++];
        if (param.isEmpty())
            f.Omitted(key);
        else
            decode(key, param);
    };
    const auto hex = [&](int digits) { return [&f, digits](const QString &key, const Param &param) { f.Hex(key, param, digits); }; };
    const auto number = [&f](const QString &key, const Param &param) {
        qint64 value = 0;
        if (f.Number(param, key, 0, 0x7fffffff, &value))
            f.Add(key, value, QString::number(value));
    };
    const auto text = [&f](const QString &key, const Param &param) { f.Text(key, param); };
    optional(QLatin1String(r.areaKey), hex(r.areaDigits));
    optional(QStringLiteral("ci"), hex(r.cellDigits));
    optional(QStringLiteral("act"), [&f](const QString &, const Param &param) { AccessTechnology(f, param); });
    if (r.rac)
        optional(QStringLiteral("rac"), hex(2));
    if (r.nssai) {
        optional(QStringLiteral("allowed_nssai_length"), number);
        optional(QStringLiteral("allowed_nssai"), text);
    }
    optional(QStringLiteral("cause_type"), [&f](const QString &key, const Param &param) {
        f.Coded(key, param, "+CREG", "cause_type", 0, 1);
    });
    optional(QStringLiteral("reject_cause"), number);
    if (r.psmTimers) {
        optional(QStringLiteral("active_time"), text);
        optional(QStringLiteral("periodic_tau"), text);
    }
    if (!f.Failed() && i < p.size())
        f.Fail(QStringLiteral("%1 has %2 parameters, more than the %3 it may have")
                   .arg(QLatin1String(r.name)).arg(p.size()).arg(i));
}

QString OperatorText(const Param &param, qint64 format)
{
    const QString op = QString::fromUtf8(param.text);
    if (format == 2 && (op.size() == 5 || op.size() == 6))
        return QStringLiteral("%1 (MCC %2, MNC %3)").arg(op, op.left(3), op.mid(3));
    return op;
}

void DecodeCops(const QList<Param> &p, const Context &context, Decoded &d)
{
    Fields f(d);
    if (!p.isEmpty() && (p[0].list || context.Is("+COPS", AtFormKind::Test))) {
        // The operators found: (<stat>,long,short,numeric[,<AcT>]) each, then
        // ,,(modes),(formats).
        d.title = QStringLiteral("Operators found (+COPS=?)");
        int entry = 0;
        for (const Param &param : p) {
            if (!param.list)
                break;
            QString problem;
            QByteArray inner = param.text.mid(1, param.text.size() - 2);
            const QList<Param> e = SplitParams(inner, &problem);
            if (!problem.isEmpty()) {
                f.Fail(problem);
                return;
            }
            if (e.size() < 4 || !e[1].quoted)
                break; // the lists of modes and formats
            ++entry;
            const QString n = QString::number(entry);
            if (!f.Coded(QStringLiteral("operator_stat_") + n, e[0], "+COPS", "stat", 0, 3))
                return;
            f.Text(QStringLiteral("operator_") + n, e[1]);
            f.Text(QStringLiteral("operator_short_") + n, e[2]);
            f.Add(QStringLiteral("operator_numeric_") + n, QString::fromLatin1(e[3].text), OperatorText(e[3], 2));
            if (e.size() > 4) {
                qint64 act = 0;
                if (!f.Number(e[4], QStringLiteral("AcT"), 0, 255, &act))
                    return;
                const QString words = AtKnowledge::Instance().ValueText(u"+COPS", u"AcT", QString::number(act));
                f.Add(QStringLiteral("act_") + n, act, QStringLiteral("%1: %2").arg(act).arg(words));
            }
        }
        return;
    }
    d.title = QStringLiteral("Operator selection (+COPS)");
    if (p.isEmpty() || p.size() > 4 || p.size() == 2) {
        f.Fail(QStringLiteral("+COPS has %1 parameters, not <mode>[,<format>,<oper>[,<AcT>]]").arg(p.size()));
        return;
    }
    qint64 format = 0;
    if (!f.Coded(QStringLiteral("mode"), p[0], "+COPS", "mode", 0, 4))
        return;
    if (p.size() == 1)
        return;
    if (!f.Coded(QStringLiteral("format"), p[1], "+COPS", "format", 0, 2, &format))
        return;
    if (!p[2].quoted) {
        f.Fail(QStringLiteral("operator %1 must be a quoted string").arg(QString::fromLatin1(p[2].text.left(40))));
        return;
    }
    f.Add(QStringLiteral("operator"), QString::fromUtf8(p[2].text), OperatorText(p[2], format));
    if (p.size() == 4)
        AccessTechnology(f, p[3]);
}

void DecodeCpin(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("PIN state (+CPIN)");
    Fields f(d);
    if (p.size() != 1 || p[0].isEmpty()) {
        f.Fail(QStringLiteral("+CPIN has %1 parameters, not 1 (<code>)").arg(p.size()));
        return;
    }
    const QString code = QString::fromLatin1(p[0].text);
    const QString words = AtKnowledge::Instance().ValueText(u"+CPIN", u"code", code);
    if (words.isEmpty()) {
        f.Fail(QStringLiteral("+CPIN code \"%1\" is not in TS 27.007 8.3").arg(code.left(40)));
        return;
    }
    f.Add(QStringLiteral("state"), code.toUpper(), QStringLiteral("%1: %2").arg(code.toUpper(), words));
}

void DecodeOneCoded(const char *name, const char *title, const char *key, const char *parameter, qint64 high,
                    const QList<Param> &p, Decoded &d)
{
    d.title = QLatin1String(title);
    Fields f(d);
    if (p.size() < 1 || p[0].isEmpty()) {
        f.Fail(QStringLiteral("%1 without <%2>").arg(QLatin1String(name), QLatin1String(parameter)));
        return;
    }
    f.Coded(QLatin1String(key), p[0], name, parameter, 0, high);
}

void DecodeCgdcont(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("PDP context (+CGDCONT)");
    Fields f(d);
    if (p.size() < 3) {
        f.Fail(QStringLiteral("+CGDCONT has %1 parameters, at least 3 (<cid>,<PDP_type>,<APN>) needed").arg(p.size()));
        return;
    }
    qint64 cid = 0;
    if (!f.Number(p[0], QStringLiteral("cid"), 0, 0x7fffffff, &cid))
        return;
    f.Add(QStringLiteral("cid"), cid, QString::number(cid));
    if (!f.Quoted(QStringLiteral("pdp_type"), p[1]) || !f.Quoted(QStringLiteral("apn"), p[2]))
        return;
    if (p.size() > 3)
        f.Text(QStringLiteral("pdp_addr"), p[3]);
    if (p.size() > 4 && !p[4].isEmpty() && !f.Coded(QStringLiteral("d_comp"), p[4], "+CGDCONT", "d_comp", 0, 3))
        return;
    if (p.size() > 5 && !p[5].isEmpty())
        f.Coded(QStringLiteral("h_comp"), p[5], "+CGDCONT", "h_comp", 0, 4);
}

void DecodeCgact(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("PDP context state (+CGACT)");
    Fields f(d);
    if (p.size() != 2) {
        f.Fail(QStringLiteral("+CGACT has %1 parameters, not 2 (<cid>,<state>)").arg(p.size()));
        return;
    }
    qint64 cid = 0;
    if (!f.Number(p[0], QStringLiteral("cid"), 0, 0x7fffffff, &cid))
        return;
    f.Add(QStringLiteral("cid"), cid, QString::number(cid));
    f.Coded(QStringLiteral("state"), p[1], "+CGACT", "state", 0, 1);
}

void DecodeCgpaddr(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("PDP address (+CGPADDR)");
    Fields f(d);
    qint64 cid = 0;
    if (p.isEmpty() || p.size() > 3 || !f.Number(p[0], QStringLiteral("cid"), 0, 0x7fffffff, &cid)) {
        f.Fail(QStringLiteral("+CGPADDR has %1 parameters, not <cid>[,<PDP_addr_1>[,<PDP_addr_2>]]").arg(p.size()));
        return;
    }
    f.Add(QStringLiteral("cid"), cid, QString::number(cid));
    if (p.size() > 1)
        f.Text(QStringLiteral("pdp_addr"), p[1]);
    if (p.size() > 2)
        f.Text(QStringLiteral("pdp_addr_2"), p[2]);
}

void DecodeCclk(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Clock (+CCLK)");
    Fields f(d);
    if (p.size() != 1 || !p[0].quoted) {
        f.Fail(QStringLiteral("+CCLK takes one quoted \"yy/MM/dd,hh:mm:ss±zz\""));
        return;
    }
    TimeStamp stamp;
    QString problem;
    if (!ParseTimeStamp(p[0].text, &stamp, &problem)) {
        f.Fail(problem);
        return;
    }
    f.Add(QStringLiteral("date"), stamp.date, stamp.date);
    f.Add(QStringLiteral("time"), stamp.time, stamp.time);
    if (stamp.zone)
        f.Add(QStringLiteral("zone"), *stamp.zone,
              QStringLiteral("%1 (%2 quarter hours)").arg(ZoneText(*stamp.zone)).arg(*stamp.zone));
}

void DecodeCbc(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Battery charge (+CBC)");
    Fields f(d);
    if (p.size() < 2 || p.size() > 3) {
        f.Fail(QStringLiteral("+CBC has %1 parameters, not <bcs>,<bcl>[,<voltage>]").arg(p.size()));
        return;
    }
    qint64 bcl = 0, mv = 0;
    if (!f.Coded(QStringLiteral("bcs"), p[0], "+CBC", "bcs", 0, 3)
        || !f.Number(p[1], QStringLiteral("bcl"), 0, 100, &bcl))
        return;
    f.Add(QStringLiteral("bcl"), bcl, QStringLiteral("%1 %").arg(bcl));
    if (p.size() == 3 && f.Number(p[2], QStringLiteral("voltage"), 0, 100000, &mv))
        f.Add(QStringLiteral("voltage_mv"), mv, QStringLiteral("%1 mV").arg(mv));
}

} // namespace

bool DecodeNetworkLine(const QString &name, const QList<Param> &params, const Context &context, Decoded &d)
{
    for (const Registration &r : kRegistrations)
        if (name == QLatin1String(r.name)) {
            DecodeRegistration(r, params, context, d);
            return true;
        }
    if (name == QLatin1String("+CSQ"))
        DecodeCsq(params, d);
    else if (name == QLatin1String("+CESQ"))
        DecodeCesq(params, d);
    else if (name == QLatin1String("+COPS"))
        DecodeCops(params, context, d);
    else if (name == QLatin1String("+CPIN"))
        DecodeCpin(params, d);
    else if (name == QLatin1String("+CFUN"))
        DecodeOneCoded("+CFUN", "Functionality (+CFUN)", "fun", "fun", 127, params, d);
    else if (name == QLatin1String("+CMEE"))
        DecodeOneCoded("+CMEE", "Error reports (+CMEE)", "n", "n", 2, params, d);
    else if (name == QLatin1String("+CGDCONT"))
        DecodeCgdcont(params, d);
    else if (name == QLatin1String("+CGACT"))
        DecodeCgact(params, d);
    else if (name == QLatin1String("+CGPADDR"))
        DecodeCgpaddr(params, d);
    else if (name == QLatin1String("+CCLK"))
        DecodeCclk(params, d);
    else if (name == QLatin1String("+CBC"))
        DecodeCbc(params, d);
    else
        return false;
    return true;
}

} // namespace ReplyDecoding
