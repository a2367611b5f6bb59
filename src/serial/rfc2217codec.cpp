#include "serial/rfc2217codec.h"

#include <QCoreApplication>

#include <cstring>
#include <utility>

namespace {

// Telnet commands (RFC 854).
constexpr quint8 kIac = 255;
constexpr quint8 kDont = 254;
constexpr quint8 kDo = 253;
constexpr quint8 kWont = 252;
constexpr quint8 kWill = 251;
constexpr quint8 kSb = 250;
constexpr quint8 kSe = 240;

// Com port commands, client to server; the server's are these + 100.
constexpr quint8 kSignature = 0;
constexpr quint8 kSetBaudRate = 1;
constexpr quint8 kSetDataSize = 2;
constexpr quint8 kSetParity = 3;
constexpr quint8 kSetStopSize = 4;
constexpr quint8 kSetControl = 5;
constexpr quint8 kNotifyLineState = 6;
constexpr quint8 kNotifyModemState = 7;
constexpr quint8 kFlowControlSuspend = 8;
constexpr quint8 kFlowControlResume = 9;
constexpr quint8 kSetLineStateMask = 10;
constexpr quint8 kSetModemStateMask = 11;
constexpr quint8 kPurgeData = 12;
constexpr quint8 kServer = 100;

QString Tr(const char *text)
{
    return QCoreApplication::translate("Rfc2217Codec", text);
}

const char *commandName(quint8 code)
{
    static const char *const names[] = {
        "SIGNATURE",          "SET-BAUDRATE",      "SET-DATASIZE",       "SET-PARITY",         "SET-STOPSIZE",
        "SET-CONTROL",        "NOTIFY-LINESTATE",  "NOTIFY-MODEMSTATE",  "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME",
        "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK", "PURGE-DATA",
    };
    const int index = code >= kServer ? code - kServer : code;
    return index <= kPurgeData ? names[index] : "?";
}

// IAC SB COM-PORT-OPTION <code> <value, 0xFF doubled> IAC SE
QByteArray comPortCommand(quint8 code, QByteArrayView value)
{
    QByteArray out;
    out.reserve(6 + 2 * value.size());
    out.append(char(kIac)).append(char(kSb)).append(char(Rfc2217Codec::ComPortOption)).append(char(code));
    out.append(Rfc2217Codec::escape(value));
    out.append(char(kIac)).append(char(kSe));
    return out;
}

QByteArray comPortCommand(quint8 code, quint8 value)
{
    const char byte = char(value);
    return comPortCommand(code, QByteArrayView(&byte, 1));
}

bool acceptedForClient(quint8 option)
{
    return option == Rfc2217Codec::Binary || option == Rfc2217Codec::SuppressGoAhead
        || option == Rfc2217Codec::ComPortOption;
}

bool acceptedForServer(quint8 option)
{
    return option == Rfc2217Codec::Binary || option == Rfc2217Codec::SuppressGoAhead
        || option == Rfc2217Codec::Echo;
}

} // namespace

Rfc2217Codec::Rfc2217Codec(QByteArray signature) : m_signature(std::move(signature))
{
}

template <typename Text>
void Rfc2217Codec::fault(Text &&text)
{
    ++m_faultCount;
    if (m_faults.size() < kMaxPendingFaults)
        m_faults.append(text());
}

QByteArray Rfc2217Codec::start()
{
    if (m_started)
        return {};
    m_started = true;
    QByteArray out;
    const auto offer = [&](std::array<Q, 256> &side, quint8 verb, quint8 option) {
        if (side[option] != Q::No)
            return; // the server asked first and it was agreed
        side[option] = Q::WantYes;
        out.append(char(kIac)).append(char(verb)).append(char(option));
    };
    offer(m_us, kWill, Binary);
    offer(m_him, kDo, Binary);
    offer(m_us, kWill, ComPortOption);
    offer(m_him, kDo, SuppressGoAhead);
    return out;
}

QByteArray Rfc2217Codec::escape(QByteArrayView data)
{
    QByteArray out;
    out.reserve(data.size() + data.count(char(kIac)));
    for (const char c : data) {
        out.append(c);
        if (quint8(c) == kIac)
            out.append(c);
    }
    return out;
}

QByteArray Rfc2217Codec::encode(QByteArrayView data) const
{
    if (binaryToServer())
        return escape(data);
    QByteArray out;
    out.reserve(data.size() + data.size() / 8 + 2);
    for (qsizetype i = 0; i < data.size(); ++i) {
        const char c = data[i];
        out.append(c);
        if (quint8(c) == kIac)
            out.append(c);
        else if (c == '\r' && (i + 1 == data.size() || data[i + 1] != '\n'))
            out.append('\0');
    }
    return out;
}

