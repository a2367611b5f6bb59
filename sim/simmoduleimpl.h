// SimulatedModule::Impl and what its parts share: settings, results, error codes.
#pragma once

// Private to sim/: the line discipline (simmodule.cpp), the command-line
// parser (simparser.cpp), the command handlers (simgeneral.cpp,
// simnetwork.cpp, simsms.cpp, simsmsstore.cpp) and the character sets
// (simcharset.cpp) all define members of the one Impl declared here.

#include "simmodule.h"
#include "simparser.h"

#include <QHash>

#include <array>
#include <cstddef>
#include <optional>

namespace SimInternal {

inline constexpr char kManufacturer[] = "QRV";
inline constexpr char kModel[] = "QRV-G1";
inline constexpr char kRevision[] = "QRV-G1_R1.02";

// +CME ERROR codes.
inline constexpr int kCmeNotAllowed = 3;
inline constexpr int kCmeNoService = 30;
inline constexpr int kCmeIncorrectParameters = 50;

// +CMS ERROR codes.
inline constexpr int kCmsInvalidPduParameter = 304;
inline constexpr int kCmsInvalidTextParameter = 305;
inline constexpr int kCmsInvalidIndex = 321;
inline constexpr int kCmsSmscUnknown = 330;
inline constexpr int kCmsNoService = 331;

struct SRegister
{
    int number;
    int defaultValue;
    int max;
};

// S3 ends a command line, S4 is the line feed of responses, S5 deletes the
// previous character; the others are only stored.
inline constexpr std::array<SRegister, 8> kSRegisters = {{
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

inline int sRegisterSlot(int number)
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
    int cusd = 0; // +CUSD result code presentation
};

struct Result
{
    enum Kind { Ok, Error, Cme, Cms, Prompt, Connect, NoCarrier };
    Kind kind = Ok;
    int code = 0;
};

inline Result ok() { return {Result::Ok, 0}; }
inline Result error() { return {Result::Error, 0}; }
inline Result cme(int code) { return {Result::Cme, code}; }
inline Result cms(int code) { return {Result::Cms, code}; }
inline Result prompt() { return {Result::Prompt, 0}; }
inline Result connect() { return {Result::Connect, 0}; }
inline Result noCarrier() { return {Result::NoCarrier, 0}; }

inline QByteArray quoted(const QByteArray &s)
{
    return '"' + s + '"';
}

inline QByteArray number(int v)
{
    return QByteArray::number(v);
}

} // namespace SimInternal

class SimulatedModule::Impl
{
public:
    using Settings = SimInternal::Settings;
    using Command = SimInternal::Command;
    using Result = SimInternal::Result;

    Impl() { powerOn(); }

    void powerOn();
    Output step(QByteArrayView in);
    QByteArray receiveSms(const QString &sender, const QString &text, const QString &timestamp);
    QByteArray bootMessages() const;

    int unit = 0; // kept by powerOn()

    QMap<int, StoredMessage> store;
    QList<SentMessage> sent;
    QList<Output::Unsolicited> scheduled; // asked for by the line being run
    bool resetAsked = false;               // by the line being run

    enum class State { Idle, GotA, Line, MessageText, MessagePdu, Data };
    // The '+' bytes in a row during a data call (three end it).
    int escapePluses = 0;
    // Ends a data call from outside; its NO CARRIER, or nothing.
    QByteArray dropDataCall();
    State state = State::Idle;

private:
    using Handler = Result (Impl::*)(Command &);
    static const QHash<QByteArray, Handler> &handlers();

    // Line discipline and response formatting (simmodule.cpp).
    int sRegister(int number) const { return settings.sRegisters[size_t(SimInternal::sRegisterSlot(number))]; }
    void echo(char c, Output &o) const
    {
        if (settings.echo)
            o.echo.append(c);
    }
    bool consume(char c, Output &o);
    bool consumeMessageByte(char c, Output &o);

    QByteArray lineEnd() const;
    QByteArray formatInfo(const QList<QByteArray> &lines) const;
    QByteArray formatResult(const Result &r) const;
    QByteArray messagePrompt() const { return lineEnd() + "> "; }

    // Running a command line (simparser.cpp).
    QByteArray execute(const QByteArray &raw);
    Result runBasic(const QByteArray &cmd, qsizetype &pos, QList<QByteArray> &info);

    // Strings as the TE character set carries them, both ways (simcharset.cpp).
    QByteArray toTe(const QString &text) const;
    std::optional<QString> fromTe(const QByteArray &bytes) const;
    // A message body as text mode shows it: hex UTF-16 when it needs UCS2.
    QByteArray bodyToTe(const QString &text) const;

    // Message entry after +CMGS (simsms.cpp).
    std::optional<QString> enteredText(const QByteArray &body, quint8 dcs) const;
    QByteArray finishMessage();

    bool registered() const { return cfun == 1 && copsMode != 2; }
    Result smsParamError() const
    {
        return SimInternal::cms(settings.cmgf ? SimInternal::kCmsInvalidTextParameter
                                              : SimInternal::kCmsInvalidPduParameter);
    }
    // A setting that is one number: read, test and set forms (simgeneral.cpp).
    Result numberSetting(Command &c, int &value, int max, const char *range, bool sms);
    // A message as +CMGR / +CMGL show it, header line and body (simsmsstore.cpp).
    QList<QByteArray> readMessage(int index, const StoredMessage &m, bool listing) const;

    // What tells this unit from others (simgeneral.cpp, simnetwork.cpp).
    QByteArray imei() const;
    QByteArray iccid() const;
    QByteArray imsi() const;
    int rssi() const;

    // General and identification commands (simgeneral.cpp).
    Result cmdIdentification(Command &c);
    Result cmdCpin(Command &c);
    Result cmdCfun(Command &c);
    Result cmdCmee(Command &c) { return numberSetting(c, settings.cmee, 2, "(0-2)", false); }
    Result cmdCscs(Command &c);
    Result cmdClac(Command &c);
    Result cmdCclk(Command &c);
    Result cmdCbc(Command &c);
    Result cmdQsimurc(Command &c);

    // Network commands (simnetwork.cpp).
    Result cmdCsq(Command &c);
    Result cmdRegistration(Command &c);
    Result cmdCops(Command &c);
    Result cmdCgatt(Command &c) { return numberSetting(c, cgatt, 1, "(0,1)", false); }
    Result cmdCusd(Command &c);

    // Short message settings and sending (simsms.cpp).
    Result cmdCsms(Command &c);
    Result cmdCsca(Command &c);
    Result cmdCmgf(Command &c) { return numberSetting(c, settings.cmgf, 1, "(0,1)", true); }
    Result cmdCsdh(Command &c) { return numberSetting(c, settings.csdh, 1, "(0,1)", true); }
    Result cmdCnmi(Command &c);
    Result cmdCsmp(Command &c);
    Result cmdCmgs(Command &c);

    // The message store (simsmsstore.cpp).
    Result cmdCpms(Command &c);
    Result cmdCmgr(Command &c);
    Result cmdCmgl(Command &c);
    Result cmdCmgd(Command &c);

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

    qint64 clockOffsetMs = 0;        // how far the +CCLK clock is ahead of the host's
    std::optional<int> clockZone;    // quarter hours; the host's zone until set
};
