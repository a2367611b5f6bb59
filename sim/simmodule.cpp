#include "simmodule.h"

#include "smspdu.h"

#include <QDateTime>
#include <QHash>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <utility>

namespace {

constexpr char kManufacturer[] = "QRV";
constexpr char kModel[] = "QRV-G1";
constexpr char kRevision[] = "QRV-G1_R1.02";
constexpr char kImei[] = "864125034179259";
constexpr char kImsi[] = "460990123456789";
constexpr char kOperatorLong[] = "QRV Mobile";
constexpr char kOperatorShort[] = "QRV";
constexpr char kOperatorNumeric[] = "46099";
constexpr char kLocationArea[] = "1A2B";
constexpr char kCellId[] = "C3D4";
constexpr char kDefaultServiceCentre[] = "+8613800100500";

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
constexpr int kMaxBody = 1024;
constexpr int kMaxTpduLength = 164;

// +CME ERROR codes.
constexpr int kCmeNotAllowed = 3;
constexpr int kCmeNoService = 30;
constexpr int kCmeIncorrectParameters = 50;

// +CMS ERROR codes.
constexpr int kCmsInvalidPduParameter = 304;
constexpr int kCmsInvalidTextParameter = 305;
constexpr int kCmsInvalidIndex = 321;
constexpr int kCmsSmscUnknown = 330;
constexpr int kCmsNoService = 331;

struct ErrorText
{
    int code;
    const char *text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "phone failure"},
    {3, "operation not allowed"},
    {4, "operation not supported"},
    {10, "SIM not inserted"},
    {30, "no network service"},
    {50, "Incorrect parameters"},
    {100, "unknown"},
    {300, "ME failure"},
    {302, "operation not allowed"},
    {303, "operation not supported"},
    {304, "invalid PDU mode parameter"},
    {305, "invalid text mode parameter"},
    {321, "invalid memory index"},
    {322, "memory full"},
    {330, "SMSC address unknown"},
    {331, "no network service"},
    {500, "unknown error"},
};

struct SRegister
{
    int number;
    int defaultValue;
    int max;
};

// S3 ends a command line, S4 is the line feed of responses, S5 deletes the
// previous character; the others are only stored.
constexpr std::array<SRegister, 8> kSRegisters = {{
    {0, 0, 255}, {3, 13, 127}, {4, 10, 127}, {5, 8, 127},
    {6, 2, 10}, {7, 50, 255}, {8, 2, 255}, {10, 15, 254},
}};

constexpr auto defaultSRegisters()
{
    std::array<int, kSRegisters.size()> values {};
    for (size_t i = 0; i < kSRegisters.size(); ++i)
        values[i] = kSRegisters[i].defaultValue;
    return values;
}

int sRegisterSlot(int number)
{
    for (size_t i = 0; i < kSRegisters.size(); ++i)
        if (kSRegisters[i].number == number)
            return int(i);
    return -1;
}

// The settings ATZ / AT&F / AT&W work on.
struct Settings
{
    bool echo = true;
    bool verbose = true;
    bool quiet = false;
    std::array<int, kSRegisters.size()> sRegisters = defaultSRegisters();
    int cmee = 0;
    int creg = 0;
    int cgreg = 0;
    int cmgf = 0;
    QByteArray cscs = "IRA";
    int csdh = 0;
    std::array<int, 5> cnmi {2, 1, 0, 0, 0};
    std::array<int, 4> csmp {17, 167, 0, 0};
    int copsFormat = 0;
};

enum class Form { Exec, Read, Test, Set };

struct Param
{
    QByteArray text;
    bool quoted = false;
};

struct Command
{
    QByteArray name;
    Form form = Form::Exec;
    QList<Param> params;
    QList<QByteArray> info;
};

struct Result
{
    enum Kind { Ok, Error, Cme, Cms, Prompt };
    Kind kind = Ok;
    int code = 0;
};

