#include "serial/driverqueue.h"

#include <QSerialPort>

#include <windows.h>

qint64 DriverOutputQueue(QSerialPort *port)
{
    if (!port || !port->isOpen())
        return 0;
    DWORD errors = 0;
    COMSTAT status {};
    if (!::ClearCommError(port->handle(), &errors, &status))
        return 0;
    return qint64(status.cbOutQue);
}
