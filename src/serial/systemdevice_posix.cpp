#include "serial/systemdevice.h"

#include <QFileInfo>
#include <QRegularExpression>

QString SystemDevicePath(const QString &portName)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]*)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    QString path = portName;
    const QRegularExpressionMatch m = com.match(path);
    if (m.hasMatch())
        path = QStringLiteral("/dev/ttyS%1").arg(m.captured(1).toInt() - 1);
    else if (!path.startsWith(QLatin1Char('/')))
        path.prepend(QStringLiteral("/dev/"));
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

bool DriverTakesOnePointFiveStopBits()
{
    return false;
}
