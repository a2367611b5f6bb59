#include "runner/portlistfile.h"

#include <QFile>

QStringList ParsePortList(const QByteArray &text)
{
    QByteArrayView rest(text);
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);
    QStringList ports;
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf('\n');
        const QByteArrayView line = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        const QString name = QString::fromUtf8(line).trimmed();
        if (!name.isEmpty() && !name.startsWith(u'#'))
            ports << name;
    }
    return ports;
}

bool ReadPortListFile(const QString &path, QStringList *ports, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the port list %1: %2").arg(path, file.errorString());
        return false;
    }
    // A port list is a few hundred bytes; a large file is something else.
    constexpr qint64 kMaxBytes = 1 << 20;
    const QByteArray text = file.read(kMaxBytes + 1);
    if (text.size() > kMaxBytes) {
        *error = QStringLiteral("the port list %1 is over 1 MB: is it the right file?").arg(path);
        return false;
    }
    *ports = ParsePortList(text);
    if (ports->isEmpty()) {
        *error = QStringLiteral("the port list %1 names no port").arg(path);
        return false;
    }
    return true;
}
