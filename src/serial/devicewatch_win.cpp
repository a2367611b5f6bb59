#include "serial/devicewatch.h"

#include <QSerialPortInfo>
#include <QTimer>

namespace {

QStringList PortList()
{
    QStringList ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports << info.portName() + u'\t' + info.serialNumber();
    ports.sort();
    return ports;
}

} // namespace

DeviceWatch::DeviceWatch(QObject *parent)
    : QObject(parent)
{
}

DeviceWatch::~DeviceWatch() = default;

void DeviceWatch::watch(const QStringList &folders)
{
    m_folders = folders;
    if (!m_poll) {
        m_poll = new QTimer(this);
        m_poll->setInterval(kPollMs);
        connect(m_poll, &QTimer::timeout, this, &DeviceWatch::onReadable);
    }
    // What the list was when the watch was set is no news: whoever watches
    // looks once it is set.
    discardPending();
    if (folders.isEmpty())
        m_poll->stop();
    else
        m_poll->start();
}

bool DeviceWatch::isWatching() const
{
    return m_poll && m_poll->isActive();
}

void DeviceWatch::discardPending()
{
    m_seen = PortList();
}

void DeviceWatch::arm()
{
}

void DeviceWatch::onReadable()
{
    QStringList now = PortList();
    if (now == m_seen)
        return;
    m_seen = std::move(now);
    emit changed();
}
