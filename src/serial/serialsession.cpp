#include "serial/serialsession.h"

#include "serial/localserialtransport.h"
#include "serial/networktransport.h"
#include "serial/rfc2217transport.h"

#include <QEventLoop>
#include <QThread>
#include <algorithm>
#include <limits>

SerialSession::SerialSession(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_writeTimer.setSingleShot(true);
    connect(&m_writeTimer, &QTimer::timeout, this, &SerialSession::OnWriteTimeout);
}

SerialSession::~SerialSession()
{
    AbandonOpening();
    Release();
}

namespace {

QList<SerialSession::TransportMaker> &TransportMakers()
{
    static QList<SerialSession::TransportMaker> makers;
    return makers;
}

std::unique_ptr<PortTransport> MakeTransport(const QString &portName)
{
    for (const SerialSession::TransportMaker &maker : std::as_const(TransportMakers()))
        if (std::unique_ptr<PortTransport> transport = maker(portName))
            return transport;
    NetworkPortAddress address;
    if (NetworkPortAddress::IsNetworkName(portName)) {
        if (NetworkPortAddress::Parse(portName, &address, nullptr) && address.kind == NetworkPortAddress::Kind::Rfc2217)
            return std::make_unique<Rfc2217Transport>(portName);
        return std::make_unique<NetworkTransport>(portName); // it tells what does not parse
    }
    return std::make_unique<LocalSerialTransport>(DevicePathForPort(portName));
}

} // namespace

void SerialSession::AddTransportMaker(TransportMaker maker)
{
    TransportMakers().append(std::move(maker));
}

SerialSession::OpenResult SerialSession::Open(const SerialSettings &settings, bool keepInput)
{
    std::optional<OpenResult> result;
    if (std::optional<OpenResult> now = BeginOpen(settings, keepInput, [&result](OpenResult r) { result = r; }))
        return *now;
    RunEventsUntil([&] { return result || !m_opening; });
    return result.value_or(OpenResult::Failed);
}

QList<SerialSession::OpenResult> SerialSession::OpenTogether(const QList<SerialSession *> &sessions,
                                                            const QList<SerialSettings> &settings)
{
    QList<std::optional<OpenResult>> results(sessions.size());
    qsizetype pending = 0;
    for (qsizetype i = 0; i < sessions.size(); ++i) {
        ++pending;
        const auto done = [&results, &pending, i](OpenResult result) {
            results[i] = result;
            --pending;
        };
        if (const std::optional<OpenResult> now = sessions[i]->BeginOpen(settings.value(i), false, done))
            done(*now);
    }
    RunEventsUntil([&pending] { return pending == 0; });
    QList<OpenResult> told;
    for (const std::optional<OpenResult> &result : std::as_const(results))
        told << result.value_or(OpenResult::Failed);
    return told;
}

std::optional<SerialSession::OpenResult> SerialSession::BeginOpen(const SerialSettings &settings, bool keepInput,
                                                                  WhenOpened whenDone)
{
    if (m_port || m_opening)
        Close();
    m_lastError.clear();
    m_openFailure = {};

    std::unique_ptr<PortTransport> transport = MakeTransport(settings.portName);
    m_devicePath = transport->name();
    if (transport->opensAtOnce()) {
        const OpenResult result = transport->open(settings);
        return Adopt(std::move(transport), result, settings, keepInput);
    }
    transport->setParent(this);
    m_opening = transport.release();
    m_whenOpened = std::move(whenDone);
    connect(m_opening, &PortTransport::openFinished, this, [this, settings, keepInput](OpenResult result) {
        PortTransport *done = std::exchange(m_opening, nullptr);
        if (!done)
            return;
        disconnect(done, nullptr, this, nullptr);
        done->setParent(nullptr);
        const OpenResult told = Adopt(std::unique_ptr<PortTransport>(done), result, settings, keepInput);
        if (WhenOpened then = std::exchange(m_whenOpened, {}))
            then(told);
    });
    m_opening->beginOpen(settings);
    return std::nullopt;
}

SerialSession::OpenResult SerialSession::Adopt(std::unique_ptr<PortTransport> transport, OpenResult result,
                                               const SerialSettings &settings, bool keepInput)
{
    if (result != OpenResult::Opened) {
        m_lastError = transport->errorString();
        if (result == OpenResult::Failed)
            m_openFailure = transport->openFailure();
        transport->close();
        // It may be in the middle of emitting the signal that led here.
        transport.release()->deleteLater();
        return result;
    }
    transport->setParent(this);
    m_port = transport.release();
    m_port->purge(keepInput ? PortTransport::Direction::Output : PortTransport::Direction::Both);
    m_writeDeadline = 0;
    m_baudRate = std::max<quint32>(settings.baudRate, 1);
    // Start bit, data bits, parity bit, stop bits (1.5 counted as 2).
    m_bitsPerChar = 1 + settings.dataBits + (settings.parity == SerialSettings::Parity::None ? 0 : 1)
        + (settings.stopBits == SerialSettings::StopBits::One ? 1 : 2);
    connect(m_port, &PortTransport::readyRead, this, &SerialSession::ReceiveReady);
    connect(m_port, &PortTransport::lost, this, &SerialSession::OnLost);
    connect(m_port, &PortTransport::bytesWritten, this, &SerialSession::OnBytesWritten);
    connect(m_port, &PortTransport::modemLinesChanged, this, &SerialSession::ModemLinesChanged);
    return OpenResult::Opened;
}

void SerialSession::AbandonOpening()
{
    m_whenOpened = {};
    if (PortTransport *opening = std::exchange(m_opening, nullptr)) {
        disconnect(opening, nullptr, this, nullptr);
        opening->close();
        opening->deleteLater();
    }
}

qint64 SerialSession::Close()
{
    return CloseTogether({this});
}

