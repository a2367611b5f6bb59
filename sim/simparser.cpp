// The command-line parser: the line as a whole, basic commands, extended command syntax.
#include "simparser.h"

#include "simmoduleimpl.h"

#include <utility>

using namespace SimInternal;

namespace {

// Digits at pos (at most 9); nothing when there are none or too many.
std::optional<int> readDigits(const QByteArray &s, qsizetype &pos)
{
    const qsizetype start = pos;
    int v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        if (pos - start >= 9)
            return std::nullopt;
        v = v * 10 + (s[pos] - '0');
        ++pos;
    }
    if (pos == start)
        return std::nullopt;
    return v;
}

bool isNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!' || c == '%' || c == '-' || c == '.'
        || c == '/' || c == ':' || c == '_';
}

} // namespace

const QHash<QByteArray, SimulatedModule::Impl::Handler> &SimulatedModule::Impl::handlers()
{
    static const QHash<QByteArray, Handler> table = {
        {"+CGMI", &Impl::cmdIdentification}, {"+GMI", &Impl::cmdIdentification},
        {"+CGMM", &Impl::cmdIdentification}, {"+GMM", &Impl::cmdIdentification},
        {"+CGMR", &Impl::cmdIdentification}, {"+GMR", &Impl::cmdIdentification},
        {"+CGSN", &Impl::cmdIdentification}, {"+GSN", &Impl::cmdIdentification},
        {"+CIMI", &Impl::cmdIdentification}, {"+GCAP", &Impl::cmdIdentification},
        {"+CPIN", &Impl::cmdCpin},           {"+CSQ", &Impl::cmdCsq},
        {"+CREG", &Impl::cmdRegistration},   {"+CGREG", &Impl::cmdRegistration},
        {"+COPS", &Impl::cmdCops},           {"+CFUN", &Impl::cmdCfun},
        {"+CMEE", &Impl::cmdCmee},           {"+CSCS", &Impl::cmdCscs},
        {"+CGATT", &Impl::cmdCgatt},         {"+CLAC", &Impl::cmdClac},
        {"+CSMS", &Impl::cmdCsms},           {"+CPMS", &Impl::cmdCpms},
        {"+CSCA", &Impl::cmdCsca},           {"+CMGF", &Impl::cmdCmgf},
        {"+CSDH", &Impl::cmdCsdh},           {"+CNMI", &Impl::cmdCnmi},
        {"+CSMP", &Impl::cmdCsmp},           {"+CMGS", &Impl::cmdCmgs},
        {"+CMGR", &Impl::cmdCmgr},           {"+CMGL", &Impl::cmdCmgl},
        {"+CMGD", &Impl::cmdCmgd},           {"+QSIMURC", &Impl::cmdQsimurc},
        {"+CCID", &Impl::cmdIdentification}, {"+CCLK", &Impl::cmdCclk},
        {"+CBC", &Impl::cmdCbc},             {"+CUSD", &Impl::cmdCusd},
    };
    return table;
}

QByteArray SimulatedModule::Impl::execute(const QByteArray &raw)
{
    lastLine = raw;
    // Spaces and control characters outside strings are ignored and letters
    // are taken in upper case.
    QByteArray cmd;
    bool inString = false;
    for (char c : raw) {
        const int u = quint8(c);
        if (u < 0x20 || u == 0x7F)
            continue;
        if (c == '"')
            inString = !inString;
        else if (!inString && c == ' ')
            continue;
        cmd.append(!inString && c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c);
    }
    if (inString)
        return formatResult(error());

    QByteArray out;
    qsizetype pos = 0;
    while (pos < cmd.size()) {
        if (cmd[pos] == ';') {
            ++pos;
            continue;
        }
        Command c;
        Result r;
        if (cmd[pos] == '+') {
            if (!parseExtended(cmd, pos, c)) {
                r = error();
            } else {
                const auto handler = handlers().value(c.name);
                r = handler ? (this->*handler)(c) : error();
            }
        } else {
            r = runBasic(cmd, pos, c.info);
        }
        out += formatInfo(c.info);
        if (r.kind == Result::Prompt) {
            // Message entry takes over the line: nothing may follow.
            while (pos < cmd.size() && cmd[pos] == ';')
                ++pos;
            if (pos < cmd.size()) {
                state = State::Idle;
                return out + formatResult(error());
            }
            return out + messagePrompt();
        }
        if (r.kind == Result::Connect) {
            state = State::Data;
            escapePluses = 0;
            return out + formatResult(r);
        }
        if (r.kind != Result::Ok)
            return out + formatResult(r);
    }
    return out + formatResult(ok());
}

