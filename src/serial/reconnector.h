#pragma once

#include "serial/deviceidentity.h"
#include "serial/devicewatch.h"
#include "serial/serialsession.h"
#include "serial/serialsettings.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QDateTime;

// "----- <port> lost <yyyy-mm-dd hh:mm:ss> -----" (what: "lost" or "back")
// with CR LF after it: the line a log gets when the device goes and comes
// back.
QByteArray DeviceEventLine(const QByteArray &port, const char *what, const QDateTime &time);

// Brings a session's port back after its device went away: the device's
// identity is taken when the port opens (remember), and after a loss
// (begin) the folders where it may reappear are watched; on each change the
// device is looked for and, when there, opened again with the same line
// settings. Nothing runs between the system's notices, except a few retries
// when the device is there but does not open yet (udev still setting its
// permissions, another program probing it). A port on another computer, or
// one the program serves itself (DeviceIdentity::isInProcess, looked for by
// its name alone), has no notices: an open is tried every kNetworkRetryMs.
class Reconnector : public QObject
{
    Q_OBJECT
public:
    explicit Reconnector(SerialSession &session, QObject *parent = nullptr);

    // The port just opened with these settings (portName the device opened).
    void remember(const SerialSettings &opened, const DeviceIdentity::Roots &roots = {});
    const DeviceIdentity &identity() const { return m_identity; }

    // Starts waiting for the device; timeoutMs 0 waits until stop().
    void begin(qint64 timeoutMs = 0);
    void stop();
    bool isWaiting() const { return m_waiting; }
    // How long the current or last wait lasted.
    qint64 waitedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    // The opens tried during the current or last wait.
    int attempts() const { return m_attempts; }
    // Another try is due shortly (the device is there but did not open, or
    // was lost again just after it came back); false while only the
    // system's notices can start one.
    bool isRetrying() const { return m_retry.isActive(); }

    static constexpr int kRetryMs = 200;
    // A port on another computer: a connection is tried this often.
    static constexpr int kNetworkRetryMs = 1000;
    static constexpr int kRetries = 10;
    // A device lost again this soon after it came back is not looked for at
    // once but after kRetryMs: one that fails as soon as it opens does not
    // spin.
    static constexpr int kSettleMs = 1000;

signals:
    // The port is open again, on devicePath.
    void back(const QString &devicePath);
    // The wait's time ran out; the port stays closed.
    void gaveUp();

private:
    void attempt();
    void attempted(const QString &device, SerialSession::OpenResult result);

    SerialSession &m_session;
    SerialSettings m_settings;
    DeviceIdentity m_identity;
    DeviceWatch m_watch;
    QTimer m_retry;
    QTimer m_deadline;
    QElapsedTimer m_clock;
    QElapsedTimer m_sinceBack;
    int m_retriesLeft = 0;
    int m_attempts = 0;
    bool m_waiting = false;
};
