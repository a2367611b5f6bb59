#include "app/simulatedptyport.h"

#include "sim/simport.h"

#include <QDir>
#include <QTemporaryDir>

namespace {

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
        m_port.setLineRate(SimulatedLineRate(baudRate));
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

} // namespace

bool PtySimulatedPortAvailable()
{
    return true;
}

std::unique_ptr<ProgramPort> MakePtySimulatedPort(int replyDelayMs, int unit)
{
    return std::make_unique<PtySimulatedPort>(replyDelayMs, unit);
}
