#pragma once

#include <QtGlobal>

class QSerialPort;

// Bytes the serial driver holds for sending beneath the port's own buffer
// (TIOCOUTQ on Unix, the output queue ClearCommError reports on Windows); 0
// when the port is not open or the system does not say.
qint64 DriverOutputQueue(QSerialPort *port);
