#include "serial/portholders.h"

QList<PortHolder> PortHolders(const QString &)
{
    // Windows does not tell which process has a COM port open.
    return {};
}