bool SerialSession::BeginClose(qint64 *unsent)
{
    if (!m_port || m_closing)
        return false;
    m_closing = true;
    // Stop watching: no more receive announcements from this port.
    disconnect(m_port, nullptr, this, nullptr);
    m_writeTimer.stop();
    // What was already sent goes out before the purge below would drop it.
    *unsent = DrainOutput();
    // Lower DTR and purge; ptys refuse the modem-line request, and the
    // sequence goes on regardless. Output that went out leaves nothing to
    // purge on a serial line, but on a pty the purge would take back what
    // the other side has not read yet: output is purged only when some of it
    // is stuck.
    m_port->setDataTerminalReady(false);
    m_port->purge(*unsent > 0 ? PortTransport::Direction::Both : PortTransport::Direction::Input);
    return true;
}

qint64 SerialSession::CloseTogether(const QList<SerialSession *> &sessions)
{
    qint64 unsent = 0;
    QList<SerialSession *> closing;
    for (SerialSession *session : sessions) {
        session->AbandonOpening();
        qint64 n = 0;
        if (session->BeginClose(&n)) {
            closing << session;
            unsent += n;
        }
    }
    if (closing.isEmpty())
        return 0;
    // Pause before release, asleep until the timer ends it. The window still
    // repaints, but neither user input nor the port's notifiers are handled
    // meanwhile.
    QEventLoop pause;
    QTimer::singleShot(kClosePauseMs, Qt::PreciseTimer, &pause, &QEventLoop::quit);
    pause.exec(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
    for (SerialSession *session : std::as_const(closing)) {
        session->Release();
        session->m_closing = false;
    }
    return unsent;
}

qint64 SerialSession::OutputQueued() const
{
    return m_port ? m_port->bytesToWrite() + m_port->queuedBelow() : 0;
}

qint64 SerialSession::DrainOutput()
{
    const qint64 queued = OutputQueued();
    if (queued == 0)
        return 0;
    // As long as the queued bytes take on the wire at the port's speed, and
    // a margin for the driver and the adapter.
    const qint64 wireMs = queued * m_bitsPerChar * 1000 / m_baudRate;
    QElapsedTimer clock;
    clock.start();
    const qint64 limit = wireMs + kDrainMarginMs;
    while (m_port->bytesToWrite() > 0 && clock.elapsed() < limit) {
        const qint64 before = m_port->bytesToWrite();
        const int left = int(std::min<qint64>(limit - clock.elapsed(), std::numeric_limits<int>::max()));
        // A port that fails (rather than waits) will not drain: stop asking.
        if (!m_port->waitForBytesWritten(std::max(left, 1)) && m_port->bytesToWrite() == before
            && m_port->failedForGood())
            break;
    }
    // Then the driver's own queue, down to the last byte on the wire.
    while (m_port->bytesToWrite() == 0 && m_port->queuedBelow() > 0 && clock.elapsed() < limit)
        QThread::msleep(1);
    return OutputQueued();
}

void SerialSession::Release()
{
    m_writeTimer.stop();
    if (!m_port)
        return;
    PortTransport *port = m_port;
    m_port = nullptr;
    disconnect(port, nullptr, this, nullptr);
    port->close();
    // The transport may be in the middle of emitting a signal that led here.
    port->deleteLater();
}

qint64 SerialSession::Read(char *buffer, qint64 n)
{
    if (!m_port || n <= 0)
        return 0;
    return m_port->read(buffer, n);
}

qint64 SerialSession::Write(const char *data, qint64 n)
{
    // Nothing new goes in while the close sequence runs.
    if (!m_port || m_closing || n <= 0)
        return 0;
    const qint64 accepted = m_port->write(data, n);
    if (accepted <= 0)
        return 0;
    const qint64 now = m_clock.elapsed();
    m_writeDeadline = std::max(m_writeDeadline, now) + m_writePerByteMs * accepted + m_writeConstantMs;
    m_writeTimer.start(int(std::min<qint64>(m_writeDeadline - now, std::numeric_limits<int>::max())));
    return accepted;
}

qint64 SerialSession::DropOutput()
{
    if (!m_port)
        return 0;
    const qint64 dropped = OutputQueued();
    m_port->purge(PortTransport::Direction::Output);
    m_writeTimer.stop();
    m_writeDeadline = 0;
    return dropped;
}

void SerialSession::SetWriteTimeouts(int perByteMs, int constantMs)
{
    m_writePerByteMs = std::max(0, perByteMs);
    m_writeConstantMs = std::max(0, constantMs);
}

qint64 SerialSession::BytesAvailable() const
{
    return m_port ? m_port->bytesAvailable() : 0;
}

qint64 SerialSession::BytesToWrite() const
{
    return m_port ? m_port->bytesToWrite() : 0;
}

void SerialSession::OnBytesWritten()
{
    if (m_port && m_port->bytesToWrite() == 0) {
        m_writeTimer.stop();
        m_writeDeadline = 0;
        emit AllWritten();
    }
}

void SerialSession::OnWriteTimeout()
{
    if (!m_port)
        return;
    const qint64 dropped = m_port->bytesToWrite();
    m_writeDeadline = 0;
    if (dropped > 0) {
        m_port->purge(PortTransport::Direction::Output);
        emit WriteTimedOut(dropped);
    }
}

void SerialSession::OnLost(const QString &reason)
{
    // The transport has said what arrived before, and is closed; lowering
    // DTR and the pause of the normal close sequence mean nothing now.
    Release();
    emit DeviceLost(reason);
}

void SerialSession::SetDtr(bool on)
{
    if (m_port)
        m_port->setDataTerminalReady(on);
}

void SerialSession::SetRts(bool on)
{
    if (m_port)
        m_port->setRequestToSend(on);
}
