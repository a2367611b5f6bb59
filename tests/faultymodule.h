#pragma once

#include "ptypair.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

// A module played on a pty (by a test or a benchmark) reached through a link, so that it can
// drop its line and come back on another pty as a USB module does. Lines end
// at CR (or SUB, a message body); what it does with each is the scenario's.
class FaultyModule : public QObject
{
public:
    using OnLine = std::function<void(FaultyModule &m, const QByteArray &line, int count)>;

    FaultyModule(const QString &link, OnLine onLine) : m_link(link), m_onLine(std::move(onLine)) { Up(); }

    QString link() const { return m_link; }
    bool isUp() const { return m_pty != nullptr; }

    // Echo, then text once the module is free (it answers one command at a
    // time) and delayMs have passed.
    void Answer(const QByteArray &line, const QByteArray &text, int delayMs = 0, bool echo = true)
    {
        const qint64 start = std::max(m_clock.elapsed(), m_busyUntil);
        m_busyUntil = start + delayMs;
        At(start, echo ? line + "\r" : QByteArray());
        At(m_busyUntil, text);
    }
    void Send(const QByteArray &bytes)
    {
        if (m_pty && !bytes.isEmpty())
            m_pty->write(bytes);
    }
    // Hangs up, and comes back on a new pty after downMs (never when < 0),
    // saying boot.
    void Drop(int downMs, const QByteArray &boot = "\r\nRDY\r\n")
    {
        if (!m_pty)
            return;
        ++drops;
        m_notifier.reset();
        m_pty.reset();
        QFile::remove(m_link);
        m_busyUntil = 0;
        m_said.clear();
        if (downMs >= 0)
            QTimer::singleShot(downMs, this, [this, boot] {
                Up();
                Send(boot);
            });
    }
    // Stops reading: what is written to it stays in the pty's buffer.
    void StopReading() { reading = false; if (m_notifier) m_notifier->setEnabled(false); }
    // Sends text every intervalMs while up, until the test ends.
    void Chatter(const QByteArray &text, int intervalMs)
    {
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, text] { Send(text); });
        timer->start(intervalMs);
    }
    // Up for upMs, down for downMs, for ever.
    void BootLoop(int upMs, int downMs)
    {
        QTimer::singleShot(upMs, this, [this, upMs, downMs] {
            Drop(downMs, "\r\nRDY\r\n");
            QTimer::singleShot(downMs + 5, this, [this, upMs, downMs] { BootLoop(upMs, downMs); });
        });
    }

    QList<QByteArray> heard; // every line, across resets
    int drops = 0;
    bool reading = true;

private:
    // Says bytes at whenMs (never before what it was told to say earlier:
    // each timer sends the oldest words due, so equal times keep order).
    void At(qint64 whenMs, const QByteArray &bytes)
    {
        m_said.append(bytes);
        QTimer::singleShot(int(std::max<qint64>(0, whenMs - m_clock.elapsed())), Qt::PreciseTimer, this, [this] {
            if (!m_said.isEmpty())
                Send(m_said.takeFirst());
        });
    }
    void Up()
    {
        if (!m_clock.isValid())
            m_clock.start();
        m_pty = std::make_unique<PtyPair>();
        // The program must not inherit the master, or closing it here would
        // not hang up its port.
        ::fcntl(m_pty->masterFd(), F_SETFD, FD_CLOEXEC);
        PointLink(m_link, m_pty->slavePath());
        m_notifier = std::make_unique<QSocketNotifier>(m_pty->masterFd(), QSocketNotifier::Read);
        m_notifier->setEnabled(reading);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { Read(); });
    }
    void Read()
    {
        char buffer[4096];
        const ssize_t n = ::read(m_pty->masterFd(), buffer, sizeof buffer);
        if (n <= 0)
            return;
        m_pending.append(buffer, n);
        qsizetype end;
        while (m_pty && (end = FirstEnd(m_pending)) >= 0) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (m_pending.startsWith('\n'))
                m_pending.remove(0, 1);
            heard << line;
            m_onLine(*this, line, ++m_count[line]);
            if (!reading)
                break;
        }
    }
    static qsizetype FirstEnd(const QByteArray &bytes)
    {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            if (bytes.at(i) == '\r' || bytes.at(i) == '\x1a')
                return i;
        }
        return -1;
    }

    QString m_link;
    OnLine m_onLine;
    std::unique_ptr<PtyPair> m_pty;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_pending;
    QHash<QByteArray, int> m_count;
    QElapsedTimer m_clock;
    qint64 m_busyUntil = 0;
    QList<QByteArray> m_said;
};