Result ok() { return {Result::Ok, 0}; }
Result error() { return {Result::Error, 0}; }
Result cme(int code) { return {Result::Cme, code}; }
Result cms(int code) { return {Result::Cms, code}; }
Result prompt() { return {Result::Prompt, 0}; }

QByteArray quoted(const QByteArray &s)
{
    return '"' + s + '"';
}

QByteArray number(int v)
{
    return QByteArray::number(v);
}

std::optional<int> toInt(const Param &p)
{
    if (p.quoted || p.text.isEmpty() || p.text.size() > 9)
        return std::nullopt;
    int v = 0;
    for (char c : p.text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

// An optional integer parameter: absent or empty gives fallback.
std::optional<int> optionalInt(const QList<Param> &params, qsizetype i, int fallback)
{
    if (i >= params.size() || (!params[i].quoted && params[i].text.isEmpty()))
        return fallback;
    return toInt(params[i]);
}

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

bool isHex(const QByteArray &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

QByteArray ucs2Hex(const QString &text)
{
    QByteArray out;
    for (QChar c : text)
        out += QByteArray::number(c.unicode(), 16).toUpper().rightJustified(4, '0');
    return out;
}

std::optional<QString> fromUcs2Hex(const QByteArray &hex)
{
    if (hex.size() % 4 != 0 || !isHex(hex))
        return std::nullopt;
    QString out;
    for (qsizetype i = 0; i < hex.size(); i += 4)
        out.append(QChar(char16_t(hex.mid(i, 4).toUInt(nullptr, 16))));
    return out;
}

QString currentTimestamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int quarters = now.offsetFromUtc() / 900;
    return now.toString(QStringLiteral("yy/MM/dd,hh:mm:ss")) + (quarters < 0 ? u'-' : u'+')
        + QString::number(std::abs(quarters)).rightJustified(2, u'0');
}

const char *statusText(SimulatedModule::MessageStatus s)
{
    switch (s) {
    case SimulatedModule::MessageStatus::ReceivedUnread: return "REC UNREAD";
    case SimulatedModule::MessageStatus::ReceivedRead: return "REC READ";
    case SimulatedModule::MessageStatus::StoredUnsent: return "STO UNSENT";
    case SimulatedModule::MessageStatus::StoredSent: return "STO SENT";
    }
    return "";
}

} // namespace

class SimulatedModule::Impl
{
public:
    Impl() { powerOn(); }

    void powerOn();
    Output step(QByteArrayView in);
    QByteArray receiveSms(const QString &sender, const QString &text, const QString &timestamp);

    QMap<int, StoredMessage> store;
    QList<SentMessage> sent;
    QList<Output::Unsolicited> scheduled; // asked for by the line being run

    enum class State { Idle, GotA, Line, MessageText, MessagePdu };
    State state = State::Idle;

private:
    using Handler = Result (Impl::*)(Command &);
    static const QHash<QByteArray, Handler> &handlers();

    int sRegister(int number) const { return settings.sRegisters[size_t(sRegisterSlot(number))]; }
    void echo(char c, Output &o) const
    {
        if (settings.echo)
            o.echo.append(c);
    }
    bool consume(char c, Output &o);
    bool consumeMessageByte(char c, Output &o);

    QByteArray execute(const QByteArray &raw);
    Result runBasic(const QByteArray &cmd, qsizetype &pos, QList<QByteArray> &info);
    bool parseExtended(const QByteArray &cmd, qsizetype &pos, Command &c) const;

    QByteArray lineEnd() const;
    QByteArray formatInfo(const QList<QByteArray> &lines) const;
    QByteArray formatResult(const Result &r) const;
    QByteArray messagePrompt() const { return lineEnd() + "> "; }

    // Strings as the TE character set carries them, both ways.
    QByteArray toTe(const QString &text) const;
    std::optional<QString> fromTe(const QByteArray &bytes) const;
    // A message body as text mode shows it: hex UTF-16 when it needs UCS2.
    QByteArray bodyToTe(const QString &text) const;
    std::optional<QString> enteredText(const QByteArray &body, quint8 dcs) const;
    QByteArray finishMessage();

    bool registered() const { return cfun == 1 && copsMode != 2; }
    Result smsParamError() const { return cms(settings.cmgf ? kCmsInvalidTextParameter : kCmsInvalidPduParameter); }
    Result numberSetting(Command &c, int &value, int max, const char *range, bool sms);
    QList<QByteArray> readMessage(int index, const StoredMessage &m, bool listing) const;

    Result cmdIdentification(Command &c);
    Result cmdCpin(Command &c);
    Result cmdCsq(Command &c);
    Result cmdRegistration(Command &c);
    Result cmdCops(Command &c);
    Result cmdCfun(Command &c);
    Result cmdCmee(Command &c) { return numberSetting(c, settings.cmee, 2, "(0-2)", false); }
    Result cmdCscs(Command &c);
    Result cmdCgatt(Command &c) { return numberSetting(c, cgatt, 1, "(0,1)", false); }
    Result cmdClac(Command &c);
    Result cmdCsms(Command &c);
    Result cmdCpms(Command &c);
    Result cmdCsca(Command &c);
    Result cmdCmgf(Command &c) { return numberSetting(c, settings.cmgf, 1, "(0,1)", true); }
    Result cmdCsdh(Command &c) { return numberSetting(c, settings.csdh, 1, "(0,1)", true); }
    Result cmdCnmi(Command &c);
    Result cmdCsmp(Command &c);
    Result cmdCmgs(Command &c);
    Result cmdCmgr(Command &c);
    Result cmdCmgl(Command &c);
    Result cmdCmgd(Command &c);
    Result cmdQsimurc(Command &c);

    Settings settings;
    Settings profile; // what ATZ restores, written by AT&W

    QByteArray line;
    bool lineTooLong = false;
    QByteArray lastLine;

    QByteArray body;
    bool bodyTooLong = false;
    bool bodyAfterCr = false;
    QString destination;
    int tpduLength = 0;

    int cfun = 1;
    int copsMode = 0;
    int cgatt = 1;
    int csms = 0;
    QString serviceCentre;
    int serviceCentreType = 145;
    int nextReference = 0;
};

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
    };
    return table;
}

