#pragma once

// The programs' simulated module: after this call the Port entry
// "Simulated module" (PortOpener::kSimulatedPortName) starts a SimPort on a
// pseudo-terminal, answering after replyDelayMs, at the byte rate of the
// chosen speed.
void UseSimulatedModule(int replyDelayMs = 0);