QByteArray Rfc2217Codec::feed(QByteArrayView fromServer)
{
    QByteArray data;
    data.reserve(fromServer.size());
    const char *at = fromServer.data();
    const char *const end = at + fromServer.size();
    while (at < end) {
        // Binary data between commands is taken a run at a time: it needs
        // nothing done byte by byte.
        if (m_state == State::Data && binaryFromServer() && !m_afterCr && (m_telnetSeen || !m_started)) {
            const auto *iac = static_cast<const char *>(memchr(at, kIac, size_t(end - at)));
            const char *runEnd = iac ? iac : end;
            data.append(at, runEnd - at);
            at = runEnd;
            if (at == end)
                break;
        }
        const quint8 byte = quint8(*at++);
        switch (m_state) {
        case State::Data:
            if (byte == kIac) {
                m_state = State::Iac;
                m_afterCr = false;
            } else {
                dataByte(byte, data);
            }
            break;
        case State::Iac:
            m_state = State::Data;
            command(byte, data);
            break;
        case State::Negotiate:
            m_state = State::Data;
            m_telnetSeen = true;
            negotiate(m_verb, byte);
            break;
        case State::Subnegotiation:
            if (byte == kIac)
                m_state = State::SubnegotiationIac;
            else
                subnegotiationByte(byte, data);
            break;
        case State::SubnegotiationIac:
            if (byte == kIac) {
                m_state = State::Subnegotiation;
                subnegotiationByte(byte, data);
            } else if (byte == kSe) {
                m_state = State::Data;
                m_telnetSeen = true;
                endSubnegotiation();
                m_sub.clear();
            } else {
                fault([] { return Tr("A subnegotiation from the server was not ended by IAC SE; it was dropped"); });
                m_sub.clear();
                m_state = State::Data;
                command(byte, data);
            }
            break;
        }
    }
    return data;
}

void Rfc2217Codec::dataByte(quint8 byte, QByteArray &data)
{
    const bool nvt = !binaryFromServer();
    if (m_afterCr) {
        m_afterCr = false;
        if (byte == 0 && nvt)
            return; // CR NUL: a bare carriage return
    }
    data.append(char(byte));
    m_afterCr = nvt && byte == '\r';
    if (m_started && !m_telnetSeen && !m_noTelnetNoted && ++m_dataSinceStart >= kNoTelnetAfter) {
        m_noTelnetNoted = true;
        fault([] {
            return Tr("No Telnet negotiation in the server's first %1 bytes: it may be a raw TCP port, "
                      "not an RFC 2217 one")
                .arg(kNoTelnetAfter);
        });
    }
}

void Rfc2217Codec::subnegotiationByte(quint8 byte, QByteArray &data)
{
    if (m_sub.size() < kMaxSubnegotiation) {
        m_sub.append(char(byte));
        return;
    }
    fault([] {
        return Tr("The server sent a subnegotiation longer than %1 bytes; it was dropped and what follows "
                  "is taken as data")
            .arg(kMaxSubnegotiation);
    });
    m_sub.clear();
    m_state = State::Data;
    dataByte(byte, data);
}

void Rfc2217Codec::command(quint8 byte, QByteArray &data)
{
    switch (byte) {
    case kIac:
        dataByte(byte, data);
        return;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
        m_verb = byte;
        m_state = State::Negotiate;
        return;
    case kSb:
        m_sub.clear();
        m_state = State::Subnegotiation;
        return;
    case kSe:
        return; // the end of a subnegotiation that was dropped
    default:
        break;
    }
    if (byte > kSe) {
        // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA: nothing for a serial line.
        m_telnetSeen = true;
        return;
    }
    fault([&] {
        return Tr("The server sent 0xFF 0x%1, which is no Telnet command; 0x%1 is taken as data")
            .arg(byte, 2, 16, QLatin1Char('0'));
    });
    dataByte(byte, data);
}

