#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QStringList>
#include <QtGlobal>

#include <array>
#include <optional>

// The client end of a Telnet connection with the Com Port Control option
// (RFC 2217): a serial port on another machine, reached through a server
// such as ser2net. Bytes only, no socket: the transport feeds what the
// server sent, sends what this class returns or queues, and reads the
// server's answers and notices from it.
//
// Option negotiation follows RFC 1143: a request from the server is
// answered only when it changes an option's state, so a server that repeats
// WILL or DO gets no answers to the repeats. The client offers, in start():
//  - WILL BINARY and DO BINARY: serial data is 8-bit, both ways (RFC 856);
//  - WILL COM-PORT-OPTION: the client sends the line settings (RFC 2217);
//  - DO SUPPRESS-GO-AHEAD: the server's output is not held for GA
//    (RFC 858); WILL SUPPRESS-GO-AHEAD is agreed when asked, as this client
//    never sends GA.
// ECHO (RFC 857) is not offered. The server's WILL ECHO is accepted: it
// says the far end echoes what it gets, which is how a serial line behaves
// (the module echoes), and this client does not echo locally either way.
// The server's DO ECHO is refused: echoing what the server sends would
// feed the module's replies back into the module. Every other option is
// refused, and so is the server's WILL COM-PORT-OPTION (the option's
// direction is the client's WILL).
//
// While BINARY is not agreed in a direction, that direction follows the
// NVT's rule for a bare carriage return: CR NUL from the server is one CR,
// and encode() sends a CR not followed by LF as CR NUL.
//
// Any split of the server's bytes across feed() calls gives the same data,
// answers, read-back values, notices and faults as the bytes in one piece.
// What the server gets wrong is kept as a short text (takeFaults()); memory
// stays bounded whatever it sends.
class Rfc2217Codec
{
public:
    // Telnet option codes.
    enum Option : quint8 { Binary = 0, Echo = 1, SuppressGoAhead = 3, ComPortOption = 44 };

    // SET-PARITY values.
    enum class Parity : quint8 { Request = 0, None = 1, Odd = 2, Even = 3, Mark = 4, Space = 5 };
    // SET-STOPSIZE values.
    enum class StopSize : quint8 { Request = 0, One = 1, Two = 2, OneAndHalf = 3 };
    // SET-CONTROL values; the Request ones ask for the current state of
    // their group.
    enum class Control : quint8 {
        RequestFlowControl = 0,
        NoFlowControl = 1,
        XonXoffFlowControl = 2,
        HardwareFlowControl = 3,
        RequestBreak = 4,
        BreakOn = 5,
        BreakOff = 6,
        RequestDtr = 7,
        DtrOn = 8,
        DtrOff = 9,
        RequestRts = 10,
        RtsOn = 11,
        RtsOff = 12,
        RequestInboundFlowControl = 13,
        InboundNoFlowControl = 14,
        InboundXonXoffFlowControl = 15,
        InboundHardwareFlowControl = 16,
        DcdFlowControl = 17,
        DtrFlowControl = 18,
        DsrFlowControl = 19,
    };
    // The settings SET-CONTROL reports one at a time: the flow control
    // (outbound or both ways: 1, 2, 3, 17, 19), BREAK (5, 6), DTR (8, 9),
    // RTS (11, 12), the inbound flow control (14, 15, 16, 18).
    enum class ControlGroup { FlowControl, Break, Dtr, Rts, InboundFlowControl };
    // PURGE-DATA values: the server's buffers to clear.
    enum class Purge : quint8 { Receive = 1, Transmit = 2, Both = 3 };

    // NOTIFY-MODEMSTATE and SET-MODEMSTATE-MASK bits.
    enum ModemState : quint8 {
        DeltaCts = 0x01,
        DeltaDsr = 0x02,
        RingTrailingEdge = 0x04,
        DeltaDcd = 0x08,
        Cts = 0x10,
        Dsr = 0x20,
        Ri = 0x40,
        Dcd = 0x80,
    };
    // NOTIFY-LINESTATE and SET-LINESTATE-MASK bits.
    enum LineState : quint8 {
        DataReady = 0x01,
        OverrunError = 0x02,
        ParityError = 0x04,
        FramingError = 0x08,
        BreakDetect = 0x10,
        HoldingRegisterEmpty = 0x20,
        ShiftRegisterEmpty = 0x40,
        TimeoutError = 0x80,
    };