void SimulatedModule::Impl::powerOn()
{
    settings = Settings {};
    profile = Settings {};
    state = State::Idle;
    line.clear();
    lineTooLong = false;
    lastLine.clear();
    body.clear();
    bodyTooLong = false;
    bodyAfterCr = false;
    cfun = 1;
    copsMode = 0;
    cgatt = 1;
    csms = 0;
    serviceCentre = QString::fromLatin1(kDefaultServiceCentre);
    serviceCentreType = 145;
    nextReference = 0;
    sent.clear();
    store.clear();
    const QString smsc = serviceCentre;
    store.insert(1, {MessageStatus::ReceivedUnread, QStringLiteral("+8613800000000"), smsc,
                     QStringLiteral("26/12/06,10:00:00+32"),
                     QStringLiteral("Welcome to the simulated network. Reply HELP for help.")});
    // "你好，世界！这是一条中文短信。" (needs UCS2)
    store.insert(2, {MessageStatus::ReceivedRead, QStringLiteral("+8613912345678"), smsc,
                     QStringLiteral("26/12/06,10:05:30+32"),
                     QStringLiteral("\u4F60\u597D\uFF0C\u4E16\u754C\uFF01\u8FD9\u662F\u4E00\u6761"
                                    "\u4E2D\u6587\u77ED\u4FE1\u3002")});
    store.insert(3, {MessageStatus::ReceivedUnread, QStringLiteral("10086"), smsc,
                     QStringLiteral("26/12/06,11:30:00+32"),
                     QStringLiteral("Balance: $12.50 @ [2026-12-06] {ok}")});
}

