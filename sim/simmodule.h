#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMap>
#include <QString>

#include <memory>

// A virtual GSM/GPRS module that answers AT commands (V.250 command line,
// 27.007 general and network commands, 27.005 short messages in text and
// PDU mode). Pure logic: bytes the terminal sent go in, the bytes the
// module answers come out. Input may arrive in arbitrary pieces.
//
// Line discipline: a command line starts with "AT" (either letter in either
// case) and ends with S3 (CR); S5 (backspace) deletes the previous character;
// bytes outside a command line (garbage, the LF after CR) are dropped without
// echo. With ATE1 every byte of a command line is echoed as it arrives, from
// its 'A' up to and including the CR, and so is the body of a message.
// "A/" repeats the previous command line.
//
// A command of the simulator's own, AT+QSIMURC=<ms>,"<text>" (ms up to
// 600000), answers OK and has the module send <text> as an unsolicited
// result code (between line ends) ms milliseconds later, so that a terminal's
// handling of RING, +CMTI and the like can be tried on demand. In <text>,
// "\XX" (two hex digits) stands for that byte: "+CMTI: \22SM\22,3".
//
// Units: several modules served side by side tell themselves apart by their
// unit number (setUnit()). Unit 0, the default, answers IMEI 864125034179259
// (+CGSN / +GSN), ICCID 89860099123456789018 (+CCID), IMSI 460990123456789
// (+CIMI) and +CSQ: 20,99. Unit n adds n to the serial part of each number
// (the last 6 digits before the IMEI's Luhn check digit, the last 10 before
// the ICCID's, the 10-digit MSIN of the IMSI), check digits recomputed, and
// has an rssi in 10..31 other than 20, different for units 1 to 21.
//
// The clock (+CCLK) runs at the host clock plus whatever offset the last
// AT+CCLK="yy/MM/dd,hh:mm:ss±zz" set (zone in quarter hours, optional), in
// the host's zone until one is set. +CBC reports a battery at 85 %, 3987 mV.
// USSD (+CUSD): "*100#" (balance) and "*101#" (data left) are answered
// 200 ms after the OK with +CUSD: 0,"<text>",15, other codes with
// +CUSD: 4, both only while the result code presentation is on.
//
// A packet data call, ATD*99# (or *99***<cid>#), answers CONNECT and puts
// the line in data mode: what follows is swallowed as data, until "+++"
// ends the call with NO CARRIER (no guard times) or the terminal drops DTR
// (dropDataCall()). Other dial strings answer ERROR.
//
// Character sets (+CSCS): "IRA" carries text as ASCII and "GSM" as 8-bit
// Latin-1 (characters that do not fit become '?'); "UCS2" carries every
// string as hex UTF-16.
// A stored message whose text needs UCS2 is always shown as hex UTF-16 in
// text mode, whatever +CSCS says.
class SimulatedModule
{
public:
    enum class MessageStatus { ReceivedUnread = 0, ReceivedRead = 1, StoredUnsent = 2, StoredSent = 3 };

    struct StoredMessage
    {
        MessageStatus status = MessageStatus::ReceivedUnread;
        QString sender;
        QString serviceCentre;
        QString timestamp; // "yy/MM/dd,hh:mm:ss+zz", zone in quarter hours
        QString text;
    };

    struct SentMessage
    {
        int reference = 0;
        QString destination;
        quint8 dcs = 0;
        QString text; // decoded body; 8-bit data as upper-case hex
        bool pduMode = false;
    };

    // What one call of step() produced.
    struct Output
    {
        qsizetype consumed = 0;  // input bytes used
        QByteArray echo;         // echo and prompts, due at once
        QByteArray reply;        // the answer to a completed line or message
        bool completed = false;  // the last byte consumed completed a line or message
        // Unsolicited result codes the line asked for (AT+QSIMURC), each due
        // delayMs after the line was completed.
        struct Unsolicited
        {
            int delayMs = 0;
            QByteArray bytes;
        };
        QList<Unsolicited> unsolicited;
        // The line asked for a reset (AT+CFUN=1,1): once the reply is out the
        // module drops its line, and after it is back it says bootMessages().
        bool reset = false;
    };

    static constexpr int kStorageSize = 20;
    static constexpr int kMaxLineLength = 1024;

    SimulatedModule();
    ~SimulatedModule();
    SimulatedModule(const SimulatedModule &) = delete;
    SimulatedModule &operator=(const SimulatedModule &) = delete;

    // Takes bytes from the terminal and returns everything the module sends
    // back for them (echo, prompts, responses), possibly nothing.
    QByteArray Feed(const QByteArray &in);

    // Consumes input up to and including the first byte that completes a
    // command line or a message (or all of it), keeping echo and reply apart
    // so that a caller can delay the reply but not the echo.
    Output step(QByteArrayView in);

    // Back to the state after switching on: default settings, the preloaded
    // messages, no pending input.
    void powerOn();

    // The unit number (0 or more) the identity is derived from; see above.
    // powerOn() keeps it.
    void setUnit(int unit);
    int unit() const;

    // A message arrives from the network: stored in the first free index (or
    // handed over directly with +CNMI mt=2). Returns the unsolicited result
    // code to send (+CMTI or +CMT), empty when there is none or storage is
    // full. timestamp defaults to the current local time.
    QByteArray receiveSms(const QString &sender, const QString &text, const QString &timestamp = QString());

    // What the module says on its own after switching on or a reset:
    // RDY, +CFUN: 1, +CPIN: READY and SMS Ready, each between line ends.
    QByteArray bootMessages() const;

    const QMap<int, StoredMessage> &storage() const;
    const QList<SentMessage> &sentMessages() const;
    // True between the "> " prompt of +CMGS and the Ctrl-Z / ESC that ends it.
    bool isEnteringMessage() const;
    // True between the CONNECT of a packet data call (ATD*99#) and the
    // "+++" that ends it with NO CARRIER; the carrier (DCD) is on then.
    bool inDataCall() const;
    // DTR dropped during a data call (as with AT&D2): the call ends;
    // returns the NO CARRIER to send, empty when there was no call.
    QByteArray dropDataCall();

private:
    class Impl;
    std::unique_ptr<Impl> d;
};
