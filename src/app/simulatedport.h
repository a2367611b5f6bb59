#pragma once

// How the programs reach their simulated module.
enum class SimulatedModuleLine {
    // On a pseudo-terminal, opened like any serial device (not on Windows,
    // which has none).
    Pty,
    // Inside the program, with no device: the module's port is
    // "sim:" (or "sim:<unit>" with units), opened by a transport of its own.
    InProcess,
};

// The programs' choice: in process when the environment has
// QRV_SIM_IN_PROCESS=1, and always on Windows; else a pty.
SimulatedModuleLine SimulatedModuleLineFromEnvironment();

// The programs' simulated module: after this call the Port entry
// "Simulated module" (PortOpener::kSimulatedPortName) starts a simulated
// module on a pseudo-terminal (SimPort), or in process (SimInProcessPort)
// when line says so or the system has no ptys, answering after
// replyDelayMs, at the byte rate of the chosen speed. With units, each
// module started is a unit of its own (its own IMEI, ICCID and signal),
// numbered from 1 in the order they start, and its port is a link named
// "simulated-module-<unit>" (on a pty) or "sim:<unit>" (in process). Each
// open of the entry (PortOpener::deviceFor) finds the module as at its first
// start; its own reset (AT+CFUN=1,1), which reconnect follows, keeps the
// message store.
void UseSimulatedModule(int replyDelayMs = 0, bool units = false,
                        SimulatedModuleLine line = SimulatedModuleLine::Pty);
