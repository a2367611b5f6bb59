// SimulatedModule and its line discipline: AT prefix, S3/S5, echo, A/, message entry, responses.
#include "simmodule.h"

#include "simmoduleimpl.h"

#include <algorithm>
#include <utility>

using namespace SimInternal;

namespace {

constexpr char kDefaultServiceCentre[] = "+8613800100500";

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
constexpr int kMaxBody = 1024;

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

} // namespace

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
    clockOffsetMs = 0;
    clockZone.reset();
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
    o.reset = std::exchange(resetAsked, false);
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
    case State::Data:
        // Data goes to the network unseen; "+++" ends the call (without
        // the guard times a real module wants around it).
        escapePluses = c == '+' ? escapePluses + 1 : 0;
        if (escapePluses < 3)
            return false;
        state = State::Idle;
        o.reply = formatResult(noCarrier());
        return true;
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
    } else if (r.kind == Result::Connect) {
        text = "CONNECT";
        code = 1;
    } else if (r.kind == Result::NoCarrier) {
        text = "NO CARRIER";
        code = 3;
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

void SimulatedModule::setUnit(int unit)
{
    d->unit = std::max(unit, 0);
}

int SimulatedModule::unit() const
{
    return d->unit;
}

QByteArray SimulatedModule::bootMessages() const
{
    return d->bootMessages();
}

QByteArray SimulatedModule::Impl::bootMessages() const
{
    QByteArray out;
    for (const char *line : {"RDY", "+CFUN: 1", "+CPIN: READY", "SMS Ready"})
        out += lineEnd() + line + lineEnd();
    return out;
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

QByteArray SimulatedModule::dropDataCall()
{
    return d->dropDataCall();
}

QByteArray SimulatedModule::Impl::dropDataCall()
{
    if (state != State::Data)
        return {};
    state = State::Idle;
    return formatResult(noCarrier());
}

bool SimulatedModule::inDataCall() const
{
    return d->state == Impl::State::Data;
}

bool SimulatedModule::isEnteringMessage() const
{
    return d->state == Impl::State::MessageText || d->state == Impl::State::MessagePdu;
}