bool SimInternal::parseExtended(const QByteArray &cmd, qsizetype &pos, Command &c)
{
    const qsizetype start = pos++;
    while (pos < cmd.size() && isNameChar(cmd[pos]))
        ++pos;
    c.name = cmd.mid(start, pos - start);
    if (c.name.size() < 2)
        return false;
    if (cmd.mid(pos, 2) == "=?") {
        c.form = Form::Test;
        pos += 2;
    } else if (pos < cmd.size() && cmd[pos] == '?') {
        c.form = Form::Read;
        ++pos;
    } else if (pos < cmd.size() && cmd[pos] == '=') {
        c.form = Form::Set;
        ++pos;
        Param param;
        while (pos < cmd.size() && cmd[pos] != ';') {
            const char ch = cmd[pos];
            if (ch == ',') {
                c.params.append(std::exchange(param, {}));
                ++pos;
            } else if (ch == '"') {
                if (param.quoted || !param.text.isEmpty())
                    return false;
                const qsizetype end = cmd.indexOf('"', pos + 1); // strings are balanced
                param.text = cmd.mid(pos + 1, end - pos - 1);
                param.quoted = true;
                pos = end + 1;
            } else {
                if (param.quoted)
                    return false;
                param.text.append(ch);
                ++pos;
            }
        }
        c.params.append(param);
    }
    if (pos < cmd.size() && cmd[pos] != ';')
        return false;
    if (pos < cmd.size())
        ++pos;
    return true;
}

Result SimulatedModule::Impl::runBasic(const QByteArray &cmd, qsizetype &pos, QList<QByteArray> &info)
{
    const char c = cmd[pos++];
    if (c == '&') {
        if (pos >= cmd.size())
            return error();
        const char which = cmd[pos++];
        const int value = readDigits(cmd, pos).value_or(0);
        if (value != 0)
            return error();
        if (which == 'F')
            settings = Settings {};
        else if (which == 'W')
            profile = settings;
        else
            return error();
        return ok();
    }
    if (c == 'S') {
        const auto reg = readDigits(cmd, pos);
        const int slot = reg ? sRegisterSlot(*reg) : -1;
        if (slot < 0)
            return error();
        const int max = kSRegisters[size_t(slot)].max;
        if (cmd.mid(pos, 2) == "=?") {
            pos += 2;
            info.append("(0-" + number(max) + ")");
        } else if (pos < cmd.size() && cmd[pos] == '?') {
            ++pos;
            info.append(number(settings.sRegisters[size_t(slot)]).rightJustified(3, '0'));
        } else if (pos < cmd.size() && cmd[pos] == '=') {
            ++pos;
            const auto value = readDigits(cmd, pos);
            if (!value || *value > max)
                return error();
            settings.sRegisters[size_t(slot)] = *value;
        } else {
            return error();
        }
        return ok();
    }

    if (c == 'D') {
        // A packet data call (*99#, *99***<cid>#) connects and takes the
        // line into data mode; nothing may follow it on the line.
        const qsizetype end = cmd.indexOf(';', pos);
        const QByteArray number = cmd.mid(pos, end < 0 ? -1 : end - pos);
        pos = cmd.size();
        if (end < 0 && number.startsWith("*99") && number.endsWith('#'))
            return connect();
        return error();
    }
    // A missing number means 0.
    const bool hasDigits = pos < cmd.size() && cmd[pos] >= '0' && cmd[pos] <= '9';
    const auto value = hasDigits ? readDigits(cmd, pos) : std::optional<int>(0);
    if (!value)
        return error();
    switch (c) {
    case 'E':
    case 'V':
    case 'Q':
        if (*value > 1)
            return error();
        (c == 'E' ? settings.echo : c == 'V' ? settings.verbose : settings.quiet) = *value == 1;
        return ok();
    case 'Z':
        if (*value != 0)
            return error();
        settings = profile;
        return ok();
    case 'I':
        if (*value != 0)
            return error();
        info << kManufacturer << kModel << QByteArray("Revision: ") + kRevision;
        return ok();
    case 'H':
        return *value == 0 ? ok() : error();
    default:
        return error();
    }
}
