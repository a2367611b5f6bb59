#include "app/simulatedptyport.h"

// Windows has no pseudo-terminals: the simulated module runs in process.

bool PtySimulatedPortAvailable()
{
    return false;
}

std::unique_ptr<ProgramPort> MakePtySimulatedPort(int, int)
{
    return nullptr;
}
