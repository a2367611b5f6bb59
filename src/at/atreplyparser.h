#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <functional>

// A final result code of an AT command (ITU-T V.250, 3GPP TS 27.007 and
// 27.005), in verbose form. Numeric result codes (ATV0) are not recognised:
// "0" or "4" is an information line like any other.
struct AtFinalResult
{
    enum class Code {
        None,       // the line is no final result code
        Ok,         // OK
        Connect,    // CONNECT, with or without text after it
        Prompt,     // "> ": the command asks for a body
        Error,      // ERROR
        CmeError,   // +CME ERROR: <n> or text
        CmsError,   // +CMS ERROR: <n> or text
        NoCarrier,  // NO CARRIER
        Busy,       // BUSY
        NoAnswer,   // NO ANSWER
        NoDialtone, // NO DIALTONE
    };

    Code code = Code::None;
    // <n> of "+CME ERROR: <n>" / "+CMS ERROR: <n>" when it is a number; -1
    // otherwise (verbose error text, or another code).
    int number = -1;
    // The line as received, without its line end.
    QByteArray text;

    // OK, CONNECT and the prompt let a run go on; the others are failures.
    bool Succeeded() const { return code == Code::Ok || code == Code::Connect || code == Code::Prompt; }

    // What a whole received line (no CR or LF in it) is: Code::None when it
    // is no final result code. Exact upper-case spelling, as modules send
    // them; "CONNECT" may be followed by a space and text; "+CME ERROR:" and
    // "+CMS ERROR:" take a number or text after optional spaces. Never
    // Code::Prompt: the prompt is no line (AtReplyParser finds it).
    static AtFinalResult Classify(const QByteArray &line);
    // "OK", "CONNECT", "PROMPT", "ERROR", "+CME ERROR", "+CMS ERROR",
    // "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"; "" for None.
    static const char *Name(Code code);
};

// Splits what a module sends into the lines of AT transactions: the echo of
// the command, its information lines, its final result code, and the lines
// the module sends on its own (unsolicited result codes, URCs). A plain
// class: bytes in, events out, any split of the input gives the same events.
//
// Lines end at CR or LF. A line's event accounts for its text and the CR or
// LF that ended it; every other CR or LF (empty lines, the LF of CR LF) is
// one Noise event of its own, so noise too is the same for any split.
//
// While a command waits for its result (BeginCommand until its final result
// code or EndCommand):
// - the first line equal to the command (ignoring trailing control bytes
//   such as the SUB that ends a message body), when no line of the reply
//   came before it (a URC may), is its echo;
// - a final result code ends the command;
// - for a command that asks for a body (AsksForBody), "> " at the start of a
//   line is the prompt and ends the command as soon as it is held (the
//   module sends no line end after it);
// - a line of a known unsolicited result code (IsKnownUrc) is a URC, unless
//   it carries the command's own name (AT+CREG? is answered by +CREG: lines);
//   the line after +CMT:, +CDS: or +CBM: (the message itself) belongs to that
//   URC (Event::continuation);
// - any other line is an information line of the command.
// While no command waits, every line is a URC.
//
// Every byte fed is accounted for exactly once: the bytes of the events'
// `bytes` fields plus PendingBytes() always equal the bytes fed.
class AtReplyParser
{
public:
    enum class Kind { Echo, Info, Final, Urc, Noise };

    struct Event
    {
        Kind kind = Kind::Noise;
        QByteArray text;          // the line without its line end (Noise: the bytes)
        qsizetype bytes = 0;      // input bytes this event accounts for
        AtFinalResult final;      // Kind::Final: the result (Prompt for "> ")
        bool continuation = false; // Kind::Urc: the second line of a two-line URC
    };
    using Sink = std::function<void(const Event &)>;

    // A line held longer than this without a line end is given out as it
    // stands (as an information line or a URC), so memory stays bounded; the
    // rest of that line is given out as the same kind, never as an echo, a
    // final result code or the prompt.
    static constexpr qsizetype kMaxLineLength = 64 * 1024;

    explicit AtReplyParser(Sink sink);

    // A command was written (its text as sent, without the end character):
    // what follows is its reply. A command still waiting is abandoned first.
    // A line held without its line end is given out first, as Flush does, so
    // that it is judged as what came before the command. The sink may call
    // this (e.g. on a Final, for the next command).
    void BeginCommand(const QByteArray &command);
    // The waiting command is given up (time-out): a held line is given out
    // as the command's, later lines are URCs.
    void EndCommand();
    bool CommandPending() const;

    // Received bytes, in any pieces.
    void Feed(const char *data, qsizetype n);
    void Feed(const QByteArray &bytes) { Feed(bytes.constData(), bytes.size()); }
    // Gives out a line held without its line end (the run is over).
    void Flush();
    qsizetype PendingBytes() const;

    // Whether a line is a known unsolicited result code: RING, and the
    // +CRING, +CMTI, +CMT, +CDS, +CDSI, +CBM, +CBMI, +CREG, +CGREG, +CEREG,
    // +C5GREG, +CLIP, +CCWA, +CUSD, +CIEV, +CGEV, +CSSI, +CSSU, +CTZV, +CTZE
    // lines ("<name>:" at the start), except the name of the command that
    // waits (commandName, e.g. "+CREG"; empty for none).
    static bool IsKnownUrc(const QByteArray &line, const QByteArray &commandName = QByteArray());
    // The extended command's name of a command line: "AT+CREG?" gives
    // "+CREG", "at+cmgs=\"123\"" gives "+CMGS" (upper case); empty for a
    // basic command such as ATI or ATD123;. The name is that of the first
    // command after AT; besides "+", the vendor prefixes ^ $ # * % are taken
    // ("AT^SYSINFO" gives "^SYSINFO").
    static QByteArray CommandName(const QByteArray &command);
    // Commands that answer with "> " and wait for a body: +CMGS, +CMGW,
    // +CMGC, +CNMA, and any extended command whose name ends in SEND
    // (+CIPSEND, +QISEND, +MIPSEND, ...); not their test ("=?") and read
    // ("?") forms.
    static bool AsksForBody(const QByteArray &command);

private:
    void Emit(const Event &event);
    void Judge(Event &event, bool whole);
    void GiveOutHeld(qsizetype lineEndBytes);
    void CutHeld();

    Sink m_sink;
    QByteArray m_line;            // the line held, without line end
    QByteArray m_command;         // the waiting command, as sent
    QByteArray m_commandName;
    bool m_pending = false;
    bool m_sawLine = false;       // a line came for the waiting command
    bool m_bodyAsked = false;
    bool m_urcBodyNext = false;   // the next line is the message of +CMT/+CDS/+CBM
    bool m_cut = false;           // m_line is the rest of a line given out in part
    Kind m_cutKind = Kind::Info;  // how that line was given out
    bool m_cutContinuation = false;
};