void Rfc2217Codec::negotiate(quint8 verb, quint8 option)
{
    const bool forServer = verb == kWill || verb == kWont;
    const bool enable = verb == kWill || verb == kDo;
    Q &state = forServer ? m_him[option] : m_us[option];
    quint8 &answers = forServer ? m_himAnswers[option] : m_usAnswers[option];
    // The answer that agrees (DO / WILL) and the one that refuses.
    const quint8 yes = forServer ? kDo : kWill;
    const quint8 no = forServer ? kDont : kWont;

    const auto answer = [&](Q next, quint8 reply) {
        if (answers >= kMaxAnswersPerOption) {
            if (answers == kMaxAnswersPerOption) {
                ++answers;
                fault([&] {
                    return Tr("The server keeps negotiating option %1; its further requests for it are ignored")
                        .arg(option);
                });
            }
            return;
        }
        ++answers;
        state = next;
        sendNegotiation(reply, option);
    };

    switch (state) {
    case Q::No:
        if (!enable)
            return; // already off
        if (forServer ? acceptedForServer(option) : acceptedForClient(option))
            answer(Q::Yes, yes);
        else
            answer(Q::No, no);
        return;
    case Q::Yes:
        if (!enable)
            answer(Q::No, no); // the server turns it off: acknowledged
        return;
    case Q::WantYes:
        state = enable ? Q::Yes : Q::No; // the answer to the client's offer
        return;
    }
}

void Rfc2217Codec::sendNegotiation(quint8 verb, quint8 option)
{
    m_outgoing.append(char(kIac)).append(char(verb)).append(char(option));
}

QByteArray Rfc2217Codec::takeOutgoing()
{
    return std::exchange(m_outgoing, QByteArray());
}

void Rfc2217Codec::endSubnegotiation()
{
    if (m_sub.isEmpty()) {
        fault([] { return Tr("The server sent an empty subnegotiation"); });
        return;
    }
    const quint8 option = quint8(m_sub[0]);
    if (option != ComPortOption) {
        fault([&] { return Tr("The server sent a subnegotiation of option %1, which was not agreed").arg(option); });
        return;
    }
    if (m_sub.size() < 2) {
        fault([] { return Tr("The server sent a com port subnegotiation without a command"); });
        return;
    }
    comPort(quint8(m_sub[1]), QByteArrayView(m_sub).sliced(2));
}

void Rfc2217Codec::comPort(quint8 code, QByteArrayView value)
{
    if (code < kServer + kSignature || code > kServer + kPurgeData) {
        fault([&] {
            return code <= kPurgeData ? Tr("The server sent the com port command %1 (%2), which only a client sends")
                                            .arg(code)
                                            .arg(QLatin1String(commandName(code)))
                                      : Tr("The server sent the unknown com port command %1").arg(code);
        });
        return;
    }
    const QString name = QStringLiteral("%1 (%2)").arg(QLatin1String(commandName(code))).arg(code);
    const auto length = [&](qsizetype expected) {
        if (value.size() == expected)
            return true;
        fault([&] {
            return Tr("The server's com port answer %1 has %2 value bytes, not %3")
                .arg(name)
                .arg(value.size())
                .arg(expected);
        });
        return false;
    };
    const auto meaningless = [&](quint32 v) {
        fault([&] { return Tr("The server reported %1 for %2, which has no meaning there").arg(v).arg(name); });
    };

    switch (code - kServer) {
    case kSignature:
        if (value.isEmpty())
            m_outgoing.append(comPortCommand(kSignature, m_signature));
        else
            m_serverSignature = value.toByteArray();
        return;
    case kSetBaudRate: {
        if (!length(4))
            return;
        const quint32 baud = quint32(quint8(value[0])) << 24 | quint32(quint8(value[1])) << 16
            | quint32(quint8(value[2])) << 8 | quint32(quint8(value[3]));
        if (baud == 0)
            meaningless(baud);
        else
            m_baudRate = baud;
        return;
    }
    default:
        break;
    }

    if (code - kServer == kFlowControlSuspend || code - kServer == kFlowControlResume) {
        if (length(0))
            m_flowSuspended = code - kServer == kFlowControlSuspend;
        return;
    }
    if (!length(1))
        return;
    const quint8 v = quint8(value[0]);
    switch (code - kServer) {
    case kSetDataSize:
        if (v < 5 || v > 8)
            meaningless(v);
        else
            m_dataSize = v;
        return;
    case kSetParity:
        if (v < 1 || v > 5)
            meaningless(v);
        else
            m_parity = Parity(v);
        return;
    case kSetStopSize:
        if (v < 1 || v > 3)
            meaningless(v);
        else
            m_stopSize = StopSize(v);
        return;
    case kSetControl:
        // A request value in an answer, or one beyond the table, says nothing.
        if (v > quint8(Control::DsrFlowControl) || v == quint8(Control::RequestFlowControl)
            || v == quint8(Control::RequestBreak) || v == quint8(Control::RequestDtr)
            || v == quint8(Control::RequestRts) || v == quint8(Control::RequestInboundFlowControl))
            meaningless(v);
        else
            m_control[int(groupOf(Control(v)))] = Control(v);
        return;
    case kNotifyLineState:
        m_lineState = v;
        ++m_lineStateNotices;
        notice(Notice::Kind::LineState, v);
        return;
    case kNotifyModemState:
        m_modemState = v;
        ++m_modemStateNotices;
        notice(Notice::Kind::ModemState, v);
        return;
    case kSetLineStateMask:
        m_lineStateMask = v;
        return;
    case kSetModemStateMask:
        m_modemStateMask = v;
        return;
    case kPurgeData:
        if (v < 1 || v > 3)
            meaningless(v);
        else
            m_purged = Purge(v);
        return;
    default:
        return;
    }
}

