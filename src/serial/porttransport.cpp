#include "serial/porttransport.h"

#include <QEventLoop>
#include <QTimer>

void PortTransport::beginOpen(const SerialSettings &settings)
{
    const OpenResult result = open(settings);
    QMetaObject::invokeMethod(this, [this, result] { emit openFinished(result); }, Qt::QueuedConnection);
}

void RunEventsUntil(const std::function<bool()> &done)
{
    while (!done()) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
}
