// Decoders of the answers about messages and calls: SMS format, service
// centre, stores, message headers in text and PDU mode, new message
// indications, USSD, the caller's number and the list of calls.

#include "atinfo/replydecoder_p.h"

namespace ReplyDecoding {
namespace {

// The words of a type-of-address octet (TS 24.008 10.5.4.7).
QString AddressTypeText(qint64 type)
{
    const QString words = AtKnowledge::Instance().ValueText(u"+CSCA", u"tosca", QString::number(type));
    if (!words.isEmpty())
        return QStringLiteral("%1: %2").arg(type).arg(words);
    return QStringLiteral("%1: type of number %2, numbering plan %3").arg(type).arg((type >> 4) & 7).arg(type & 15);
}

bool AddressType(Fields &f, const QString &key, const Param &param)
{
    qint64 type = 0;
    if (!f.Number(param, key, 128, 255, &type))
        return false;
    f.Add(key, type, AddressTypeText(type));
    return true;
}

void DecodeCsca(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Service centre address (+CSCA)");
    Fields f(d);
    if (p.isEmpty() || p.size() > 2) {
        f.Fail(QStringLiteral("+CSCA has %1 parameters, not <sca>,<tosca>").arg(p.size()));
        return;
    }
    if (!f.Quoted(QStringLiteral("sca"), p[0]))
        return;
    if (p.size() == 2)
        AddressType(f, QStringLiteral("tosca"), p[1]);
}

bool PlainNumber(Fields &f, const QString &key, const Param &param, qint64 high = 0x7fffffff)
{
    qint64 value = 0;
    if (!f.Number(param, key, 0, high, &value))
        return false;
    f.Add(key, value, QString::number(value));
    return true;
}

void DecodeCmti(const QList<Param> &p, Decoded &d, const char *name)
{
    d.title = QStringLiteral("New message stored (%1)").arg(QLatin1String(name));
    Fields f(d);
    if (p.size() != 2) {
        f.Fail(QStringLiteral("%1 has %2 parameters, not 2 (<mem>,<index>)").arg(QLatin1String(name)).arg(p.size()));
        return;
    }
    f.Quoted(QStringLiteral("mem"), p[0]) && PlainNumber(f, QStringLiteral("index"), p[1]);
}

void DecodeCmgs(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Message sent (+CMGS)");
    Fields f(d);
    if (p.isEmpty() || p.size() > 2) {
        f.Fail(QStringLiteral("+CMGS has %1 parameters, not <mr>[,<scts>]").arg(p.size()));
        return;
    }
    if (PlainNumber(f, QStringLiteral("mr"), p[0], 255) && p.size() == 2)
        f.Text(QStringLiteral("scts"), p[1]);
}

void DecodeCpms(const QList<Param> &p, const Context &context, Decoded &d)
{
    d.title = QStringLiteral("Message storage (+CPMS)");
    Fields f(d);
    // The read answer names each store before its counts; the set answer
    // has the counts only.
    const bool named = !p.isEmpty() && p[0].quoted;
    const int per = named ? 3 : 2;
    if (p.isEmpty() || p.size() % per != 0 || p.size() > 3 * per
        || (context.Is("+CPMS", AtFormKind::Read) && !named)) {
        f.Fail(QStringLiteral("+CPMS has %1 parameters, not (<mem>,)<used>,<total> for up to three stores").arg(p.size()));
        return;
    }
    for (qsizetype i = 0, store = 1; i < p.size(); i += per, ++store) {
        const QString n = QString::number(store);
        if (named && !f.Quoted(QStringLiteral("mem") + n, p[i]))
            return;
        if (!PlainNumber(f, QStringLiteral("used") + n, p[i + per - 2])
            || !PlainNumber(f, QStringLiteral("total") + n, p[i + per - 1]))
            return;
    }
}

void DecodeCnmi(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("New message indications (+CNMI)");
    Fields f(d);
    const char *const keys[] = {"mode", "mt", "bm", "ds", "bfr"};
    const qint64 highs[] = {3, 3, 3, 2, 1};
    if (p.isEmpty() || p.size() > 5) {
        f.Fail(QStringLiteral("+CNMI has %1 parameters, not <mode>,<mt>,<bm>,<ds>,<bfr>").arg(p.size()));
        return;
    }
    for (qsizetype i = 0; i < p.size(); ++i)
        if (!f.Coded(QLatin1String(keys[i]), p[i], "+CNMI", keys[i], 0, highs[i]))
            return;
}

// A message's status: a word in text mode, a number in PDU mode.
bool MessageStatus(Fields &f, const Param &param)
{
    static const char *const kWords[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT", "ALL"};
    if (param.quoted) {
        for (int i = 0; i < 5; ++i)
            if (param.text == kWords[i]) {
                f.Add(QStringLiteral("stat"), QString::fromLatin1(kWords[i]),
                      AtKnowledge::Instance().ValueText(u"+CMGR", u"stat", QString::number(i)));
                return true;
            }
        return f.Fail(QStringLiteral("message status \"%1\" is not in TS 27.005 3.1").arg(QString::fromLatin1(param.text.left(40))));
    }
    qint64 stat = 0;
    if (!f.Number(param, QStringLiteral("stat"), 0, 4, &stat))
        return false;
    f.Add(QStringLiteral("stat"), QString::fromLatin1(kWords[stat]),
          AtKnowledge::Instance().ValueText(u"+CMGR", u"stat", QString::number(stat)));
    return true;
}

bool Stamp(Fields &f, const QString &key, const Param &param)
{
    TimeStamp stamp;
    QString problem;
    if (!ParseTimeStamp(param.text, &stamp, &problem))
        return f.Fail(problem);
    const QString text = QStringLiteral("%1 %2%3").arg(stamp.date, stamp.time,
                                                        stamp.zone ? QStringLiteral(" ") + ZoneText(*stamp.zone) : QString());
    f.Add(key, text, text);
    return true;
}

// +CMGR / +CMGL / +CMT / +CDS. PDU mode: the header's last parameter is
// the TPDU's length and the PDU follows on the next line.
void DecodeMessageHeader(const QString &name, const QList<Param> &p, Decoded &d)
{
    Fields f(d);
    const bool cmgl = name == QLatin1String("+CMGL"), cmgr = name == QLatin1String("+CMGR");
    const bool cds = name == QLatin1String("+CDS");
    d.title = cmgl ? QStringLiteral("Message in the list (+CMGL)")
              : cmgr ? QStringLiteral("Message read (+CMGR)")
              : cds ? QStringLiteral("Status report (+CDS)") : QStringLiteral("New message (+CMT)");
    qsizetype i = 0;
    if (p.isEmpty() || (cmgl && p.size() < 2)) {
        f.Fail(QStringLiteral("%1 has too few parameters").arg(name));
        return;
    }
    if (cmgl && !PlainNumber(f, QStringLiteral("index"), p[i++]))
        return;
    bool pduMode;
    if (cmgl || cmgr)
        pduMode = !p[i].quoted;
    else if (cds)
        pduMode = p.size() == 1;
    else
        pduMode = p.size() <= 2;
    if ((cmgl || cmgr) && !MessageStatus(f, p[i++]))
        return;
    if (pduMode) {
        if (i + 1 < p.size())
            f.Text(QStringLiteral("alpha"), p[i++]);
        if (i + 1 != p.size()) {
            f.Fail(QStringLiteral("%1 in PDU mode has %2 parameters, too many").arg(name).arg(p.size()));
            return;
        }
        PlainNumber(f, QStringLiteral("length"), p[i], 255);
        return;
    }
    if (cds) {
        // <fo>,<mr>,[<ra>],[<tora>],<scts>,<dt>,<st>
        if (p.size() < 7) {
            f.Fail(QStringLiteral("+CDS in text mode has %1 parameters, not 7").arg(p.size()));
            return;
        }
        if (!PlainNumber(f, QStringLiteral("fo"), p[0], 255) || !PlainNumber(f, QStringLiteral("mr"), p[1], 255))
            return;
        f.Text(QStringLiteral("number"), p[2]);
        if ((!p[3].isEmpty() && !AddressType(f, QStringLiteral("type"), p[3])) || !Stamp(f, QStringLiteral("scts"), p[4])
            || !Stamp(f, QStringLiteral("dt"), p[5]))
            return;
        PlainNumber(f, QStringLiteral("st"), p[6], 255);
        return;
    }
    // <oa/da>,[<alpha>],[<scts>][,<tooa/toda>,...]
    if (i >= p.size() || !f.Quoted(QStringLiteral("number"), p[i++]))
        return;
    if (i < p.size()) {
        const Param &alpha = p[i++];
        if (alpha.isEmpty())
            f.Omitted(QStringLiteral("alpha"));
        else
            f.Text(QStringLiteral("alpha"), alpha);
    }
    if (i < p.size() && !p[i].quoted && !p[i].isEmpty()) {
        // A stored SMS-SUBMIT has no time stamp: <toda> follows <alpha>.
        AddressType(f, QStringLiteral("type"), p[i]);
        return;
    }
    if (i < p.size()) {
        const Param &scts = p[i++];
        if (scts.isEmpty())
            f.Omitted(QStringLiteral("scts"));
        else if (!Stamp(f, QStringLiteral("scts"), scts))
            return;
    }
    if (i < p.size() && !p[i].isEmpty() && !AddressType(f, QStringLiteral("type"), p[i]))
        return;
    ++i;
    if (p.size() > i && (cmgl || p.size() == i + 1))
        PlainNumber(f, QStringLiteral("length"), p.back());
}

void DecodeClip(const QList<Param> &p, const Context &context, Decoded &d)
{
    Fields f(d);
    const bool read = context.name == QLatin1String("+CLIP") && context.form
                          ? context.form == AtFormKind::Read
                          : !p.isEmpty() && !p[0].quoted;
    if (read) {
        d.title = QStringLiteral("Caller number presentation (+CLIP)");
        if (p.size() != 2) {
            f.Fail(QStringLiteral("+CLIP read answer has %1 parameters, not 2 (<n>,<m>)").arg(p.size()));
            return;
        }
        f.Coded(QStringLiteral("n"), p[0], "+CLIP", "n", 0, 1) && f.Coded(QStringLiteral("m"), p[1], "+CLIP", "m", 0, 2);
        return;
    }
    d.title = QStringLiteral("Caller's number (+CLIP)");
    if (p.size() < 2) {
        f.Fail(QStringLiteral("+CLIP has %1 parameters, not <number>,<type>[,...]").arg(p.size()));
        return;
    }
    if (!f.Quoted(QStringLiteral("number"), p[0]) || !AddressType(f, QStringLiteral("type"), p[1]))
        return;
    if (p.size() > 4 && !p[4].isEmpty())
        f.Text(QStringLiteral("alpha"), p[4]);
    if (p.size() > 5 && !p[5].isEmpty())
        f.Coded(QStringLiteral("cli_validity"), p[5], "+CLIP", "CLI validity", 0, 4);
}

void DecodeClcc(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Current call (+CLCC)");
    Fields f(d);
    if (p.size() < 5) {
        f.Fail(QStringLiteral("+CLCC has %1 parameters, not <ccid>,<dir>,<stat>,<mode>,<mpty>[,...]").arg(p.size()));
        return;
    }
    if (!PlainNumber(f, QStringLiteral("id"), p[0]) || !f.Coded(QStringLiteral("dir"), p[1], "+CLCC", "dir", 0, 1)
        || !f.Coded(QStringLiteral("state"), p[2], "+CLCC", "stat", 0, 5)
        || !f.Coded(QStringLiteral("mode"), p[3], "+CLCC", "mode", 0, 9)
        || !f.Coded(QStringLiteral("mpty"), p[4], "+CLCC", "mpty", 0, 1))
        return;
    if (p.size() > 5 && !f.Quoted(QStringLiteral("number"), p[5]))
        return;
    if (p.size() > 6 && !AddressType(f, QStringLiteral("type"), p[6]))
        return;
    if (p.size() > 7 && !p[7].isEmpty())
        f.Text(QStringLiteral("alpha"), p[7]);
}

void DecodeCmgf(const QList<Param> &p, Decoded &d)
{
    d.title = QStringLiteral("Message format (+CMGF)");
    Fields f(d);
    if (p.size() != 1)
        f.Fail(QStringLiteral("+CMGF has %1 parameters, not 1 (<mode>)").arg(p.size()));
    else
        f.Coded(QStringLiteral("mode"), p[0], "+CMGF", "mode", 0, 1);
}

void DecodeCusd(const QList<Param> &p, const Context &context, Decoded &d)
{
    Fields f(d);
    if (context.Is("+CUSD", AtFormKind::Read)) {
        d.title = QStringLiteral("USSD presentation (+CUSD)");
        if (p.size() != 1) {
            f.Fail(QStringLiteral("+CUSD read answer has %1 parameters, not 1 (<n>)").arg(p.size()));
            return;
        }
        f.Coded(QStringLiteral("n"), p[0], "+CUSD", "n", 0, 2);
        return;
    }
    d.title = QStringLiteral("USSD answer (+CUSD)");
    if (p.isEmpty() || p.size() > 3) {
        f.Fail(QStringLiteral("+CUSD has %1 parameters, not <m>[,<str>,<dcs>]").arg(p.size()));
        return;
    }
    if (!f.Coded(QStringLiteral("m"), p[0], "+CUSD", "m", 0, 5) || p.size() == 1)
        return;
    if (p.size() == 2) {
        f.Text(QStringLiteral("str"), p[1]);
        return;
    }
    DecodeUssdString(p[1], p[2], f);
}

} // namespace

bool DecodeMessageLine(const QString &name, const QList<Param> &params, const Context &context, Decoded &d)
{
    if (name == QLatin1String("+CMGF"))
        DecodeCmgf(params, d);
    else if (name == QLatin1String("+CSCA"))
        DecodeCsca(params, d);
    else if (name == QLatin1String("+CMTI") || name == QLatin1String("+CDSI"))
        DecodeCmti(params, d, name == QLatin1String("+CMTI") ? "+CMTI" : "+CDSI");
    else if (name == QLatin1String("+CMGS"))
        DecodeCmgs(params, d);
    else if (name == QLatin1String("+CPMS"))
        DecodeCpms(params, context, d);
    else if (name == QLatin1String("+CNMI"))
        DecodeCnmi(params, d);
    else if (name == QLatin1String("+CMGR") || name == QLatin1String("+CMGL") || name == QLatin1String("+CMT")
             || name == QLatin1String("+CDS"))
        DecodeMessageHeader(name, params, d);
    else if (name == QLatin1String("+CLIP"))
        DecodeClip(params, context, d);
    else if (name == QLatin1String("+CLCC"))
        DecodeClcc(params, d);
    else if (name == QLatin1String("+CUSD"))
        DecodeCusd(params, context, d);
    else
        return false;
    return true;
}

} // namespace ReplyDecoding
