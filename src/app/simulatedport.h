#pragma once

// The programs' simulated module: after this call the Port entry
// "Simulated module" (PortOpener::kSimulatedPortName) starts a SimPort on a
// pseudo-terminal, answering after replyDelayMs, at the byte rate of the
// chosen speed. With units, each module started is a unit of its own (its
// own IMEI, ICCID and signal), numbered from 1 in the order they start, and
// its port is a link named "simulated-module-<unit>". Each open of the entry
// (PortOpener::deviceFor) finds the module as at its first start; its own
// reset (AT+CFUN=1,1), which reconnect follows, keeps the message store.
void UseSimulatedModule(int replyDelayMs = 0, bool units = false);
