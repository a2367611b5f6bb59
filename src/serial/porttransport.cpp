#include "serial/porttransport.h"

void PortTransport::beginOpen(const SerialSettings &settings)
{
    const OpenResult result = open(settings);
    QMetaObject::invokeMethod(this, [this, result] { emit openFinished(result); }, Qt::QueuedConnection);
}
