#include "serial/receivebatching.h"

#include "serial/socketlowwater.h"

#include <QAbstractSocket>

ReceiveBatching::ReceiveBatching(QObject *parent)
    : QObject(parent)
{
    m_release.setSingleShot(true);
    m_release.setTimerType(Qt::PreciseTimer);
    connect(&m_release, &QTimer::timeout, this, [this] { setLowWater(1); });
}

void ReceiveBatching::attach(QAbstractSocket *socket)
{
    m_release.stop();
    m_sinceRead.invalidate();
    m_socket = socket;
    m_lowWater = 1;
}

void ReceiveBatching::took(qint64 bytes)
{
    const bool stream = m_sinceRead.isValid() && m_sinceRead.nsecsElapsed() < kStreamGapNs && bytes < kLowWaterBytes;
    m_sinceRead.start();
    if (!stream && !batching())
        return;
    setLowWater(kLowWaterBytes);
    if (batching())
        m_release.start(kBatchMs);
}

void ReceiveBatching::setLowWater(int bytes)
{
    if (m_socket && m_lowWater != bytes && SetReceiveLowWater(m_socket->socketDescriptor(), bytes))
        m_lowWater = bytes;
}
