#include "app/simulatedptyport.h"

#include "serial/localserialtransport.h"
#include "serial/serialsession.h"
#include "sim/simport.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>

namespace {

// The simulated modules on ptys in this program, for the transport below.
QList<QPointer<SimPort>> &PtyModules()
{
    static QList<QPointer<SimPort>> modules;
    return modules;
}

// The simulated module's pty, opened as any device, with the status lines
// a pty cannot carry told beside it: CTS and DSR on while open, RI and DCD
// as the module sets them; DTR goes to the module too.
class SimPtyTransport : public LocalSerialTransport
{
public:
    SimPtyTransport(const QString &devicePath, SimPort *module)
        : LocalSerialTransport(devicePath)
        , m_module(module)
    {
    }

    OpenResult open(const SerialSettings &settings) override
    {
        const OpenResult result = LocalSerialTransport::open(settings);
        if (result != OpenResult::Opened || !m_module)
            return result;
        m_lines = {};
        m_lines.cts = m_lines.dsr = true;
        m_lines.ri = m_module->ringIndicator();
        m_lines.dcd = m_module->carrier();
        connect(m_module, &SimPort::statusLinesChanged, this, &SimPtyTransport::onStatusLines, Qt::UniqueConnection);
        return result;
    }
    void close() override
    {
        if (m_module)
            disconnect(m_module, nullptr, this, nullptr);
        LocalSerialTransport::close();
    }
    bool reportsModemLines() const override { return isOpen() && m_module; }
    ModemLines modemLines() const override { return m_lines; }
    void setDataTerminalReady(bool on) override
    {
        LocalSerialTransport::setDataTerminalReady(on);
        if (isOpen() && m_module)
            m_module->setTerminalReady(on);
    }

private:
    void onStatusLines()
    {
        if (!isOpen() || !m_module)
            return;
        // The module's code before the change is on the pty: read first.
        takeArrived();
        if (!isOpen() || !m_module)
            return;
        if (m_lines.ri && !m_module->ringIndicator())
            ++m_lines.rings;
        m_lines.ri = m_module->ringIndicator();
        m_lines.dcd = m_module->carrier();
        emit modemLinesChanged(m_lines);
    }

    QPointer<SimPort> m_module;
    ModemLines m_lines;
};

// A port name that leads to one of the modules' ptys (its link, or the
// pty itself) opens through SimPtyTransport, under the device's own path
// as any local device is.
void ServePtyModules()
{
    static bool served = false;
    if (std::exchange(served, true))
        return;
    SerialSession::AddTransportMaker([](const QString &portName) -> std::unique_ptr<PortTransport> {
        const QString target = QFileInfo(portName.trimmed()).canonicalFilePath();
        if (target.isEmpty())
            return nullptr;
        for (const QPointer<SimPort> &module : PtyModules())
            if (module && module->isRunning() && QFileInfo(module->devicePath()).canonicalFilePath() == target)
                return std::make_unique<SimPtyTransport>(DevicePathForPort(portName), module);
        return nullptr;
    });
}

class PtySimulatedPort : public ProgramPort
{
public:
    PtySimulatedPort(int replyDelayMs, int unit) : m_unit(unit)
    {
        m_port.setReplyDelay(replyDelayMs);
        m_port.module().setUnit(unit);
        PtyModules().removeAll(nullptr);
        PtyModules().append(&m_port);
        ServePtyModules();
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
