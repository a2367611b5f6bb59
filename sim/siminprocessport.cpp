#include "siminprocessport.h"

#include <QHash>
#include <QTimer>

#include <utility>

namespace {

// The ports by name. They are made and used on the program's main thread.
QHash<QString, SimInProcessPort *> &Ports()
{
    static QHash<QString, SimInProcessPort *> ports;
    return ports;
}

} // namespace

SimInProcessPort::SimInProcessPort(const QString &name, QObject *parent)
    : QObject(parent), m_name(name), m_engine(new SimEngine(*this, this))
{
    for (int n = 2; Ports().contains(m_name); ++n)
        m_name = name + QStringLiteral("#%1").arg(n);
    Ports().insert(m_name, this);
}

SimInProcessPort::~SimInProcessPort()
{
    Ports().remove(m_name);
    stop();
}

SimInProcessPort *SimInProcessPort::find(const QString &name)
{
    return Ports().value(name);
}

void SimInProcessPort::start()
{
    if (m_running)
        return;
    // Asked for while a reset has the line down: back at once.
    if (std::exchange(m_down, false))
        m_bootDue = true;
    m_running = true;
}

void SimInProcessPort::stop()
{
    m_engine->clear();
    m_running = false;
    m_down = false;
    m_bootDue = false;
    hangUp(QStringLiteral("the simulated module %1 was switched off").arg(m_name));
}

void SimInProcessPort::hangUp(const QString &reason)
{
    if (SimTerminalEnd *terminal = std::exchange(m_terminal, nullptr))
        terminal->hangUp(reason);
}

void SimInProcessPort::reset()
{
    if (!m_running)
        return;
    // Switched off and on before the boot messages are due: none.
    m_bootGeneration = m_engine->generation();
    // The line drops: nothing pending goes out, the terminal is told.
    m_engine->clear();
    m_running = false;
    m_down = true;
    m_bootDue = false;
    hangUp(QStringLiteral("the simulated module %1 restarted").arg(m_name));
    emit lineDropped();
    const quint64 down = ++m_downs;
    QTimer::singleShot(m_engine->resetDownMs(), this, [this, down] {
        // Started meanwhile (a terminal asked for the port), stopped, or
        // reset again.
        if (down != m_downs || !m_down)
            return;
        m_down = false;
        m_running = true;
        m_bootDue = true;
        emit back();
    });
}

bool SimInProcessPort::attach(SimTerminalEnd *terminal, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (m_terminal && m_terminal != terminal)
        return fail(QStringLiteral("the simulated module %1 is in use by another terminal of this program").arg(m_name));
    if (!m_running)
        return fail(QStringLiteral("the simulated module %1 is not running (it may be restarting)").arg(m_name));
    m_terminal = terminal;
    if (std::exchange(m_bootDue, false))
        m_engine->bootIn(m_engine->resetBootMs(), m_bootGeneration);
    return true;
}

void SimInProcessPort::detach(SimTerminalEnd *terminal)
{
    if (m_terminal == terminal)
        m_terminal = nullptr;
}

void SimInProcessPort::fromTerminal(const QByteArray &bytes)
{
    if (!m_running || bytes.isEmpty())
        return;
    emit received(bytes);
    m_engine->takeInput(bytes);
    m_engine->processInput();
}

void SimInProcessPort::lineWrite(const QByteArray &bytes)
{
    // With no terminal attached the bytes are lost, as on a line nobody
    // listens to.
    if (bytes.isEmpty() || !m_running)
        return;
    emit sent(bytes);
    if (m_terminal)
        m_terminal->deliver(bytes);
}

bool SimInProcessPort::lineDrained() const
{
    return !m_terminal || m_terminal->allRead();
}

void SimInProcessPort::lineStatusChanged()
{
    if (m_terminal)
        m_terminal->statusLines(m_engine->ringIndicator(), m_engine->carrier());
}
