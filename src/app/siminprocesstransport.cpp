#include "app/siminprocesstransport.h"

#include "sim/simengine.h"

#include <algorithm>
#include <cstring>
#include <utility>

const QString SimInProcessTransport::kScheme = QStringLiteral("sim:");

SimInProcessTransport::SimInProcessTransport(const QString &name, QObject *parent)
    : PortTransport(parent)
    , m_name(name.trimmed())
{
}

SimInProcessTransport::~SimInProcessTransport()
{
    close();
}

PortTransport::OpenResult SimInProcessTransport::open(const SerialSettings &)
{
    close();
    m_lastError.clear();
    m_openFailure = {};
    m_openFailure.devicePath = m_name;
    SimInProcessPort *port = SimInProcessPort::find(m_name);
    QString why;
    if (!port) {
        m_lastError = QStringLiteral("this program runs no simulated module of that name");
        m_openFailure.cause = PortOpenFailure::Cause::NoSuchDevice;
        return OpenResult::Failed;
    }
    if (!port->attach(this, &why)) {
        m_lastError = why;
        m_openFailure.cause = port->hasTerminal() ? PortOpenFailure::Cause::InUse : PortOpenFailure::Cause::Other;
        m_openFailure.systemText = why;
        return OpenResult::Failed;
    }
    m_openFailure = {};
    m_port = port;
    m_lines = {};
    m_lines.cts = m_lines.dsr = true;
    m_lines.ri = port->ringIndicator();
    m_lines.dcd = port->carrier();
    return OpenResult::Opened;
}

void SimInProcessTransport::close()
{
    if (SimInProcessPort *port = m_port)
        port->detach(this);
    m_port = nullptr;
    m_lossQueued = false;
    m_unsent.clear();
    m_received.clear();
}

qint64 SimInProcessTransport::read(char *buffer, qint64 n)
{
    return TakeFront(m_received, buffer, n);
}

qint64 SimInProcessTransport::write(const char *data, qint64 n)
{
    if (!m_port || n <= 0)
        return 0;
    m_unsent.append(data, n);
    if (!std::exchange(m_sendQueued, true))
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_sendQueued = false;
                sendNow();
            },
            Qt::QueuedConnection);
    return n;
}

void SimInProcessTransport::sendNow()
{
    if (!m_port || m_unsent.isEmpty())
        return;
    m_port->fromTerminal(std::exchange(m_unsent, {}));
    emit bytesWritten();
}

bool SimInProcessTransport::waitForBytesWritten(int)
{
    if (!m_port || m_unsent.isEmpty())
        return false;
    sendNow();
    return true;
}

void SimInProcessTransport::purge(Direction direction)
{
    if (direction != Direction::Output)
        m_received.clear();
    if (direction != Direction::Input)
        m_unsent.clear();
}

void SimInProcessTransport::deliver(const QByteArray &bytes)
{
    // Bounded as the module's own output is: a terminal that never reads
    // does not take all memory.
    m_received.append(bytes.left(std::max<qsizetype>(0, SimEngine::kMaxPendingOutput - m_received.size())));
    // Announced once the module's turn is over, together with whatever else
    // comes in it.
    if (!std::exchange(m_announceQueued, true))
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_announceQueued = false;
                if (m_port && !m_received.isEmpty())
                    emit readyRead();
            },
            Qt::QueuedConnection);
}

void SimInProcessTransport::hangUp(const QString &reason)
{
    // The module has let go of this end already.
    m_port = nullptr;
    m_unsent.clear();
    m_lossQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this, reason] {
            if (!std::exchange(m_lossQueued, false))
                return; // closed meanwhile
            // What came before the line dropped is read first.
            if (!m_received.isEmpty())
                emit readyRead();
            m_received.clear();
            emit lost(reason);
        },
        Qt::QueuedConnection);
}

void SimInProcessTransport::setDataTerminalReady(bool on)
{
    // What was written before goes to the module first, as on a wire.
    sendNow();
    if (SimInProcessPort *port = m_port)
        port->setTerminalReady(on);
}

void SimInProcessTransport::statusLines(bool ringIndicator, bool carrier)
{
    // Told once the module's turn is over, as its bytes are; each change
    // in its order, a short pulse too.
    QMetaObject::invokeMethod(
        this,
        [this, ringIndicator, carrier] {
            if (!m_port || (ringIndicator == m_lines.ri && carrier == m_lines.dcd))
                return;
            if (m_lines.ri && !ringIndicator)
                ++m_lines.rings;
            m_lines.ri = ringIndicator;
            m_lines.dcd = carrier;
            emit modemLinesChanged(m_lines);
        },
        Qt::QueuedConnection);
}
