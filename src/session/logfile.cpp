#include "session/logfile.h"

#include <QDir>

LogFile::LogFile(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kFlushMs);
    connect(&m_timer, &QTimer::timeout, this, &LogFile::flush);
}

LogFile::~LogFile()
{
    close();
}

QString LogFile::fileName(const QString &portEntry, const QDateTime &opened)
{
    QString port = portEntry.startsWith(QLatin1String("/dev/")) ? portEntry.mid(5) : portEntry;
    for (QChar &c : port) {
        const char16_t u = c.unicode();
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.'
            || u == '-' || u == '_';
        if (!plain)
            c = u'_';
    }
    return QStringLiteral("qrvterm_%1_%2.log").arg(port, opened.toString(QStringLiteral("yyyy-MM-ddThh-mm-ss")));
}

bool LogFile::open(const QString &folder, const QString &portEntry, QString *error)
{
    close();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = tr("%1: the folder cannot be made").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    // A file of the same name (two opens within a second) is added to, not
    // replaced.
    return openPath(QDir(folder).filePath(fileName(portEntry, QDateTime::currentDateTime())), error);
}

bool LogFile::openPath(const QString &path, QString *error)
{
    close();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString());
        return false;
    }
    return true;
}

void LogFile::close()
{
    if (!m_file.isOpen())
        return;
    flush();
    m_file.close();
}

void LogFile::append(const char *data, qsizetype n)
{
    if (!m_file.isOpen() || n <= 0)
        return;
    m_pending.append(data, n);
    if (m_pending.size() >= kFlushBytes)
        flush();
    else if (!m_timer.isActive())
        m_timer.start();
}

void LogFile::flush()
{
    m_timer.stop();
    if (m_pending.isEmpty() || !m_file.isOpen())
        return;
    const qint64 written = m_file.write(m_pending);
    if (written == m_pending.size()) {
        m_pending.clear();
        return;
    }
    const QString reason = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_file.fileName()),
                                                        m_file.errorString());
    m_pending.clear();
    m_file.close();
    emit failed(reason);
}
