#include "app/simulatedport.h"

#include "app/siminprocesstransport.h"
#include "app/simulatedptyport.h"
#include "serial/deviceidentity.h"
#include "serial/serialsession.h"
#include "session/portopener.h"
#include "sim/siminprocessport.h"

#include <utility>

namespace {

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
        m_port.setLineRate(SimulatedLineRate(baudRate));
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
    if (!PtySimulatedPortAvailable())
        return SimulatedModuleLine::InProcess;
    return qEnvironmentVariable("QRV_SIM_IN_PROCESS") == QLatin1String("1") ? SimulatedModuleLine::InProcess
                                                                          : SimulatedModuleLine::Pty;
}

void UseSimulatedModule(int replyDelayMs, bool units, SimulatedModuleLine line)
{
    if (!PtySimulatedPortAvailable())
        line = SimulatedModuleLine::InProcess;
    if (line == SimulatedModuleLine::InProcess) {
        ServeInProcessNames();
        PortOpener::setSimulatorFactory([replyDelayMs, units, next = 0]() mutable -> std::unique_ptr<ProgramPort> {
            return std::make_unique<InProcessSimulatedPort>(replyDelayMs, units ? ++next : 0);
        });
        return;
    }
    PortOpener::setSimulatorFactory([replyDelayMs, units, next = 0]() mutable -> std::unique_ptr<ProgramPort> {
        return MakePtySimulatedPort(replyDelayMs, units ? ++next : 0);
    });
}
