#include "serial/rfc2217transport.h"

#include <QTimer>

#include <algorithm>

namespace {

Rfc2217Codec::Parity ParityOf(SerialSettings::Parity parity)
{
    switch (parity) {
    case SerialSettings::Parity::Even:
        return Rfc2217Codec::Parity::Even;
    case SerialSettings::Parity::Odd:
        return Rfc2217Codec::Parity::Odd;
    case SerialSettings::Parity::None:
        break;
    }
    return Rfc2217Codec::Parity::None;
}

Rfc2217Codec::StopSize StopSizeOf(SerialSettings::StopBits stop)
{
    switch (stop) {
    case SerialSettings::StopBits::Two:
        return Rfc2217Codec::StopSize::Two;
    case SerialSettings::StopBits::OnePointFive:
        return Rfc2217Codec::StopSize::OneAndHalf;
    case SerialSettings::StopBits::One:
        break;
    }
    return Rfc2217Codec::StopSize::One;
}

QString ParityName(Rfc2217Codec::Parity parity)
{
    switch (parity) {
    case Rfc2217Codec::Parity::None:
        return QStringLiteral("no parity");
    case Rfc2217Codec::Parity::Odd:
        return QStringLiteral("odd parity");
    case Rfc2217Codec::Parity::Even:
        return QStringLiteral("even parity");
    case Rfc2217Codec::Parity::Mark:
        return QStringLiteral("mark parity");
    case Rfc2217Codec::Parity::Space:
        return QStringLiteral("space parity");
    case Rfc2217Codec::Parity::Request:
        break;
    }
    return QStringLiteral("parity %1").arg(int(parity));
}

QString StopName(Rfc2217Codec::StopSize stop)
{
    switch (stop) {
    case Rfc2217Codec::StopSize::One:
        return QStringLiteral("1 stop bit");
    case Rfc2217Codec::StopSize::Two:
        return QStringLiteral("2 stop bits");
    case Rfc2217Codec::StopSize::OneAndHalf:
        return QStringLiteral("1.5 stop bits");
    case Rfc2217Codec::StopSize::Request:
        break;
    }
    return QStringLiteral("stop size %1").arg(int(stop));
}

} // namespace

