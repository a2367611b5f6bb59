#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal for tests: the test holds the master side and plays the
// module; the terminal opens slavePath() like any serial port.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes all of bytes to the master side (the terminal reads them).
    bool write(const QByteArray &bytes);
    // Reads what the terminal wrote, until `expected` bytes arrived or timeoutMs
    // passed, processing Qt events meanwhile so the terminal keeps running.
    QByteArray read(int expected, int timeoutMs = 2000);
    // Reads whatever arrives within timeoutMs.
    QByteArray readFor(int timeoutMs);
    // Closes the master side: the terminal sees the device hang up.
    void closeMaster();
    // Closes the extra slave descriptor the pair holds to keep the master
    // readable while the terminal has the slave closed.
    void releaseSlaveHold();

private:
    int m_master = -1;
    int m_slaveHold = -1;
    QString m_slavePath;
};

// This process's command name as /proc shows it to others (at most 15 bytes).
QString OwnCommandName();

// Points link at target in one step, as a simulator or udev re-points one
// (a new link renamed over the old: a new inode, never a moment with none).
bool PointLink(const QString &link, const QString &target);
