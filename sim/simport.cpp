#include "simport.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPaceIntervalMs = 10;
constexpr int kHangupRetryMs = 200;
// How long a reset waits for the terminal to read the reply before the line
// drops anyway.
constexpr int kResetReplyWaitMs = 1000;
// Input that waits behind a delayed reply, and output the terminal does not
// take, are bounded like a real module's buffers: the excess is dropped.
constexpr qsizetype kMaxPendingInput = 64 * 1024;
constexpr qsizetype kMaxPendingOutput = 1024 * 1024;

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

void appendBounded(QByteArray &buffer, const QByteArray &bytes, qsizetype max)
{
    buffer.append(bytes.left(std::max<qsizetype>(0, max - buffer.size())));
}

} // namespace

// The timers are children so that they follow the object to its thread.
SimPort::SimPort(QObject *parent)
    : QObject(parent), m_replyTimer(new QTimer(this)), m_paceTimer(new QTimer(this)), m_hangupTimer(new QTimer(this))
{
    m_replyTimer->setSingleShot(true);
    m_replyTimer->setTimerType(Qt::PreciseTimer);
    connect(m_replyTimer, &QTimer::timeout, this, &SimPort::releaseReply);
    m_paceTimer->setTimerType(Qt::PreciseTimer);
    m_paceTimer->setInterval(kPaceIntervalMs);
    connect(m_paceTimer, &QTimer::timeout, this, &SimPort::onPaceTick);
    m_hangupTimer->setSingleShot(true);
    connect(m_hangupTimer, &QTimer::timeout, this, [this] {
        if (m_readNotifier)
            m_readNotifier->setEnabled(true);
    });
}

SimPort::~SimPort()
{
    stop();
    if (!m_linkPath.isEmpty())
        ::unlink(QFile::encodeName(m_linkPath).constData());
    if (m_comingBack.master >= 0) {
        ::close(m_comingBack.master);
        ::close(m_comingBack.slave);
    }
}

bool SimPort::start(QString *error)
{
    if (isRunning())
        return true;
    if (m_comingBack.master >= 0) {
        // Asked for while a reset has the line down: back at once, on the
        // pty made for coming back (never the old one's number).
        install(std::exchange(m_comingBack, {}));
        emit deviceChanged(m_devicePath);
        return true;
    }
    Pty pty;
    if (!openPty(&pty, error))
        return false;
    install(pty);
    return true;
}

bool SimPort::openPty(Pty *pty, QString *error)
{
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        if (error)
            *error = errnoText("openpty");
        return false;
    }
    char name[128] = {};
    termios tio {};
    bool ok = ::ptsname_r(master, name, sizeof name) == 0;
    if (!ok && error)
        *error = errnoText("ptsname");
    ok = ok && ::tcgetattr(slave, &tio) == 0;
    if (ok) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        ok = ::tcsetattr(slave, TCSANOW, &tio) == 0;
        if (!ok && error)
            *error = errnoText("tcsetattr");
    }
    const int flags = ::fcntl(master, F_GETFL);
    ok = ok && flags >= 0 && ::fcntl(master, F_SETFL, flags | O_NONBLOCK) == 0;
    if (!ok) {
        if (error && error->isEmpty())
            *error = errnoText("pty setup");
        ::close(master);
        ::close(slave);
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    *pty = {master, slave, QString::fromLocal8Bit(name)};
    return true;
}

bool SimPort::setLinkPath(const QString &path, QString *error)
{
    if (!m_linkPath.isEmpty() && m_linkPath != path)
        ::unlink(QFile::encodeName(m_linkPath).constData());
    m_linkPath = path;
    return m_linkPath.isEmpty() || !isRunning() || pointLink(error);
}

bool SimPort::pointLink(QString *error)
{
    const QByteArray link = QFile::encodeName(m_linkPath);
    const QByteArray staged = link + ".new";
    ::unlink(staged.constData());
    if (::symlink(QFile::encodeName(m_devicePath).constData(), staged.constData()) != 0
        || ::rename(staged.constData(), link.constData()) != 0) {
        if (error)
            *error = errnoText(("link " + link).constData());
        ::unlink(staged.constData());
        return false;
    }
    return true;
}

