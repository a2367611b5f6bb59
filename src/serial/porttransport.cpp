#include "serial/porttransport.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstring>

void PortTransport::beginOpen(const SerialSettings &settings)
{
    const OpenResult result = open(settings);
    QMetaObject::invokeMethod(this, [this, result] { emit openFinished(result); }, Qt::QueuedConnection);
}

qint64 PortTransport::TakeFront(QByteArray &held, char *buffer, qint64 n)
{
    const qint64 take = std::min<qint64>(std::max<qint64>(n, 0), held.size());
    if (take == 0)
        return 0;
    memcpy(buffer, held.constData(), size_t(take));
    held.remove(0, take);
    return take;
}

void RunEventsUntil(const std::function<bool()> &done)
{
    while (!done()) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
}
