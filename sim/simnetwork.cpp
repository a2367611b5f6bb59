// Network commands: +CSQ, +CREG / +CGREG, +COPS (+CGATT is a plain number setting).
#include "simmoduleimpl.h"

using namespace SimInternal;

namespace {

constexpr char kOperatorLong[] = "QRV Mobile";
constexpr char kOperatorShort[] = "QRV";
constexpr char kOperatorNumeric[] = "46099";
constexpr char kLocationArea[] = "1A2B";
constexpr char kCellId[] = "C3D4";

} // namespace

Result SimulatedModule::Impl::cmdCsq(Command &c)
{
    if (c.form == Form::Exec)
        c.info << (registered() ? "+CSQ: 20,99" : "+CSQ: 99,99");
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
