#include "app/simulatedport.h"

#include "session/portopener.h"
#include "sim/simport.h"

#include <algorithm>

namespace {

class SimulatedPort : public ProgramPort
{
public:
    explicit SimulatedPort(int replyDelayMs) { m_port.setReplyDelay(replyDelayMs); }

    QString prepare(quint32 baudRate, QString *error) override
    {
        if (!m_port.start(error))
            return QString();
        // The module answers at the byte rate of the chosen speed, so replies
        // arrive in pieces as they do from real hardware.
        m_port.setLineRate(int(std::min<quint32>(baudRate, 4000000)));
        return m_port.devicePath();
    }

private:
    SimPort m_port;
};

} // namespace

void UseSimulatedModule(int replyDelayMs)
{
    PortOpener::setSimulatorFactory([replyDelayMs] { return std::make_unique<SimulatedPort>(replyDelayMs); });
}