void SimPort::install(const Pty &pty)
{
    m_master = pty.master;
    m_slaveHold = pty.slave;
    m_devicePath = pty.path;
    if (!m_linkPath.isEmpty())
        pointLink(nullptr);
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimPort::onReadable);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimPort::onWritable);
}

void SimPort::powerOn()
{
    ++m_generation;
    m_resetPending = false;
    m_replyTimer->stop();
    m_paceTimer->stop();
    m_input.clear();
    m_heldReply.clear();
    m_paced.clear();
    m_unwritten.clear();
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (isRunning()) {
        // What the module wrote and no terminal has read, and what a terminal
        // wrote and the module has not read.
        ::tcflush(m_slaveHold, TCIFLUSH);
        char buffer[4096];
        for (int round = 0; round < 256; ++round) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0 && !(n < 0 && errno == EINTR))
                break;
        }
    }
    m_module.powerOn();
}

void SimPort::setResetTiming(int downMs, int bootMs)
{
    m_resetDownMs = std::max(0, downMs);
    m_resetBootMs = std::max(0, bootMs);
}

void SimPort::maybeReset()
{
    if (!m_resetPending || !isRunning())
        return;
    // The reply to the reset goes first, all of it read by the terminal.
    // Bytes written to the master reach the slave's queue a moment later, so
    // an empty queue counts only a while after the last write.
    int unread = 0;
    const bool replyOut = m_heldReply.isEmpty() && !m_replyTimer->isActive() && m_paced.isEmpty()
        && m_unwritten.isEmpty() && m_lastWrite.isValid() && m_lastWrite.elapsed() >= kPaceIntervalMs * 2
        && ::ioctl(m_slaveHold, FIONREAD, &unread) == 0 && unread == 0;
    if (!replyOut && m_resetWait.isValid() && m_resetWait.elapsed() < kResetReplyWaitMs) {
        QTimer::singleShot(kPaceIntervalMs, this, &SimPort::maybeReset);
        return;
    }
    m_resetPending = false;
    reset();
}

void SimPort::reset()
{
    if (!isRunning())
        return;
    // The new pty is made before the old one goes, so that it never gets the
    // old one's number: the module comes back under another name.
    Pty next;
    const bool made = openPty(&next, nullptr);
    stop(); // the line drops: the terminal's side hangs up
    // The link goes with the device, as udev's by-id link goes when a
    // module leaves: the old pty's number may go to another program's pty.
    if (!m_linkPath.isEmpty())
        ::unlink(QFile::encodeName(m_linkPath).constData());
    emit lineDropped();
    if (!made)
        return;
    m_comingBack = next;
    // Switched off and on meanwhile (powerOn()): no boot messages.
    const quint64 generation = m_generation;
    QTimer::singleShot(m_resetDownMs, this, [this, generation] {
        const Pty next = std::exchange(m_comingBack, {});
        if (isRunning()) {
            // Started meanwhile (a terminal asked for the port): the module
            // is back already.
            if (next.master >= 0) {
                ::close(next.master);
                ::close(next.slave);
            }
        } else {
            install(next);
            emit deviceChanged(m_devicePath);
        }
        QTimer::singleShot(m_resetBootMs, this, [this, generation] {
            if (generation == m_generation)
                sendUnsolicited(m_module.bootMessages());
        });
    });
}

void SimPort::stop()
{
    m_resetPending = false;
    m_replyTimer->stop();
    m_paceTimer->stop();
    m_hangupTimer->stop();
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slaveHold >= 0)
        ::close(m_slaveHold);
    m_master = -1;
    m_slaveHold = -1;
    m_devicePath.clear();
    m_input.clear();
    m_heldReply.clear();
    m_paced.clear();
    m_unwritten.clear();
}

