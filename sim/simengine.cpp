#include "simengine.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// How long a reset waits for the terminal to read the reply before the line
// drops anyway.
constexpr int kResetReplyWaitMs = 1000;

void appendBounded(QByteArray &buffer, const QByteArray &bytes, qsizetype max)
{
    buffer.append(bytes.left(std::max<qsizetype>(0, max - buffer.size())));
}

} // namespace

// The timers are children so that they follow the object to its thread.
SimEngine::SimEngine(SimLine &line, QObject *parent)
    : QObject(parent)
    , m_line(line)
    , m_replyTimer(new QTimer(this))
    , m_paceTimer(new QTimer(this))
    , m_ringTimer(new QTimer(this))
    , m_statusTimer(new QTimer(this))
{
    m_statusTimer->setSingleShot(true);
    m_statusTimer->setInterval(kPaceIntervalMs);
    connect(m_statusTimer, &QTimer::timeout, this, &SimEngine::updateStatus);
    m_ringTimer->setSingleShot(true);
    m_ringTimer->setTimerType(Qt::PreciseTimer);
    connect(m_ringTimer, &QTimer::timeout, this, [this] { setRing(false); });
    m_replyTimer->setSingleShot(true);
    m_replyTimer->setTimerType(Qt::PreciseTimer);
    connect(m_replyTimer, &QTimer::timeout, this, &SimEngine::releaseReply);
    m_paceTimer->setTimerType(Qt::PreciseTimer);
    m_paceTimer->setInterval(kPaceIntervalMs);
    connect(m_paceTimer, &QTimer::timeout, this, &SimEngine::onPaceTick);
}

SimEngine::~SimEngine() = default;

void SimEngine::setLineRate(int baud)
{
    m_baud = std::max(0, baud);
    if (m_baud == 0) {
        m_paceTimer->stop();
        const QByteArray due = std::exchange(m_paced, {});
        if (!due.isEmpty() && m_line.lineUp())
            m_line.lineWrite(due);
    } else if (!m_paced.isEmpty()) {
        m_paceClock.start();
        m_pacedSent = 0;
        m_paceTimer->start();
    }
}

void SimEngine::setReplyDelay(int ms)
{
    m_replyDelay = std::max(0, ms);
}

void SimEngine::setResetTiming(int downMs, int bootMs)
{
    m_resetDownMs = std::max(0, downMs);
    m_resetBootMs = std::max(0, bootMs);
}

void SimEngine::clear()
{
    m_resetPending = false;
    m_replyTimer->stop();
    m_paceTimer->stop();
    m_input.clear();
    m_heldReply.clear();
    m_paced.clear();
    m_ringTimer->stop();
    m_pulseDueMs = 0;
    setRing(false);
    updateStatus();
}

void SimEngine::powerOn()
{
    ++m_generation;
    clear();
    m_module.powerOn();
    updateStatus();
}

void SimEngine::bootIn(int ms, quint64 generation)
{
    QTimer::singleShot(std::max(0, ms), this, [this, generation] {
        if (generation == m_generation)
            sendUnsolicited(m_module.bootMessages());
    });
}

bool SimEngine::holdsOutput() const
{
    return !m_heldReply.isEmpty() || m_replyTimer->isActive() || !m_paced.isEmpty();
}

void SimEngine::sendUnsolicited(const QByteArray &bytes)
{
    if (!m_line.lineUp())
        return;
    transmit(bytes);
    // The pulse starts once the code is out (updateStatus).
    if (bytes.contains("RING"))
        m_pulseDueMs = kRingPulseMs;
    else if (bytes.contains("+CMTI:") || bytes.contains("+CMT:"))
        m_pulseDueMs = kMessagePulseMs;
    updateStatus();
}

void SimEngine::pulseRing(int ms)
{
    setRing(true);
    // A pulse during a pulse lasts from the later one.
    m_ringTimer->start(ms);
}

void SimEngine::setRing(bool on)
{
    if (on == m_ri)
        return;
    m_ri = on;
    m_line.lineStatusChanged();
}

