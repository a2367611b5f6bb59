#pragma once

#include <QtGlobal>

// Tells the system to report a connected socket readable only once `bytes`
// wait (SO_RCVLOWAT); 1 reports any. False where the system has no such
// option (Windows' sockets take none) or the call failed.
bool SetReceiveLowWater(qintptr socket, int bytes);
