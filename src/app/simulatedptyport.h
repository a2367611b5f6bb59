#pragma once

#include "session/portopener.h"

#include <algorithm>
#include <memory>

// The simulated module on a pseudo-terminal (SimPort), opened like any
// serial device: one file for systems with ptys, one for Windows, which has
// none (there it is not available and nothing is made).
bool PtySimulatedPortAvailable();
std::unique_ptr<ProgramPort> MakePtySimulatedPort(int replyDelayMs, int unit);

// The module answers at the byte rate of the chosen speed, so replies
// arrive in pieces as they do from real hardware.
inline int SimulatedLineRate(quint32 baudRate)
{
    return int(std::min<quint32>(baudRate, 4000000));
}
