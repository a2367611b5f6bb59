// Network commands: +CSQ, +CREG / +CGREG, +COPS, +CUSD (+CGATT is a plain number setting).
#include "simmoduleimpl.h"

using namespace SimInternal;

namespace {

constexpr char kOperatorLong[] = "QRV Mobile";
constexpr char kOperatorShort[] = "QRV";
constexpr char kOperatorNumeric[] = "46099";
constexpr char kLocationArea[] = "1A2B";
constexpr char kCellId[] = "C3D4";

constexpr int kUssdDelayMs = 200;
// USSD codes the network knows and what it answers (IRA text, sent with dcs 15).
struct UssdService
{
    const char *code;
    const char *text;
};
constexpr UssdService kUssdServices[] = {
    {"*100#", "Your balance is 12.50 USD, valid until 2027-01-31."},
    {"*101#", "Data left: 1024 MB of 2048 MB."},
};

} // namespace

int SimulatedModule::Impl::rssi() const
{
    if (unit == 0)
        return 20;
    // 10..31 but 20, so that units 1..21 each differ from the others and from unit 0.
    const int v = 10 + int((qint64(unit) - 1) * 8 % 21);
    return v >= 20 ? v + 1 : v;
}

Result SimulatedModule::Impl::cmdCsq(Command &c)
{
    if (c.form == Form::Exec)
        c.info << (registered() ? "+CSQ: " + number(rssi()) + ",99" : QByteArray("+CSQ: 99,99"));
    else if (c.form == Form::Test)
        c.info << "+CSQ: (0-31,99),(0-7,99)";
    else
        return error();
    return ok();
}

Result SimulatedModule::Impl::cmdRegistration(Command &c)
{
    const bool gprs = c.name == "+CGREG";
    int &n = gprs ? settings.cgreg : settings.creg;
    if (c.form != Form::Read)
        return numberSetting(c, n, 2, "(0-2)", false);
    const bool home = registered() && (!gprs || cgatt == 1);
    QByteArray text = c.name + ": " + number(n) + (home ? ",1" : ",0");
    if (n == 2 && home)
        text += "," + quoted(kLocationArea) + "," + quoted(kCellId);
    c.info << text;
    return ok();
}

Result SimulatedModule::Impl::cmdCops(Command &c)
{
    const QByteArray names[] = {kOperatorLong, kOperatorShort, kOperatorNumeric};
    switch (c.form) {
    case Form::Read:
        if (registered())
            c.info << "+COPS: " + number(copsMode) + "," + number(settings.copsFormat) + ","
                    + quoted(names[settings.copsFormat]);
        else
            c.info << "+COPS: " + number(copsMode);
        return ok();
    case Form::Test:
        c.info << "+COPS: (2," + quoted(names[0]) + "," + quoted(names[1]) + "," + quoted(names[2])
                + "),,(0-4),(0-2)";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    const auto mode = toInt(c.params[0]);
    const auto format = optionalInt(c.params, 1, settings.copsFormat);
    if (!mode || *mode > 4 || !format || *format > 2 || c.params.size() > 3 || (*mode == 3 && c.params.size() != 2))
        return cme(kCmeIncorrectParameters);
    settings.copsFormat = *format;
    if (*mode == 0 || *mode == 2) {
        copsMode = *mode;
    } else if (*mode == 1 || *mode == 4) {
        if (c.params.size() != 3 || !c.params[2].quoted)
            return cme(kCmeIncorrectParameters);
        if (c.params[2].text == names[*format])
            copsMode = 1;
        else if (*mode == 1)
            return cme(kCmeNoService);
        else
            copsMode = 0;
    }
    return ok();
}

// AT+CUSD=[<n>[,<str>[,<dcs>]]]: n 0/1 turns the +CUSD result code off or on,
// 2 cancels the session. A request is answered with OK, and the network's
// answer, when presentation is on, comes kUssdDelayMs later as
// +CUSD: 0,"<text>",15; a code the network does not know gives +CUSD: 4
// (operation not supported).
Result SimulatedModule::Impl::cmdCusd(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CUSD: " + number(settings.cusd);
        return ok();
    case Form::Test:
        c.info << "+CUSD: (0-2)";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    const auto n = optionalInt(c.params, 0, 0);
    const bool request = c.params.size() > 1;
    const auto dcs = optionalInt(c.params, 2, 15);
    if (!n || *n > 2 || c.params.size() > 3 || (request && (*n == 2 || !c.params[1].quoted)) || !dcs || *dcs > 255)
        return cme(kCmeIncorrectParameters);
    if (*n == 2)
        return ok();
    settings.cusd = *n;
    if (!request)
        return ok();
    const auto code = fromTe(c.params[1].text);
    if (!code)
        return cme(kCmeIncorrectParameters);
    if (!registered())
        return cme(kCmeNoService);
    if (settings.cusd == 1) {
        QByteArray urc = "+CUSD: 4";
        for (const UssdService &s : kUssdServices)
            if (*code == QLatin1String(s.code))
                urc = "+CUSD: 0," + quoted(toTe(QString::fromLatin1(s.text))) + ",15";
        scheduled.append({kUssdDelayMs, lineEnd() + urc + lineEnd()});
    }
    return ok();
}
