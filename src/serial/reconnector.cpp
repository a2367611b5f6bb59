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
    m_watch.watch(m_identity.folders());
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
    if (!m_waiting || m_session.IsOpen())
        return;
    const QString device = m_identity.locate();
    if (!device.isEmpty()) {
        SerialSettings settings = m_settings;
        settings.portName = device;
        ++m_attempts;
        // What the device said before it was open again (its first words
        // after a reset, where a driver keeps them) is kept.
        if (m_session.Open(settings, true) == SerialSession::OpenResult::Opened) {
            stop();
            m_sinceBack.start();
            // What the next loss is told apart from.
            m_identity.noteOpened(device);
            emit back(m_session.DevicePath());
            return;
        }
        // A server gives no notice when it is back: it is asked again and
        // again, until the wait ends.
        if (m_identity.isNetwork()) {
            m_retry.start(kNetworkRetryMs);
            return;
        }
        // There but not open yet: try again shortly, a few times; a later
        // notice starts the tries afresh.
        if (m_retriesLeft-- > 0)
            m_retry.start(kRetryMs);
    }
}