SimulatedModule::Output SimulatedModule::Impl::step(QByteArrayView in)
{
    Output o;
    for (qsizetype i = 0; i < in.size(); ++i) {
        o.consumed = i + 1;
        if (consume(in[i], o)) {
            o.completed = true;
            break;
        }
    }
    o.unsolicited = std::exchange(scheduled, {});
    return o;
}

bool SimulatedModule::Impl::consume(char c, Output &o)
{
    const int u = quint8(c);
    switch (state) {
    case State::Idle:
        if (c == 'A' || c == 'a') {
            echo(c, o);
            state = State::GotA;
        }
        return false;
    case State::GotA:
        if (c == 'T' || c == 't') {
            echo(c, o);
            state = State::Line;
            line.clear();
            lineTooLong = false;
        } else if (c == '/') {
            echo(c, o);
            state = State::Idle;
            o.reply = execute(lastLine);
            return true;
        } else if (c == 'A' || c == 'a') {
            echo(c, o);
        } else {
            state = State::Idle;
        }
        return false;
    case State::Line:
        echo(c, o);
        if (u == sRegister(3)) {
            state = State::Idle;
            o.reply = lineTooLong ? formatResult(error()) : execute(line);
            return true;
        }
        if (u == sRegister(5)) {
            if (!line.isEmpty())
                line.chop(1);
        } else if (line.size() >= kMaxLineLength) {
            lineTooLong = true;
        } else {
            line.append(c);
        }
        return false;
    case State::MessageText:
    case State::MessagePdu:
        return consumeMessageByte(c, o);
    }
    return false;
}

bool SimulatedModule::Impl::consumeMessageByte(char c, Output &o)
{
    const int u = quint8(c);
    const bool afterCr = std::exchange(bodyAfterCr, false);
    if (c == kCtrlZ) {
        o.reply = finishMessage();
        return true;
    }
    if (c == kEsc) {
        state = State::Idle;
        body.clear();
        o.reply = formatResult(ok());
        return true;
    }
    if (u == sRegister(5)) {
        echo(c, o);
        if (!body.isEmpty())
            body.chop(1);
        return false;
    }
    const bool newline = u == sRegister(3) || c == '\n';
    if (state == State::MessageText && newline) {
        // A line break of the message; the LF of a CR LF pair is dropped.
        if (c == '\n' && afterCr)
            return false;
        echo(c, o);
        o.echo += messagePrompt();
        bodyAfterCr = c != '\n';
        c = '\n';
    } else if (state == State::MessagePdu && (newline || c == ' ' || c == '\t')) {
        echo(c, o);
        return false;
    } else if (u < 0x20 || u == 0x7F) {
        return false;
    } else {
        echo(c, o);
    }
    if (body.size() >= kMaxBody)
        bodyTooLong = true;
    else
        body.append(c);
    return false;
}

QByteArray SimulatedModule::Impl::lineEnd() const
{
    return QByteArray(1, char(sRegister(3))) + char(sRegister(4));
}

QByteArray SimulatedModule::Impl::formatInfo(const QList<QByteArray> &lines) const
{
    if (lines.isEmpty())
        return {};
    QByteArray out;
    if (settings.verbose)
        out += lineEnd();
    out += lines.join(lineEnd());
    out += lineEnd();
    return out;
}

QByteArray SimulatedModule::Impl::formatResult(const Result &r) const
{
    if (settings.quiet)
        return {};
    QByteArray text;
    int code = -1;
    if (r.kind == Result::Ok) {
        text = "OK";
        code = 0;
    } else if ((r.kind == Result::Cme || r.kind == Result::Cms) && settings.cmee != 0) {
        text = r.kind == Result::Cme ? "+CME ERROR: " : "+CMS ERROR: ";
        QByteArray detail = number(r.code);
        if (settings.cmee == 2)
            for (const ErrorText &e : kErrorTexts)
                if (e.code == r.code)
                    detail = e.text;
        text += detail;
    } else {
        text = "ERROR";
        code = 4;
    }
    if (settings.verbose)
        return lineEnd() + text + lineEnd();
    if (code >= 0)
        return number(code) + char(sRegister(3));
    return text + lineEnd();
}