void Rfc2217Transport::startSession(const SerialSettings &settings, std::function<void(Started)> done)
{
    m_note.clear();
    m_codec = Rfc2217Codec();
    m_heard = false;
    m_modemStateAsked = false;
    m_lines = {};
    ++m_breakGeneration;
    sendRaw(m_codec.start());
    // A Telnet server's first bytes are its own offers: bytes that are not
    // mean no Telnet, with no need to wait longer.
    waitFor([this] { return m_codec.offersAnswered() || (m_heard && !m_codec.telnetSeen()); }, kNegotiationMs,
            [this, settings, done] {
        if (!connected())
            return done({false, false, QString()}); // closed at once: told by the caller
        if (!m_heard)
            return done({false, false,
                         QStringLiteral("the server answered nothing within %1 s: is it an RFC 2217 port?")
                             .arg(kNegotiationMs / 1000)});
        if (!m_codec.telnetSeen())
            return done({false, false,
                         QStringLiteral("the server does not speak Telnet (RFC 2217); for a raw TCP port use "
                                        "socket://%1:%2")
                             .arg(address().host)
                             .arg(address().port)});
        if (m_codec.comPortState() != Rfc2217Codec::ComPortState::Agreed) {
            // Telnet without the com port option: the server's settings stand.
            m_note = QStringLiteral("%1 takes no line settings (the server refused the com port option): "
                                    "the server's are used")
                         .arg(name());
            return done({});
        }
        QByteArray requests = m_codec.setBaudRate(settings.baudRate) + m_codec.setDataSize(settings.dataBits)
            + m_codec.setParity(ParityOf(settings.parity)) + m_codec.setStopSize(StopSizeOf(settings.stopBits))
            + m_codec.setControl(Rfc2217Codec::Control::NoFlowControl);
        // Raised as asked; nothing is lowered on open, as with a local device.
        if (settings.rtsHandshake)
            requests += m_codec.setControl(Rfc2217Codec::Control::RtsOn);
        if (settings.dtrHandshake)
            requests += m_codec.setControl(Rfc2217Codec::Control::DtrOn);
        // Every status line and its changes, the ring's end included: the
        // server tells them as they happen (no poll).
        requests += m_codec.setModemStateMask(0xFF);
        m_modemStateAsked = true;
        sendRaw(requests);
        const auto lineAnswered = [this] {
            return m_codec.baudRate() && m_codec.dataSize() && m_codec.parity() && m_codec.stopSize();
        };
        const auto controlsAnswered = [this, settings] {
            return m_codec.control(Rfc2217Codec::ControlGroup::FlowControl)
                && (!settings.rtsHandshake || m_codec.control(Rfc2217Codec::ControlGroup::Rts))
                && (!settings.dtrHandshake || m_codec.control(Rfc2217Codec::ControlGroup::Dtr));
        };
        // Settings first; a server that does not confirm the control lines
        // (one in front of a port without them) holds the open a short
        // while only.
        waitFor(lineAnswered, kSettingsMs, [this, settings, done, controlsAnswered] {
            waitFor(controlsAnswered, kControlsMs, [this, settings, done] {
                if (!connected())
                    return done({false, false, QString()});
                Started started = judgeSettings(settings);
                // What the server got wrong on the way is said, not hidden.
                if (const QStringList faults = m_codec.takeFaults(); !faults.isEmpty()) {
                    const QString fault =
                        QStringLiteral("the server sent what RFC 2217 does not allow: ") + faults.constFirst();
                    if (started.rejected)
                        started.why += QStringLiteral(" (%1)").arg(fault);
                    else if (started.ok)
                        m_note += (m_note.isEmpty() ? name() + QStringLiteral(": ") : QStringLiteral("; ")) + fault;
                }
                done(started);
            });
        });
    });
}

NetworkTransport::Started Rfc2217Transport::judgeSettings(const SerialSettings &settings)
{
    const quint32 baud = settings.baudRate;
    const quint8 bits = settings.dataBits;
    const Rfc2217Codec::Parity parity = ParityOf(settings.parity);
    const Rfc2217Codec::StopSize stop = StopSizeOf(settings.stopBits);
    // What the server set, against what was asked.
    QStringList refused;
    if (m_codec.baudRate() && *m_codec.baudRate() != baud)
        refused << QStringLiteral("%1 baud for %2").arg(*m_codec.baudRate()).arg(baud);
    if (m_codec.dataSize() && *m_codec.dataSize() != bits)
        refused << QStringLiteral("%1 data bits for %2").arg(*m_codec.dataSize()).arg(bits);
    if (m_codec.parity() && *m_codec.parity() != parity)
        refused << QStringLiteral("%1 for %2").arg(ParityName(*m_codec.parity()), ParityName(parity));
    if (m_codec.stopSize() && *m_codec.stopSize() != stop)
        refused << QStringLiteral("%1 for %2").arg(StopName(*m_codec.stopSize()), StopName(stop));
    // A server that answers some settings and not another did not take
    // that one (ser2net leaves 1.5 stop bits unanswered where the port has
    // none); one that answers none may only be slow to confirm.
    const bool someAnswered = m_codec.baudRate() || m_codec.dataSize() || m_codec.parity() || m_codec.stopSize();
    if (someAnswered) {
        if (!m_codec.baudRate())
            refused << QStringLiteral("no answer to %1 baud").arg(baud);
        if (!m_codec.dataSize())
            refused << QStringLiteral("no answer to %1 data bits").arg(bits);
        if (!m_codec.parity())
            refused << QStringLiteral("no answer to %1").arg(ParityName(parity));
        if (!m_codec.stopSize())
            refused << QStringLiteral("no answer to %1").arg(StopName(stop));
    }
    if (!refused.isEmpty())
        return {false, true,
                QStringLiteral("%1: the server did not take the line settings: %2")
                    .arg(name(), refused.join(QStringLiteral(", ")))};
    QStringList unconfirmed;
    if (!someAnswered)
        unconfirmed << QStringLiteral("the line settings");
    if (settings.rtsHandshake && !m_codec.control(Rfc2217Codec::ControlGroup::Rts))
        unconfirmed << QStringLiteral("RTS");
    if (settings.dtrHandshake && !m_codec.control(Rfc2217Codec::ControlGroup::Dtr))
        unconfirmed << QStringLiteral("DTR");
    if (!unconfirmed.isEmpty())
        m_note = QStringLiteral("%1 did not confirm %2; the port is open").arg(name(), unconfirmed.join(QStringLiteral(", ")));
    return {};
}