    // Where the client's WILL COM-PORT-OPTION stands.
    enum class ComPortState {
        NotOffered, // start() not called yet
        Offered,    // no answer yet
        Agreed,     // DO: the line settings can be sent
        Refused,    // DONT (or agreed, then DONT): the server keeps its own settings
    };

    // A NOTIFY-MODEMSTATE or NOTIFY-LINESTATE as the server sent it.
    struct Notice
    {
        enum class Kind { ModemState, LineState };
        Kind kind;
        quint8 bits;
        bool operator==(const Notice &) const = default;
    };

    // A subnegotiation body (option, command, value) longer than this is
    // dropped as a fault, and the bytes after it are data again.
    static constexpr qsizetype kMaxSubnegotiation = 256;
    // Notices kept until takeNotices(); past this the oldest go.
    static constexpr qsizetype kMaxPendingNotices = 64;
    // Fault texts kept until takeFaults(); past this only faultCount() grows.
    static constexpr qsizetype kMaxPendingFaults = 16;
    // Answers to one option, each way, before further requests for it are
    // ignored as a fault (a server that keeps toggling or asking).
    static constexpr int kMaxAnswersPerOption = 8;
    // Bytes of data from the server after start() with no Telnet command at
    // all, after which it is taken for a server that speaks no Telnet.
    static constexpr qint64 kNoTelnetAfter = 512;

    // signature: the text sent when the server asks for the client's
    // signature.
    explicit Rfc2217Codec(QByteArray signature = QByteArrayLiteral("qrvterm"));

    // The client's offers, to send as soon as the connection is up; empty
    // after the first call.
    QByteArray start();

    // Data for the server with every 0xFF doubled (IAC IAC).
    static QByteArray escape(QByteArrayView data);
    // Data for the server as the current options want it: escaped, and
    // while the server has not agreed to binary input, a CR that is not
    // followed by LF in data sent as CR NUL.
    QByteArray encode(QByteArrayView data) const;

    // Takes bytes from the server, split anywhere, and returns the data in
    // them. Negotiation is answered (takeOutgoing()), subnegotiations of
    // the com port option are read into the values below.
    QByteArray feed(QByteArrayView fromServer);
    // The answers feed() queued, to send to the server.
    QByteArray takeOutgoing();

    ComPortState comPortState() const;
    // BINARY agreed: client to server, server to client.
    bool binaryToServer() const { return m_us[Binary] == Q::Yes; }
    bool binaryFromServer() const { return m_him[Binary] == Q::Yes; }
    // The server answered every offer of start().
    bool offersAnswered() const;
    // The server sent at least one Telnet command (negotiation,
    // subnegotiation or another command); false for a raw TCP port.
    bool telnetSeen() const { return m_telnetSeen; }
    // Whether the option is on, for the client (WILL) or the server (WILL).
    bool isEnabledForClient(quint8 option) const { return m_us[option] == Q::Yes; }
    bool isEnabledForServer(quint8 option) const { return m_him[option] == Q::Yes; }

    // Requests for the server. Each returns the bytes to send and forgets
    // the value last reported for that setting, so that the matching
    // read-back below is empty until the server answers. A value of 0
    // (Request) asks for the current setting.
    QByteArray setBaudRate(quint32 baud);
    QByteArray setDataSize(quint8 bits);
    QByteArray setParity(Parity parity);
    QByteArray setStopSize(StopSize size);
    QByteArray setControl(Control control);
    QByteArray purgeData(Purge which);
    QByteArray setLineStateMask(quint8 mask);
    QByteArray setModemStateMask(quint8 mask);
    // Asks for the server's signature.
    QByteArray requestSignature();
    // Asks the server to hold (or go on with) its data and commands.
    static QByteArray flowControlSuspend();
    static QByteArray flowControlResume();