QByteArray SimulatedModule::Impl::toTe(const QString &text) const
{
    if (settings.cscs == "UCS2")
        return ucs2Hex(text);
    const char16_t limit = settings.cscs == "IRA" ? 0x80 : 0x100;
    QByteArray out;
    for (QChar c : text)
        out.append(c.unicode() < limit ? char(c.unicode()) : '?');
    return out;
}

std::optional<QString> SimulatedModule::Impl::fromTe(const QByteArray &bytes) const
{
    if (settings.cscs == "UCS2")
        return fromUcs2Hex(bytes);
    return QString::fromLatin1(bytes);
}

QByteArray SimulatedModule::Impl::bodyToTe(const QString &text) const
{
    return SmsPdu::deliverDcs(text) == 0x08 ? ucs2Hex(text) : toTe(text);
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
        if (r.kind != Result::Ok)
            return out + formatResult(r);
    }
    return out + formatResult(ok());
}

bool SimulatedModule::Impl::parseExtended(const QByteArray &cmd, qsizetype &pos, Command &c) const
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

Result SimulatedModule::Impl::cmdCsms(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CSMS: " + number(csms) + ",1,1,1";
        return ok();
    case Form::Test:
        c.info << "+CSMS: (0,1)";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    const auto service = c.params.size() == 1 ? toInt(c.params[0]) : std::nullopt;
    if (!service || *service > 1)
        return smsParamError();
    csms = *service;
    c.info << "+CSMS: 1,1,1";
    return ok();
}