void SimPort::setLineRate(int baud)
{
    m_baud = std::max(0, baud);
    if (m_baud == 0) {
        m_paceTimer->stop();
        writeOut(std::exchange(m_paced, {}));
    } else if (!m_paced.isEmpty()) {
        m_paceClock.start();
        m_pacedSent = 0;
        m_paceTimer->start();
    }
}

void SimPort::setReplyDelay(int ms)
{
    m_replyDelay = std::max(0, ms);
}

void SimPort::sendUnsolicited(const QByteArray &bytes)
{
    if (isRunning())
        transmit(bytes);
}

void SimPort::onReadable()
{
    char buffer[4096];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            const QByteArray bytes(buffer, n);
            emit received(bytes);
            appendBounded(m_input, bytes, kMaxPendingInput);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // The slave side hung up (EIO). Reading would fail at once again,
            // so rest the notifier for a while instead of spinning.
            m_readNotifier->setEnabled(false);
            m_hangupTimer->start(kHangupRetryMs);
        }
        break;
    }
    processInput();
}

void SimPort::processInput()
{
    // A module about to restart takes no more commands.
    if (m_resetPending)
        m_input.clear();
    while (!m_input.isEmpty() && !m_replyTimer->isActive() && isRunning()) {
        const SimulatedModule::Output out = m_module.step(m_input);
        m_input.remove(0, out.consumed);
        transmit(out.echo);
        for (const auto &urc : out.unsolicited)
            QTimer::singleShot(urc.delayMs, this, [this, bytes = urc.bytes, generation = m_generation] {
                if (generation == m_generation)
                    sendUnsolicited(bytes);
            });
        if (out.reset) {
            // Input after the reset's line is lost with the line.
            m_input.clear();
            if (!m_resetPending)
                QTimer::singleShot(0, this, &SimPort::maybeReset);
            m_resetPending = true;
            m_resetWait.start();
        }
        if (out.reply.isEmpty())
            continue;
        if (m_replyDelay > 0) {
            // Like a busy module: later input waits until the reply is out.
            m_heldReply = out.reply;
            m_replyTimer->start(m_replyDelay);
        } else {
            transmit(out.reply);
        }
    }
}

void SimPort::releaseReply()
{
    transmit(std::exchange(m_heldReply, {}));
    processInput();
}

void SimPort::transmit(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_baud <= 0) {
        writeOut(bytes);
        return;
    }
    if (m_paced.isEmpty() && !m_paceTimer->isActive()) {
        m_paceClock.start();
        m_pacedSent = 0;
        m_paceTimer->start();
    }
    appendBounded(m_paced, bytes, kMaxPendingOutput);
}

void SimPort::onPaceTick()
{
    // A byte is released once the line has had the time to carry it.
    const qint64 bytesPerSecond = std::max(1, m_baud / 10);
    const qint64 due = m_paceClock.elapsed() * bytesPerSecond / 1000 - m_pacedSent;
    if (due > 0 && !m_paced.isEmpty()) {
        const qsizetype n = qsizetype(std::min<qint64>(due, m_paced.size()));
        writeOut(m_paced.left(n));
        m_paced.remove(0, n);
        m_pacedSent += n;
    }
    if (m_paced.isEmpty())
        m_paceTimer->stop();
}

void SimPort::writeOut(const QByteArray &bytes)
{
    if (bytes.isEmpty() || !isRunning())
        return;
    emit sent(bytes);
    appendBounded(m_unwritten, bytes, kMaxPendingOutput);
    flushWrites();
}

void SimPort::onWritable()
{
    flushWrites();
}

void SimPort::flushWrites()
{
    while (!m_unwritten.isEmpty()) {
        const ssize_t n = ::write(m_master, m_unwritten.constData(), size_t(m_unwritten.size()));
        if (n > 0) {
            m_unwritten.remove(0, n);
            m_lastWrite.start();
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            // Nobody can receive it: the bytes are lost, as on a dead line.
            m_unwritten.clear();
        }
    }
    m_writeNotifier->setEnabled(!m_unwritten.isEmpty());
}
