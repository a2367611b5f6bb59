#include "serial/reconnector.h"

#include "serial/serialsession.h"

#include <QDateTime>
#include <limits>

QByteArray DeviceEventLine(const QByteArray &port, const char *what, const QDateTime &time)
{
    const QByteArray stamp = time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLatin1();
    return "----- " + port + ' ' + what + ' ' + stamp + " -----\r\n";
}

Reconnector::Reconnector(SerialSession &session, QObject *parent)
    : QObject(parent)
    , m_session(session)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    m_deadline.setSingleShot(true);
    connect(&m_watch, &DeviceWatch::changed, this, [this] {
        m_retriesLeft = kRetries;
        attempt();
    });
    connect(&m_retry, &QTimer::timeout, this, &Reconnector::attempt);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        stop();
        emit gaveUp();
    });
}

void Reconnector::remember(const SerialSettings &opened, const DeviceIdentity::Roots &roots)
{
    m_settings = opened;
    if (DeviceIdentity::IsInProcessName(opened.portName.trimmed())) {
        m_identity = DeviceIdentity();
        m_identity.path = opened.portName.trimmed();
        m_identity.roots = roots;
        return;
    }
    m_identity = DeviceIdentity::of(opened.portName, roots);
}

void Reconnector::begin(qint64 timeoutMs)
{
    m_waiting = true;
    m_clock.start();
    m_retriesLeft = kRetries;
    m_attempts = 0;
    if (timeoutMs > 0)
        m_deadline.start(int(std::min<qint64>(timeoutMs, std::numeric_limits<int>::max())));
    // Watch first, then look: a device that comes back in between is seen
    // by one or the other.
    m_watch.watch(m_identity.isInProcess() ? QStringList() : m_identity.folders());
    if (m_sinceBack.isValid() && m_sinceBack.elapsed() < kSettleMs)
        m_retry.start(kRetryMs);
    else
        attempt();
}

void Reconnector::stop()
{
    m_waiting = false;
    m_watch.watch({});
    m_retry.stop();
    m_deadline.stop();
}

void Reconnector::attempt()
{
    if (!m_waiting || m_session.IsOpen() || m_session.IsOpening())
        return;
    const QString device = m_identity.isInProcess() ? m_identity.path : m_identity.locate();
    if (device.isEmpty())
        return;
    SerialSettings settings = m_settings;
    settings.portName = device;
    ++m_attempts;
    // What the device said before it was open again (its first words
    // after a reset, where a driver keeps them) is kept. A port over the
    // network answers later; the window goes on meanwhile.
    if (const std::optional<SerialSession::OpenResult> now =
            m_session.BeginOpen(settings, true, [this, device](SerialSession::OpenResult result) {
                attempted(device, result);
            }))
        attempted(device, *now);
}

void Reconnector::attempted(const QString &device, SerialSession::OpenResult result)
{
    if (result == SerialSession::OpenResult::Opened) {
        if (!m_waiting) {
            // The wait ended while the connection was made.
            m_session.Close();
            return;
        }
        stop();
        m_sinceBack.start();
        // What the next loss is told apart from.
        if (!m_identity.isInProcess())
            m_identity.noteOpened(device);
        emit back(m_session.DevicePath());
        return;
    }
    if (!m_waiting)
        return;
    // A server gives no notice when it is back, nor does a port this program
    // serves itself: it is asked again and again, until the wait ends.
    if (m_identity.isNetwork() || m_identity.isInProcess()) {
        m_retry.start(kNetworkRetryMs);
        return;
    }
    // There but not open yet: try again shortly, a few times; a later
    // notice starts the tries afresh.
    if (m_retriesLeft-- > 0)
        m_retry.start(kRetryMs);
}
