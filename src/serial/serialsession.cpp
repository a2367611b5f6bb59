#include "serial/serialsession.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

SerialSession::SerialSession(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_writeTimer.setSingleShot(true);
    connect(&m_writeTimer, &QTimer::timeout, this, &SerialSession::OnWriteTimeout);
}

SerialSession::~SerialSession()
{
    Release();
}

SerialSession::OpenResult SerialSession::Open(const SerialSettings &settings, bool keepInput)
{
    if (m_port)
        Close();
    m_lastError.clear();
    m_openFailure = {};
    m_devicePath = DevicePathForPort(settings.portName);

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
    if (!ApplySettings(settings)) {
        if (m_lastError.isEmpty())
            m_lastError = m_port->errorString();
        Release();
        return OpenResult::SettingsRejected;
    }
    m_port->clear(keepInput ? QSerialPort::Output : QSerialPort::AllDirections);
    m_writeDeadline = 0;
    m_baudRate = std::max<quint32>(settings.baudRate, 1);
    // Start bit, data bits, parity bit, stop bits (1.5 counted as 2).
    m_bitsPerChar = 1 + settings.dataBits + (settings.parity == SerialSettings::Parity::None ? 0 : 1)
        + (settings.stopBits == SerialSettings::StopBits::One ? 1 : 2);
    connect(m_port, &QSerialPort::readyRead, this, &SerialSession::ReceiveReady);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialSession::OnError);
    connect(m_port, &QSerialPort::bytesWritten, this, &SerialSession::OnBytesWritten);
    return OpenResult::Opened;
}

