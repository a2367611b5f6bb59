#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QTimer>

// The session log on disk as it arrives: the bytes given to append() go to
// the file within kFlushMs (handed to the system, so a killed or crashed
// terminal loses nothing older than that). A write that fails (a full disk,
// a folder that went away) is told once by failed(), and the file is closed;
// whatever keeps the log in memory goes on.
class LogFile : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFlushMs = 100;
    static constexpr qsizetype kFlushBytes = 64 * 1024;

    explicit LogFile(QObject *parent = nullptr);
    ~LogFile() override;

    // "qrvterm_<port>_<yyyy-mm-ddThh-mm-ss>.log": the port entry without
    // "/dev/", anything but letters, digits, '.', '-' and '_' made '_'.
    static QString fileName(const QString &portEntry, const QDateTime &opened);

    // Starts a new file in folder (made if missing); false with *error.
    bool open(const QString &folder, const QString &portEntry, QString *error = nullptr);
    // Writes to the file at path, added to when it exists; false with *error.
    bool openPath(const QString &path, QString *error = nullptr);
    // Writes what is pending and closes the file.
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }

    void append(const char *data, qsizetype n);

signals:
    void failed(const QString &reason);

private:
    void flush();

    QFile m_file;
    QByteArray m_pending;
    QTimer m_timer;
};
