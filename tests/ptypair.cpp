#include "ptypair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios tio {};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_master = master;
    m_slaveHold = slave;
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    releaseSlaveHold();
    closeMaster();
}

bool PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    QElapsedTimer timer;
    timer.start();
    while (done < bytes.size() && m_master >= 0) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            if (timer.elapsed() > 5000)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(1);
        }
    }
    return done == bytes.size();
}

QByteArray PtyPair::read(int expected, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < expected && timer.elapsed() < timeoutMs && m_master >= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0)
            out.append(buf, n);
        else
            QThread::msleep(1);
    }
    return out;
}

QByteArray PtyPair::readFor(int timeoutMs)
{
    return read(INT_MAX, timeoutMs);
}

void PtyPair::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PtyPair::releaseSlaveHold()
{
    if (m_slaveHold >= 0)
        ::close(m_slaveHold);
    m_slaveHold = -1;
}

QString OwnCommandName()
{
    QFile comm(QStringLiteral("/proc/self/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
}

bool PointLink(const QString &link, const QString &target)
{
    const QString staged = link + QStringLiteral(".new");
    QFile::remove(staged);
    return QFile::link(target, staged)
        && ::rename(QFile::encodeName(staged).constData(), QFile::encodeName(link).constData()) == 0;
}
