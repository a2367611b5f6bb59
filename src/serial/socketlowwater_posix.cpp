#include "serial/socketlowwater.h"

#include <sys/socket.h>

bool SetReceiveLowWater(qintptr socket, int bytes)
{
    return socket >= 0 && ::setsockopt(int(socket), SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0;
}
