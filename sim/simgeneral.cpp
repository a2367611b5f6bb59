// General commands: identification, +CPIN, +CFUN, +CMEE, +CSCS, +CLAC, +QSIMURC.
#include "simmoduleimpl.h"

#include <algorithm>
#include <cctype>

using namespace SimInternal;

namespace {

constexpr char kImei[] = "864125034179259";
constexpr char kImsi[] = "460990123456789";

} // namespace

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
        c.info << kImei;
    else if (n == "+CIMI")
        c.info << kImsi;
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