    // What the server last reported for each setting (its answer to a
    // request, or a value it sent of its own accord).
    std::optional<quint32> baudRate() const { return m_baudRate; }
    std::optional<quint8> dataSize() const { return m_dataSize; }
    std::optional<Parity> parity() const { return m_parity; }
    std::optional<StopSize> stopSize() const { return m_stopSize; }
    std::optional<Control> control(ControlGroup group) const { return m_control[int(group)]; }
    std::optional<Purge> purged() const { return m_purged; }
    std::optional<quint8> lineStateMask() const { return m_lineStateMask; }
    std::optional<quint8> modemStateMask() const { return m_modemStateMask; }
    std::optional<QByteArray> serverSignature() const { return m_serverSignature; }
    // The group a SET-CONTROL value belongs to.
    static ControlGroup groupOf(Control control);

    // The last NOTIFY-MODEMSTATE / NOTIFY-LINESTATE, and how many came.
    std::optional<quint8> modemState() const { return m_modemState; }
    std::optional<quint8> lineState() const { return m_lineState; }
    int modemStateNotices() const { return m_modemStateNotices; }
    int lineStateNotices() const { return m_lineStateNotices; }
    // The notices since the last call, oldest first.
    QList<Notice> takeNotices();

    // The server sent FLOWCONTROL-SUSPEND and no FLOWCONTROL-RESUME since:
    // it asks the client to hold its data.
    bool flowSuspended() const { return m_flowSuspended; }

    // What the server got wrong since the last call, as short texts, oldest
    // first (at most kMaxPendingFaults); faultCount() counts them all.
    QStringList takeFaults();
    int faultCount() const { return m_faultCount; }

private:
    // An option's state on one side (RFC 1143). The client never asks to
    // turn an option off, so WANTNO does not arise.
    enum class Q : quint8 { No, Yes, WantYes };
    enum class State : quint8 { Data, Iac, Negotiate, Subnegotiation, SubnegotiationIac };

    void dataByte(quint8 byte, QByteArray &data);
    void subnegotiationByte(quint8 byte, QByteArray &data);
    void command(quint8 byte, QByteArray &data);
    void negotiate(quint8 verb, quint8 option);
    void endSubnegotiation();
    void comPort(quint8 code, QByteArrayView value);
    void sendNegotiation(quint8 verb, quint8 option);
    void notice(Notice::Kind kind, quint8 bits);
    // Counts a fault; text() makes its text while fewer than
    // kMaxPendingFaults wait.
    template <typename Text>
    void fault(Text &&text);

    QByteArray m_signature;
    std::array<Q, 256> m_us {};
    std::array<Q, 256> m_him {};
    std::array<quint8, 256> m_usAnswers {};
    std::array<quint8, 256> m_himAnswers {};
    bool m_started = false;

    State m_state = State::Data;
    quint8 m_verb = 0;
    bool m_afterCr = false;
    QByteArray m_sub;
    QByteArray m_outgoing;
    bool m_telnetSeen = false;
    qint64 m_dataSinceStart = 0;
    bool m_noTelnetNoted = false;

    std::optional<quint32> m_baudRate;
    std::optional<quint8> m_dataSize;
    std::optional<Parity> m_parity;
    std::optional<StopSize> m_stopSize;
    std::array<std::optional<Control>, 5> m_control;
    std::optional<Purge> m_purged;
    std::optional<quint8> m_lineStateMask;
    std::optional<quint8> m_modemStateMask;
    std::optional<QByteArray> m_serverSignature;
    std::optional<quint8> m_modemState;
    std::optional<quint8> m_lineState;
    int m_modemStateNotices = 0;
    int m_lineStateNotices = 0;
    QList<Notice> m_notices;
    bool m_flowSuspended = false;
    QStringList m_faults;
    int m_faultCount = 0;
};