void SimEngine::updateStatus()
{
    if (m_module.inDataCall() == m_dcd && m_pulseDueMs == 0)
        return;
    // The lines change once what the module said with them (CONNECT, NO
    // CARRIER, RING, +CMTI) is out: a terminal that reads what came before
    // a change sees it where the code came, after it.
    if (m_line.lineUp() && (holdsOutput() || !m_line.lineSent())) {
        if (!m_statusTimer->isActive())
            m_statusTimer->start();
        return;
    }
    if (const int pulse = std::exchange(m_pulseDueMs, 0); pulse > 0 && m_line.lineUp())
        pulseRing(pulse);
    if (m_module.inDataCall() != m_dcd) {
        m_dcd = !m_dcd;
        m_line.lineStatusChanged();
    }
}

void SimEngine::setTerminalReady(bool on)
{
    if (on)
        return;
    transmit(m_module.dropDataCall());
    updateStatus();
}

void SimEngine::takeInput(const QByteArray &bytes)
{
    appendBounded(m_input, bytes, kMaxPendingInput);
}

void SimEngine::maybeReset()
{
    if (!m_resetPending || !m_line.lineUp())
        return;
    // The reply to the reset goes first, all of it read by the terminal.
    const bool replyOut = !holdsOutput() && m_line.lineDrained();
    if (!replyOut && m_resetWait.isValid() && m_resetWait.elapsed() < kResetReplyWaitMs) {
        QTimer::singleShot(kPaceIntervalMs, this, &SimEngine::maybeReset);
        return;
    }
    m_resetPending = false;
    m_line.lineReset();
}

void SimEngine::processInput()
{
    // A module about to restart takes no more commands.
    if (m_resetPending)
        m_input.clear();
    while (!m_input.isEmpty() && !m_replyTimer->isActive() && m_line.lineUp()) {
        const SimulatedModule::Output out = m_module.step(m_input);
        m_input.remove(0, out.consumed);
        transmit(out.echo);
        for (const auto &urc : out.unsolicited)
            QTimer::singleShot(urc.delayMs, this, [this, bytes = urc.bytes, generation = m_generation] {
                if (generation == m_generation)
                    sendUnsolicited(bytes);
            });
        if (out.reset) {
            // Input after the reset's line is lost with the line.
            m_input.clear();
            if (!m_resetPending)
                QTimer::singleShot(0, this, &SimEngine::maybeReset);
            m_resetPending = true;
            m_resetWait.start();
        }
        if (out.reply.isEmpty())
            continue;
        if (m_replyDelay > 0) {
            // Like a busy module: later input waits until the reply is out.
            m_heldReply = out.reply;
            m_replyTimer->start(m_replyDelay);
        } else {
            transmit(out.reply);
        }
    }
    // A call begun or ended: its carrier, once the result code is out.
    updateStatus();
}

void SimEngine::releaseReply()
{
    transmit(std::exchange(m_heldReply, {}));
    processInput();
}

void SimEngine::transmit(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_baud <= 0) {
        if (m_line.lineUp())
            m_line.lineWrite(bytes);
        return;
    }
    if (m_paced.isEmpty() && !m_paceTimer->isActive()) {
        m_paceClock.start();
        m_pacedSent = 0;
        m_paceTimer->start();
    }
    appendBounded(m_paced, bytes, kMaxPendingOutput);
}

void SimEngine::onPaceTick()
{
    // A byte is released once the line has had the time to carry it.
    const qint64 bytesPerSecond = std::max(1, m_baud / 10);
    const qint64 due = m_paceClock.elapsed() * bytesPerSecond / 1000 - m_pacedSent;
    if (due > 0 && !m_paced.isEmpty()) {
        const qsizetype n = qsizetype(std::min<qint64>(due, m_paced.size()));
        const QByteArray piece = m_paced.left(n);
        m_paced.remove(0, n);
        m_pacedSent += n;
        if (m_line.lineUp())
            m_line.lineWrite(piece);
    }
    if (m_paced.isEmpty())
        m_paceTimer->stop();
}
