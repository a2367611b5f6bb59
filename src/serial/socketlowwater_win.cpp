#include "serial/socketlowwater.h"

bool SetReceiveLowWater(qintptr, int)
{
    // Winsock accepts no receive low-water mark (WSAENOPROTOOPT): reads
    // stay as they come.
    return false;
}