QByteArray Rfc2217Transport::decode(const QByteArray &fromServer)
{
    m_heard = m_heard || !fromServer.isEmpty();
    const QByteArray data = m_codec.feed(fromServer);
    sendRaw(m_codec.takeOutgoing());
    takeModemState();
    return data;
}

void Rfc2217Transport::takeModemState()
{
    for (const Rfc2217Codec::Notice &notice : m_codec.takeNotices()) {
        if (notice.kind != Rfc2217Codec::Notice::Kind::ModemState)
            continue;
        ModemLines lines;
        lines.cts = notice.bits & Rfc2217Codec::Cts;
        lines.dsr = notice.bits & Rfc2217Codec::Dsr;
        lines.dcd = notice.bits & Rfc2217Codec::Dcd;
        lines.ri = notice.bits & Rfc2217Codec::Ri;
        // A ring is counted where RI goes off, or where the server says one
        // ended without having shown RI on.
        lines.rings = m_lines.rings;
        if ((m_lines.ri && !lines.ri) || (!m_lines.ri && (notice.bits & Rfc2217Codec::RingTrailingEdge)))
            ++lines.rings;
        if (lines == m_lines)
            continue;
        m_lines = lines;
        emit modemLinesChanged(m_lines);
    }
}

bool Rfc2217Transport::comPortAgreed() const
{
    return isOpen() && m_codec.comPortState() == Rfc2217Codec::ComPortState::Agreed;
}

bool Rfc2217Transport::sendBreak(int ms)
{
    if (!comPortAgreed())
        return false;
    sendRaw(m_codec.setControl(Rfc2217Codec::Control::BreakOn));
    QTimer::singleShot(std::max(ms, 0), this, [this, generation = m_breakGeneration] {
        if (generation == m_breakGeneration && comPortAgreed())
            sendRaw(m_codec.setControl(Rfc2217Codec::Control::BreakOff));
    });
    return true;
}

QByteArray Rfc2217Transport::encode(QByteArrayView data)
{
    return m_codec.encode(data);
}

void Rfc2217Transport::purge(Direction direction)
{
    NetworkTransport::purge(direction);
    if (!isOpen() || m_codec.comPortState() != Rfc2217Codec::ComPortState::Agreed)
        return;
    // The server's buffers: what it received from the port, what it has yet
    // to send there.
    sendRaw(m_codec.purgeData(direction == Direction::Input    ? Rfc2217Codec::Purge::Receive
                              : direction == Direction::Output ? Rfc2217Codec::Purge::Transmit
                                                               : Rfc2217Codec::Purge::Both));
}

void Rfc2217Transport::setDataTerminalReady(bool on)
{
    if (comPortAgreed())
        sendRaw(m_codec.setControl(on ? Rfc2217Codec::Control::DtrOn : Rfc2217Codec::Control::DtrOff));
}

void Rfc2217Transport::setRequestToSend(bool on)
{
    if (comPortAgreed())
        sendRaw(m_codec.setControl(on ? Rfc2217Codec::Control::RtsOn : Rfc2217Codec::Control::RtsOff));
}
