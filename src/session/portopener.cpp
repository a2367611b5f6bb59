#include "session/portopener.h"

namespace {

PortOpener::SimulatorFactory &FactorySlot()
{
    static PortOpener::SimulatorFactory factory;
    return factory;
}

} // namespace

const QString PortOpener::kSimulatedPortName = QStringLiteral("Simulated module");

void PortOpener::setSimulatorFactory(SimulatorFactory factory)
{
    FactorySlot() = std::move(factory);
}

bool PortOpener::simulatorAvailable()
{
    return bool(FactorySlot());
}

PortOpener::PortOpener() = default;
PortOpener::~PortOpener() = default;

QString PortOpener::deviceFor(const SerialSettings &settings, QString *error)
{
    if (settings.portName != kSimulatedPortName)
        return settings.portName;
    if (!m_simulator) {
        if (!FactorySlot()) {
            if (error)
                *error = QStringLiteral("this program has no simulated module");
            return QString();
        }
        m_simulator = FactorySlot()();
    }
    QString why;
    const QString device = m_simulator ? m_simulator->prepare(settings.baudRate, &why) : QString();
    if (device.isEmpty()) {
        // A module that did not start is made afresh next time.
        m_simulator.reset();
        if (error)
            *error = why;
    }
    return device;
}