Rfc2217Codec::ComPortState Rfc2217Codec::comPortState() const
{
    switch (m_us[ComPortOption]) {
    case Q::Yes:
        return ComPortState::Agreed;
    case Q::WantYes:
        return ComPortState::Offered;
    case Q::No:
        break;
    }
    // start() offers it; off after that means the server said DONT.
    return m_started ? ComPortState::Refused : ComPortState::NotOffered;
}

bool Rfc2217Codec::offersAnswered() const
{
    return m_started && m_us[Binary] != Q::WantYes && m_him[Binary] != Q::WantYes
        && m_us[ComPortOption] != Q::WantYes && m_him[SuppressGoAhead] != Q::WantYes;
}

QByteArray Rfc2217Codec::setBaudRate(quint32 baud)
{
    m_baudRate.reset();
    const char value[4] = { char(baud >> 24), char(baud >> 16), char(baud >> 8), char(baud) };
    return comPortCommand(kSetBaudRate, QByteArrayView(value, 4));
}

QByteArray Rfc2217Codec::setDataSize(quint8 bits)
{
    m_dataSize.reset();
    return comPortCommand(kSetDataSize, bits);
}

QByteArray Rfc2217Codec::setParity(Parity parity)
{
    m_parity.reset();
    return comPortCommand(kSetParity, quint8(parity));
}

QByteArray Rfc2217Codec::setStopSize(StopSize size)
{
    m_stopSize.reset();
    return comPortCommand(kSetStopSize, quint8(size));
}

QByteArray Rfc2217Codec::setControl(Control control)
{
    m_control[int(groupOf(control))].reset();
    return comPortCommand(kSetControl, quint8(control));
}

QByteArray Rfc2217Codec::purgeData(Purge which)
{
    m_purged.reset();
    return comPortCommand(kPurgeData, quint8(which));
}

QByteArray Rfc2217Codec::setLineStateMask(quint8 mask)
{
    m_lineStateMask.reset();
    return comPortCommand(kSetLineStateMask, mask);
}

QByteArray Rfc2217Codec::setModemStateMask(quint8 mask)
{
    m_modemStateMask.reset();
    return comPortCommand(kSetModemStateMask, mask);
}

QByteArray Rfc2217Codec::requestSignature()
{
    m_serverSignature.reset();
    return comPortCommand(kSignature, QByteArrayView());
}

QByteArray Rfc2217Codec::flowControlSuspend()
{
    return comPortCommand(kFlowControlSuspend, QByteArrayView());
}

QByteArray Rfc2217Codec::flowControlResume()
{
    return comPortCommand(kFlowControlResume, QByteArrayView());
}

Rfc2217Codec::ControlGroup Rfc2217Codec::groupOf(Control control)
{
    switch (control) {
    case Control::RequestFlowControl:
    case Control::NoFlowControl:
    case Control::XonXoffFlowControl:
    case Control::HardwareFlowControl:
    case Control::DcdFlowControl:
    case Control::DsrFlowControl:
        return ControlGroup::FlowControl;
    case Control::RequestBreak:
    case Control::BreakOn:
    case Control::BreakOff:
        return ControlGroup::Break;
    case Control::RequestDtr:
    case Control::DtrOn:
    case Control::DtrOff:
        return ControlGroup::Dtr;
    case Control::RequestRts:
    case Control::RtsOn:
    case Control::RtsOff:
        return ControlGroup::Rts;
    case Control::RequestInboundFlowControl:
    case Control::InboundNoFlowControl:
    case Control::InboundXonXoffFlowControl:
    case Control::InboundHardwareFlowControl:
    case Control::DtrFlowControl:
        return ControlGroup::InboundFlowControl;
    }
    return ControlGroup::FlowControl;
}

QList<Rfc2217Codec::Notice> Rfc2217Codec::takeNotices()
{
    return std::exchange(m_notices, {});
}

void Rfc2217Codec::notice(Notice::Kind kind, quint8 bits)
{
    if (m_notices.size() >= kMaxPendingNotices)
        m_notices.removeFirst();
    m_notices.append(Notice { kind, bits });
}

QStringList Rfc2217Codec::takeFaults()
{
    return std::exchange(m_faults, {});
}
