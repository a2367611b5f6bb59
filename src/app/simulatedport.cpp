#include "app/simulatedport.h"

#include "app/siminprocesstransport.h"
#include "serial/deviceidentity.h"
#include "serial/serialsession.h"
#include "session/portopener.h"
#include "sim/siminprocessport.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <utility>

#ifndef Q_OS_WIN
#include "sim/simport.h"
#endif

namespace {

// The module answers at the byte rate of the chosen speed, so replies arrive
// in pieces as they do from real hardware.
int LineRate(quint32 baudRate)
{
    return int(std::min<quint32>(baudRate, 4000000));
}

#ifndef Q_OS_WIN
class PtySimulatedPort : public ProgramPort
{
public:
    PtySimulatedPort(int replyDelayMs, int unit) : m_unit(unit)
    {
        m_port.setReplyDelay(replyDelayMs);
        m_port.module().setUnit(unit);
    }

    QString prepare(quint32 baudRate, QString *error) override
    {
        if (!m_port.start(error))
            return QString();
        // Each open (a Start in the window, a port qrvterm-run opens) finds
        // the module as at its first start; reconnect, which follows the
        // module through its own reset, opens the device without asking here
        // and so finds what the reset kept.
        m_port.powerOn();
        m_port.setLineRate(LineRate(baudRate));
        // The port is opened through a link that follows the module to its
        // new pty after a reset, so that reconnect finds it as it finds a
        // USB module by its by-id link.
        if (m_linkFolder.isValid() && m_port.linkPath().isEmpty())
            m_port.setLinkPath(m_linkFolder.filePath(
                m_unit > 0 ? QStringLiteral("simulated-module-%1").arg(m_unit) : QStringLiteral("simulated-module")));
        return m_port.linkPath().isEmpty() ? m_port.devicePath() : m_port.linkPath();
    }

private:
    int m_unit = 0;
    QTemporaryDir m_linkFolder { QDir::tempPath() + QStringLiteral("/qrvterm-sim-XXXXXX") };
    SimPort m_port; // destroyed first: it removes its link
};
#endif

class InProcessSimulatedPort : public ProgramPort
{
public:
    InProcessSimulatedPort(int replyDelayMs, int unit)
        : m_port(SimInProcessTransport::kScheme + (unit > 0 ? QString::number(unit) : QString()))
    {
        m_port.setReplyDelay(replyDelayMs);
        m_port.module().setUnit(unit);
    }

    QString prepare(quint32 baudRate, QString *) override
    {
        // As on a pty: each open powers the module on, and reconnect after
        // its own reset opens the name without asking here.
        m_port.start();
        m_port.powerOn();
        m_port.setLineRate(LineRate(baudRate));
        return m_port.name();
    }

private:
    SimInProcessPort m_port;
};

// Ports named "sim:..." are the in-process modules', for the session and
// for reconnect.
void ServeInProcessNames()
{
    static bool served = false;
    if (std::exchange(served, true))
        return;
    SerialSession::AddTransportMaker([](const QString &portName) -> std::unique_ptr<PortTransport> {
        if (!SimInProcessTransport::IsSimName(portName.trimmed()))
            return nullptr;
        return std::make_unique<SimInProcessTransport>(portName);
    });
    DeviceIdentity::AddInProcessPrefix(SimInProcessTransport::kScheme);
}

} // namespace

SimulatedModuleLine SimulatedModuleLineFromEnvironment()
{
#ifdef Q_OS_WIN
    return SimulatedModuleLine::InProcess;
#else
    return qEnvironmentVariable("QRV_SIM_IN_PROCESS") == QLatin1String("1") ? SimulatedModuleLine::InProcess
                                                                          : SimulatedModuleLine::Pty;
#endif
}

void UseSimulatedModule(int replyDelayMs, bool units, SimulatedModuleLine line)
{
#ifdef Q_OS_WIN
    line = SimulatedModuleLine::InProcess;
#endif
    if (line == SimulatedModuleLine::InProcess) {
        ServeInProcessNames();
        PortOpener::setSimulatorFactory([replyDelayMs, units, next = 0]() mutable -> std::unique_ptr<ProgramPort> {
            return std::make_unique<InProcessSimulatedPort>(replyDelayMs, units ? ++next : 0);
        });
        return;
    }
#ifndef Q_OS_WIN
    PortOpener::setSimulatorFactory([replyDelayMs, units, next = 0]() mutable -> std::unique_ptr<ProgramPort> {
        return std::make_unique<PtySimulatedPort>(replyDelayMs, units ? ++next : 0);
    });
#endif
}
