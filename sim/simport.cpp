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

constexpr int kHangupRetryMs = 200;

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

void appendBounded(QByteArray &buffer, const QByteArray &bytes, qsizetype max)
{
    buffer.append(bytes.left(std::max<qsizetype>(0, max - buffer.size())));
}

} // namespace

// The engine and the timer are children so that they follow the object to
// its thread.
SimPort::SimPort(QObject *parent)
    : QObject(parent), m_engine(new SimEngine(*this, this)), m_hangupTimer(new QTimer(this))
{
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
    m_engine->powerOn();
}

bool SimPort::lineDrained() const
{
    // Bytes written to the master reach the slave's queue a moment later, so
    // an empty queue counts only a while after the last write.
    int unread = 0;
    return lineSent() && ::ioctl(m_slaveHold, FIONREAD, &unread) == 0 && unread == 0;
}

bool SimPort::lineSent() const
{
    return m_unwritten.isEmpty() && (!m_lastWrite.isValid() || m_lastWrite.elapsed() >= SimEngine::kPaceIntervalMs * 2);
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
    const quint64 generation = m_engine->generation();
    QTimer::singleShot(m_engine->resetDownMs(), this, [this, generation] {
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
        m_engine->bootIn(m_engine->resetBootMs(), generation);
    });
}

void SimPort::stop()
{
    m_engine->clear();
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
    m_unwritten.clear();
}

void SimPort::onReadable()
{
    char buffer[4096];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            const QByteArray bytes(buffer, n);
            emit received(bytes);
            m_engine->takeInput(bytes);
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
    m_engine->processInput();
}

void SimPort::lineWrite(const QByteArray &bytes)
{
    if (bytes.isEmpty() || !isRunning())
        return;
    emit sent(bytes);
    appendBounded(m_unwritten, bytes, SimEngine::kMaxPendingOutput);
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
