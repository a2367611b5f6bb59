#include "serial/driverqueue.h"

#include <QSerialPort>

#include <algorithm>
#include <sys/ioctl.h>
#include <termios.h>

qint64 DriverOutputQueue(QSerialPort *port)
{
    int queued = 0;
    if (port && port->handle() >= 0 && ::ioctl(port->handle(), TIOCOUTQ, &queued) == 0)
        return std::max(queued, 0);
    return 0;
}
