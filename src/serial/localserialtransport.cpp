#include "serial/localserialtransport.h"

#include "serial/driverqueue.h"
#include "serial/systemdevice.h"

#include <QFileInfo>
#include <QTimer>
#include <algorithm>

LocalSerialTransport::LocalSerialTransport(const QString &devicePath, QObject *parent)
    : PortTransport(parent)
    , m_devicePath(devicePath)
{
    connect(&m_lineWatch, &ModemLineWatch::changed, this, &PortTransport::modemLinesChanged);
    // The driver stopped telling: the lamps go dark.
    connect(&m_lineWatch, &ModemLineWatch::ended, this, [this] { emit modemLinesChanged({}); });
}

LocalSerialTransport::~LocalSerialTransport()
{
    close();
}

PortTransport::OpenResult LocalSerialTransport::open(const SerialSettings &settings)
{
    close();
    m_lastError.clear();
    m_openFailure = {};
    auto *port = new QSerialPort(this);
    port->setPortName(m_devicePath);
    // No limit on the port's own buffer: bytes wait there until the window
    // reads them, so a slow window never makes the driver drop input.
    port->setReadBufferSize(0);
    if (!port->open(QIODevice::ReadWrite)) {
        m_lastError = port->errorString();
        m_openFailure = ClassifyPortOpenFailure(m_devicePath, port->error(), m_lastError);
        delete port;
        return OpenResult::Failed;
    }
    m_port = port;
    if (!applySettings(settings)) {
        if (m_lastError.isEmpty())
            m_lastError = m_port->errorString();
        close();
        return OpenResult::SettingsRejected;
    }
    connect(m_port, &QSerialPort::readyRead, this, &PortTransport::readyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &LocalSerialTransport::onError);
    connect(m_port, &QSerialPort::bytesWritten, this, &PortTransport::bytesWritten);
    m_lineWatch.start(qintptr(m_port->handle()));
    return OpenResult::Opened;
}

bool LocalSerialTransport::applySettings(const SerialSettings &s)
{
    // termios has no 1.5 stop bits: QSerialPort accepts the value and applies
    // nothing, so it is refused here like any other setting the device rejects.
    if (s.stopBits == SerialSettings::StopBits::OnePointFive && !DriverTakesOnePointFiveStopBits()) {
        m_lastError = tr("1.5 stop bits are not supported on this platform");
        return false;
    }
    if (s.baudRate == 0 || !m_port->setBaudRate(qint32(std::min<quint32>(s.baudRate, 0x7FFFFFFF))))
        return false;
    if (s.dataBits < 5 || s.dataBits > 8 || !m_port->setDataBits(QSerialPort::DataBits(s.dataBits)))
        return false;
    const QSerialPort::Parity parity = s.parity == SerialSettings::Parity::Even ? QSerialPort::EvenParity
        : s.parity == SerialSettings::Parity::Odd                               ? QSerialPort::OddParity
                                                                                : QSerialPort::NoParity;
    if (!m_port->setParity(parity))
        return false;
    const QSerialPort::StopBits stop = s.stopBits == SerialSettings::StopBits::Two ? QSerialPort::TwoStop
        : s.stopBits == SerialSettings::StopBits::OnePointFive                      ? QSerialPort::OneAndHalfStop
                                                                                    : QSerialPort::OneStop;
    if (!m_port->setStopBits(stop))
        return false;
    // No output flow control, ever: a module whose CTS never rises (a
    // three-wire cable) must still receive. RTS handshake tells the module
    // that the terminal can take data; termios has no receive-only RTS mode,
    // so RTS is held raised while the port is open. Ptys and many adapters
    // have no modem lines and refuse the request, which is no error.
    if (!m_port->setFlowControl(QSerialPort::NoFlowControl))
        return false;
    if (s.rtsHandshake)
        m_port->setRequestToSend(true);
    // DTR handshake: Linux (termios) has no DTR/DSR flow control, so the
    // nearest behaviour is to keep DTR raised while the port is open, telling
    // the module the terminal is ready. Ptys and many USB adapters have no
    // modem lines and refuse the request, which is not an error of the session.
    if (s.dtrHandshake)
        m_port->setDataTerminalReady(true);
    m_port->clearError();
    return true;
}

void LocalSerialTransport::close()
{
    if (!m_port)
        return;
    // The driver's wait ends before its device closes.
    m_lineWatch.stop();
    QSerialPort *port = m_port;
    m_port = nullptr;
    disconnect(port, nullptr, this, nullptr);
    port->close();
    // The port may be in the middle of emitting a signal that led here.
    port->deleteLater();
}

qint64 LocalSerialTransport::read(char *buffer, qint64 n)
{
    if (!m_port || n <= 0)
        return 0;
    const qint64 got = m_port->read(buffer, n);
    return got > 0 ? got : 0;
}

qint64 LocalSerialTransport::bytesAvailable() const
{
    return m_port ? m_port->bytesAvailable() : 0;
}

qint64 LocalSerialTransport::write(const char *data, qint64 n)
{
    if (!m_port || n <= 0)
        return 0;
    return std::max<qint64>(m_port->write(data, n), 0);
}

qint64 LocalSerialTransport::bytesToWrite() const
{
    return m_port ? m_port->bytesToWrite() : 0;
}

qint64 LocalSerialTransport::queuedBelow() const
{
    return DriverOutputQueue(m_port.data());
}

bool LocalSerialTransport::waitForBytesWritten(int ms)
{
    return m_port && m_port->waitForBytesWritten(ms);
}

bool LocalSerialTransport::failedForGood() const
{
    return !m_port || m_port->error() != QSerialPort::TimeoutError;
}

void LocalSerialTransport::purge(Direction direction)
{
    if (!m_port)
        return;
    m_port->clear(direction == Direction::Input    ? QSerialPort::Input
                  : direction == Direction::Output ? QSerialPort::Output
                                                   : QSerialPort::AllDirections);
}

void LocalSerialTransport::setDataTerminalReady(bool on)
{
    if (m_port)
        m_port->setDataTerminalReady(on);
}

void LocalSerialTransport::setRequestToSend(bool on)
{
    if (m_port)
        m_port->setRequestToSend(on);
}

void LocalSerialTransport::takeArrived()
{
    if (m_port)
        m_port->waitForReadyRead(0);
}

bool LocalSerialTransport::sendBreak(int ms)
{
    if (!m_port || !m_port->setBreakEnabled(true))
        return false;
    // The port is the timer's context: a port closed before then takes its
    // break with it.
    QSerialPort *port = m_port;
    QTimer::singleShot(std::max(ms, 1), Qt::PreciseTimer, port, [port] { port->setBreakEnabled(false); });
    return true;
}

void LocalSerialTransport::onError(QSerialPort::SerialPortError error)
{
    if (!m_port)
        return;
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::PermissionError:
    case QSerialPort::DeviceNotFoundError: {
        // The device is gone. QSerialPort would report this again and again
        // at full speed until closed, so release it at once.
        // QSerialPort's text for a device that went is often a stale errno
        // ("Resource temporarily unavailable").
        const QString reason = QFileInfo::exists(m_devicePath) ? m_port->errorString() : tr("the device is gone");
        // What arrived before the device went is read first.
        if (m_port->bytesAvailable() > 0)
            emit readyRead();
        if (!m_port)
            break; // the reader closed it
        close();
        emit lost(reason);
        break;
    }
    default:
        break;
    }
}
