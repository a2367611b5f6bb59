#pragma once

#include "serial/serialsettings.h"

#include <QString>
#include <functional>
#include <memory>

// A port that the program makes itself instead of one the system has: the
// simulated module, served on a pseudo-terminal whose device is then opened
// like any serial port.
class ProgramPort
{
public:
    virtual ~ProgramPort() = default;
    // Makes the port ready for a line at baudRate (started on first use) and
    // returns the device to open; empty, with *error set, when it cannot run.
    virtual QString prepare(quint32 baudRate, QString *error) = 0;
};

// Turns a Port entry into the device to open, for the window and for
// qrvterm-run alike: the entry "Simulated module" starts the program's own
// simulated module (once per opener, kept while the opener lives); any other
// entry is the device's name or path as it stands.
class PortOpener
{
public:
    static const QString kSimulatedPortName;

    // How the programs make the simulated module. The libraries below the
    // programs do not link it; without a factory the entry does not open.
    using SimulatorFactory = std::function<std::unique_ptr<ProgramPort>()>;
    static void setSimulatorFactory(SimulatorFactory factory);
    static bool simulatorAvailable();

    PortOpener();
    ~PortOpener();
    PortOpener(const PortOpener &) = delete;
    PortOpener &operator=(const PortOpener &) = delete;

    // The device for settings.portName; empty, with *error set, when the
    // simulated module was asked for and could not start.
    QString deviceFor(const SerialSettings &settings, QString *error = nullptr);
    // The simulated module once started, else null.
    ProgramPort *simulator() const { return m_simulator.get(); }

private:
    std::unique_ptr<ProgramPort> m_simulator;
};