bool SerialSession::ApplySettings(const SerialSettings &s)
{
    // termios has no 1.5 stop bits: QSerialPort accepts the value and applies
    // nothing, so it is refused here like any other setting the device rejects.
    if (s.stopBits == SerialSettings::StopBits::OnePointFive) {
#ifndef Q_OS_WIN
        m_lastError = tr("1.5 stop bits are not supported on this platform");
        return false;
#endif
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

qint64 SerialSession::Close()
{
    return CloseTogether({this});
}

bool SerialSession::BeginClose(qint64 *unsent)
{
    if (!m_port || m_closing)
        return false;
    m_closing = true;
    // Stop watching: no more receive announcements from this port.
    disconnect(m_port, nullptr, this, nullptr);
    m_writeTimer.stop();
    // What was already sent goes out before the purge below would drop it.
    *unsent = DrainOutput();
    // Lower DTR and purge; ptys refuse the modem-line request, and the
    // sequence goes on regardless. Output that went out leaves nothing to
    // purge on a serial line, but on a pty the purge would take back what
    // the other side has not read yet: output is purged only when some of it
    // is stuck.
    m_port->setDataTerminalReady(false);
    m_port->clear(*unsent > 0 ? QSerialPort::AllDirections : QSerialPort::Input);
    return true;
}

qint64 SerialSession::CloseTogether(const QList<SerialSession *> &sessions)
{
    qint64 unsent = 0;
    QList<SerialSession *> closing;
    for (SerialSession *session : sessions) {
        qint64 n = 0;
        if (session->BeginClose(&n)) {
            closing << session;
            unsent += n;
        }
    }
    if (closing.isEmpty())
        return 0;
    // Pause before release, asleep until the timer ends it. The window still
    // repaints, but neither user input nor the port's notifiers are handled
    // meanwhile.
    QEventLoop pause;
    QTimer::singleShot(kClosePauseMs, Qt::PreciseTimer, &pause, &QEventLoop::quit);
    pause.exec(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
    for (SerialSession *session : std::as_const(closing)) {
        session->Release();
        session->m_closing = false;
    }
    return unsent;
}

qint64 SerialSession::KernelOutputQueued() const
{
#ifdef Q_OS_UNIX
    int queued = 0;
    if (m_port && m_port->handle() >= 0 && ::ioctl(m_port->handle(), TIOCOUTQ, &queued) == 0)
        return std::max(queued, 0);
#endif
    return 0;
}

qint64 SerialSession::OutputQueued() const
{
    return m_port ? m_port->bytesToWrite() + KernelOutputQueued() : 0;
}

qint64 SerialSession::DrainOutput()
{
    const qint64 queued = OutputQueued();
    if (queued == 0)
        return 0;
    // As long as the queued bytes take on the wire at the port's speed, and
    // a margin for the driver and the adapter.
    const qint64 wireMs = queued * m_bitsPerChar * 1000 / m_baudRate;
    QElapsedTimer clock;
    clock.start();
    const qint64 limit = wireMs + kDrainMarginMs;
    while (m_port->bytesToWrite() > 0 && clock.elapsed() < limit) {
        const qint64 before = m_port->bytesToWrite();
        const int left = int(std::min<qint64>(limit - clock.elapsed(), std::numeric_limits<int>::max()));
        // A port that fails (rather than waits) will not drain: stop asking.
        if (!m_port->waitForBytesWritten(std::max(left, 1)) && m_port->bytesToWrite() == before
            && m_port->error() != QSerialPort::TimeoutError)
            break;
    }
    // Then the driver's own queue, down to the last byte on the wire.
    while (m_port->bytesToWrite() == 0 && KernelOutputQueued() > 0 && clock.elapsed() < limit)
        QThread::msleep(1);
    return OutputQueued();
}

void SerialSession::Release()
{
    m_writeTimer.stop();
    if (!m_port)
        return;
    QSerialPort *port = m_port;
    m_port = nullptr;
    disconnect(port, nullptr, this, nullptr);
    port->close();
    // The port may be in the middle of emitting a signal that led here.
    port->deleteLater();
}

qint64 SerialSession::Read(char *buffer, qint64 n)
{
    if (!m_port || n <= 0)
        return 0;
    const qint64 got = m_port->read(buffer, n);
    return got > 0 ? got : 0;
}

qint64 SerialSession::Write(const char *data, qint64 n)
{
    // Nothing new goes in while the close sequence runs.
    if (!m_port || m_closing || n <= 0)
        return 0;
    const qint64 accepted = m_port->write(data, n);
    if (accepted <= 0)
        return 0;
    const qint64 now = m_clock.elapsed();
    m_writeDeadline = std::max(m_writeDeadline, now) + m_writePerByteMs * accepted + m_writeConstantMs;
    m_writeTimer.start(int(std::min<qint64>(m_writeDeadline - now, std::numeric_limits<int>::max())));
    return accepted;
}

qint64 SerialSession::DropOutput()
{
    if (!m_port)
        return 0;
    const qint64 dropped = OutputQueued();
    m_port->clear(QSerialPort::Output);
    m_writeTimer.stop();
    m_writeDeadline = 0;
    return dropped;
}

void SerialSession::SetWriteTimeouts(int perByteMs, int constantMs)
{
    m_writePerByteMs = std::max(0, perByteMs);
    m_writeConstantMs = std::max(0, constantMs);
}

qint64 SerialSession::BytesAvailable() const
{
    return m_port ? m_port->bytesAvailable() : 0;
}

qint64 SerialSession::BytesToWrite() const
{
    return m_port ? m_port->bytesToWrite() : 0;
}

void SerialSession::OnBytesWritten()
{
    if (m_port && m_port->bytesToWrite() == 0) {
        m_writeTimer.stop();
        m_writeDeadline = 0;
        emit AllWritten();
    }
}

void SerialSession::OnWriteTimeout()
{
    if (!m_port)
        return;
    const qint64 dropped = m_port->bytesToWrite();
    m_writeDeadline = 0;
    if (dropped > 0) {
        m_port->clear(QSerialPort::Output);
        emit WriteTimedOut(dropped);
    }
}

void SerialSession::OnError(QSerialPort::SerialPortError error)
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
        // at full speed until closed, so release it at once; lowering DTR
        // and the pause of the normal close sequence mean nothing now.
        // QSerialPort's text for a device that went is often a stale errno
        // ("Resource temporarily unavailable").
        const QString reason = QFileInfo::exists(m_devicePath) ? m_port->errorString() : tr("the device is gone");
        // What arrived before the device went is read first.
        if (m_port->bytesAvailable() > 0)
            emit ReceiveReady();
        if (!m_port)
            break; // the reader closed it
        Release();
        emit DeviceLost(reason);
        break;
    }
    default:
        break;
    }
}