Result SimulatedModule::Impl::cmdCpms(Command &c)
{
    const QByteArray used = number(int(store.size()));
    const QByteArray total = number(kStorageSize);
    const QByteArray counts = used + "," + total;
    switch (c.form) {
    case Form::Read:
        c.info << "+CPMS: \"SM\"," + counts + ",\"SM\"," + counts + ",\"SM\"," + counts;
        return ok();
    case Form::Test:
        c.info << "+CPMS: (\"SM\"),(\"SM\"),(\"SM\")";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    if (c.params.size() > 3)
        return smsParamError();
    for (const Param &p : c.params)
        if (!p.quoted || p.text.toUpper() != "SM")
            return smsParamError();
    c.info << "+CPMS: " + counts + "," + counts + "," + counts;
    return ok();
}

Result SimulatedModule::Impl::cmdCsca(Command &c)
{
    switch (c.form) {
    case Form::Read:
        c.info << "+CSCA: " + quoted(toTe(serviceCentre)) + "," + number(serviceCentreType);
        return ok();
    case Form::Test:
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    const auto address = c.params[0].quoted ? fromTe(c.params[0].text) : std::nullopt;
    const auto type = address ? optionalInt(c.params, 1, SmsPdu::addressType(*address)) : std::nullopt;
    if (!address || !SmsPdu::isDiallingNumber(*address) || !type || *type > 255 || c.params.size() > 2)
        return smsParamError();
    serviceCentre = *address;
    serviceCentreType = *type;
    return ok();
}

Result SimulatedModule::Impl::cmdCnmi(Command &c)
{
    auto &cnmi = settings.cnmi;
    switch (c.form) {
    case Form::Read: {
        QByteArray text = "+CNMI: ";
        for (size_t i = 0; i < cnmi.size(); ++i)
            text += (i ? "," : "") + number(cnmi[i]);
        c.info << text;
        return ok();
    }
    case Form::Test:
        c.info << "+CNMI: (0-3),(0-3),(0,2),(0-2),(0,1)";
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    constexpr std::array<int, 5> max {3, 3, 3, 2, 1};
    auto values = cnmi;
    if (c.params.size() > qsizetype(values.size()))
        return smsParamError();
    for (qsizetype i = 0; i < c.params.size(); ++i) {
        const auto v = optionalInt(c.params, i, values[size_t(i)]);
        if (!v || *v > max[size_t(i)])
            return smsParamError();
        values[size_t(i)] = *v;
    }
    cnmi = values;
    return ok();
}

Result SimulatedModule::Impl::cmdCsmp(Command &c)
{
    auto &csmp = settings.csmp;
    switch (c.form) {
    case Form::Read:
        c.info << "+CSMP: " + number(csmp[0]) + "," + number(csmp[1]) + "," + number(csmp[2]) + ","
                + number(csmp[3]);
        return ok();
    case Form::Test:
        return ok();
    case Form::Exec:
        return error();
    case Form::Set:
        break;
    }
    auto values = csmp;
    if (c.params.size() > qsizetype(values.size()))
        return smsParamError();
    for (qsizetype i = 0; i < c.params.size(); ++i) {
        const auto v = optionalInt(c.params, i, values[size_t(i)]);
        if (!v || *v > 255)
            return smsParamError();
        values[size_t(i)] = *v;
    }
    csmp = values;
    return ok();
}

Result SimulatedModule::Impl::cmdCmgs(Command &c)
{
    if (c.form == Form::Test)
        return ok();
    if (c.form != Form::Set)
        return error();
    if (!registered())
        return cms(kCmsNoService);
    if (settings.cmgf == 1) {
        const auto address = c.params[0].quoted ? fromTe(c.params[0].text) : std::nullopt;
        const auto type = optionalInt(c.params, 1, 0);
        if (!address || !SmsPdu::isDiallingNumber(*address) || !type || *type > 255 || c.params.size() > 2)
            return smsParamError();
        destination = *address;
        state = State::MessageText;
    } else {
        const auto length = c.params.size() == 1 ? toInt(c.params[0]) : std::nullopt;
        if (!length || *length < 1 || *length > kMaxTpduLength)
            return smsParamError();
        tpduLength = *length;
        state = State::MessagePdu;
    }
    body.clear();
    bodyTooLong = false;
    bodyAfterCr = false;
    return prompt();
}

std::optional<QString> SimulatedModule::Impl::enteredText(const QByteArray &entered, quint8 dcs) const
{
    QByteArray hex = entered;
    hex.replace('\n', QByteArray());
    switch (SmsPdu::alphabetOf(dcs)) {
    case SmsPdu::Alphabet::Ucs2: {
        const auto text = fromUcs2Hex(hex);
        if (!text || text->size() > 70)
            return std::nullopt;
        return text;
    }
    case SmsPdu::Alphabet::Data8:
        if (hex.size() % 2 != 0 || !isHex(hex) || hex.size() > 280)
            return std::nullopt;
        return QString::fromLatin1(hex.toUpper());
    case SmsPdu::Alphabet::Gsm7:
        break;
    }
    const auto text = settings.cscs == "UCS2" ? fromUcs2Hex(hex) : fromTe(entered);
    if (!text)
        return std::nullopt;
    const QByteArray septets = SmsPdu::toGsm7(*text);
    if (septets.size() > 160)
        return std::nullopt;
    return SmsPdu::fromGsm7(septets);
}

QByteArray SimulatedModule::Impl::finishMessage()
{
    const bool pdu = state == State::MessagePdu;
    state = State::Idle;
    const QByteArray entered = std::exchange(body, {});
    SentMessage m;
    m.pduMode = pdu;
    if (pdu) {
        const auto submit = !bodyTooLong && entered.size() % 2 == 0 && isHex(entered)
            ? SmsPdu::decodeSubmit(QByteArray::fromHex(entered), tpduLength)
            : std::nullopt;
        if (!submit)
            return formatResult(cms(kCmsInvalidPduParameter));
        if (submit->serviceCentre.isEmpty() && serviceCentre.isEmpty())
            return formatResult(cms(kCmsSmscUnknown));
        m.destination = submit->destination;
        m.dcs = submit->dcs;
        m.text = submit->text;
    } else {
        m.destination = destination;
        m.dcs = quint8(settings.csmp[3]);
        const auto text = bodyTooLong ? std::nullopt : enteredText(entered, m.dcs);
        if (!text)
            return formatResult(cms(kCmsInvalidTextParameter));
        if (serviceCentre.isEmpty())
            return formatResult(cms(kCmsSmscUnknown));
        m.text = *text;
    }
    nextReference = (nextReference + 1) % 256;
    m.reference = nextReference;
    sent.append(m);
    return formatInfo({"+CMGS: " + number(m.reference)}) + formatResult(ok());
}

QList<QByteArray> SimulatedModule::Impl::readMessage(int index, const StoredMessage &m, bool listing) const
{
    const QByteArray prefix = listing ? "+CMGL: " + number(index) + "," : QByteArray("+CMGR: ");
    if (settings.cmgf == 0) {
        int length = 0;
        const QByteArray pdu = SmsPdu::encodeDeliver({m.serviceCentre, m.sender, m.timestamp, m.text}, &length);
        return {prefix + number(int(m.status)) + ",," + number(length), pdu.toHex().toUpper()};
    }
    const quint8 dcs = SmsPdu::deliverDcs(m.text);
    const int length = dcs == 0 ? int(SmsPdu::toGsm7(m.text).size()) : int(m.text.size() * 2);
    QByteArray header = prefix + quoted(statusText(m.status)) + "," + quoted(toTe(m.sender)) + ",,"
        + quoted(m.timestamp.toLatin1());
    if (settings.csdh == 1) {
        header += "," + number(SmsPdu::addressType(m.sender));
        if (listing)
            header += "," + number(length);
        else
            header += ",4,0," + number(dcs) + "," + quoted(toTe(m.serviceCentre)) + ","
                + number(SmsPdu::addressType(m.serviceCentre)) + "," + number(length);
    }
    return {header, bodyToTe(m.text)};
}

Result SimulatedModule::Impl::cmdCmgr(Command &c)
{
    if (c.form == Form::Test)
        return ok();
    if (c.form != Form::Set)
        return error();
    const auto index = toInt(c.params[0]);
    const auto mode = optionalInt(c.params, 1, 0);
    if (!index || !mode || *mode > 1 || c.params.size() > 2)
        return smsParamError();
    const auto it = store.find(*index);
    if (it == store.end())
        return cms(kCmsInvalidIndex);
    c.info << readMessage(*index, *it, false);
    if (*mode == 0 && it->status == MessageStatus::ReceivedUnread)
        it->status = MessageStatus::ReceivedRead;
    return ok();
}

Result SimulatedModule::Impl::cmdCmgl(Command &c)
{
    static const QByteArray names[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT", "ALL"};
    const bool text = settings.cmgf == 1;
    if (c.form == Form::Test) {
        c.info << (text ? "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\",\"STO SENT\",\"ALL\")"
                        : "+CMGL: (0-4)");
        return ok();
    }
    if (c.form == Form::Read)
        return error();
    int which = 0;
    int mode = 0;
    if (c.form == Form::Set) {
        const Param &p = c.params[0];
        if (text) {
            which = p.quoted ? int(std::find(std::begin(names), std::end(names), p.text.toUpper()) - std::begin(names))
                             : 5;
        } else {
            which = toInt(p).value_or(5);
        }
        const auto m = optionalInt(c.params, 1, 0);
        if (which > 4 || !m || *m > 1 || c.params.size() > 2)
            return smsParamError();
        mode = *m;
    }
    for (auto it = store.begin(); it != store.end(); ++it) {
        if (which != 4 && int(it->status) != which)
            continue;
        c.info << readMessage(it.key(), *it, true);
        if (mode == 0 && it->status == MessageStatus::ReceivedUnread)
            it->status = MessageStatus::ReceivedRead;
    }
    return ok();
}

Result SimulatedModule::Impl::cmdCmgd(Command &c)
{
    if (c.form == Form::Test) {
        QList<QByteArray> used;
        for (int index : store.keys())
            used << number(index);
        c.info << "+CMGD: (" + used.join(',') + "),(0-4)";
        return ok();
    }
    if (c.form != Form::Set)
        return error();
    const auto flag = optionalInt(c.params, 1, 0);
    const auto index = optionalInt(c.params, 0, 0);
    if (!flag || *flag > 4 || !index || c.params.size() > 2)
        return smsParamError();
    if (*flag == 0) {
        if (!store.remove(*index))
            return cms(kCmsInvalidIndex);
        return ok();
    }
    // Flags 1..4 delete whole classes of messages: read; + sent; + unsent; all.
    store.removeIf([&](const auto &entry) {
        switch (entry.value().status) {
        case MessageStatus::ReceivedRead: return true;
        case MessageStatus::StoredSent: return *flag >= 2;
        case MessageStatus::StoredUnsent: return *flag >= 3;
        case MessageStatus::ReceivedUnread: return *flag == 4;
        }
        return false;
    });
    return ok();
}

QByteArray SimulatedModule::Impl::receiveSms(const QString &sender, const QString &text, const QString &timestamp)
{
    const StoredMessage m {MessageStatus::ReceivedUnread, sender, serviceCentre,
                           timestamp.isEmpty() ? currentTimestamp() : timestamp, SmsPdu::fitOneMessage(text)};
    const int mode = settings.cnmi[0];
    const int mt = settings.cnmi[1];
    if (mode != 0 && mt == 2) {
        // Routed straight to the terminal, not stored.
        QList<QByteArray> lines;
        if (settings.cmgf == 0) {
            int length = 0;
            const QByteArray pdu = SmsPdu::encodeDeliver({m.serviceCentre, m.sender, m.timestamp, m.text}, &length);
            lines << ("+CMT: ," + number(length)) << pdu.toHex().toUpper();
        } else {
            lines = readMessage(0, m, false);
            lines[0] = "+CMT: " + lines[0].mid(lines[0].indexOf(',') + 1);
        }
        return formatInfo(lines);
    }
    int index = 1;
    while (index <= kStorageSize && store.contains(index))
        ++index;
    if (index > kStorageSize)
        return {};
    store.insert(index, m);
    if (mode != 0 && (mt == 1 || mt == 3))
        return formatInfo({"+CMTI: \"SM\"," + number(index)});
    return {};
}

SimulatedModule::SimulatedModule() : d(std::make_unique<Impl>()) {}

SimulatedModule::~SimulatedModule() = default;

QByteArray SimulatedModule::Feed(const QByteArray &in)
{
    QByteArray out;
    QByteArrayView rest(in);
    while (!rest.isEmpty()) {
        const Output o = d->step(rest);
        out += o.echo;
        out += o.reply;
        rest = rest.sliced(o.consumed);
    }
    return out;
}

SimulatedModule::Output SimulatedModule::step(QByteArrayView in)
{
    return d->step(in);
}

void SimulatedModule::powerOn()
{
    d->powerOn();
}

QByteArray SimulatedModule::receiveSms(const QString &sender, const QString &text, const QString &timestamp)
{
    return d->receiveSms(sender, text, timestamp);
}

const QMap<int, SimulatedModule::StoredMessage> &SimulatedModule::storage() const
{
    return d->store;
}

const QList<SimulatedModule::SentMessage> &SimulatedModule::sentMessages() const
{
    return d->sent;
}

bool SimulatedModule::isEnteringMessage() const
{
    return d->state == Impl::State::MessageText || d->state == Impl::State::MessagePdu;
}
