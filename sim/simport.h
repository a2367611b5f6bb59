#pragma once

#include "simmodule.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// Serves a SimulatedModule on the master side of a pseudo-terminal, inside
// the event loop of the thread the object lives in. A terminal opens
// devicePath() like a serial port. Nothing here blocks: reads and writes on
// the master are non-blocking, and writes that would block are queued until
// the master is writable again.
//
// An extra descriptor on the slave stays open while the port runs, so the
// pty survives the terminal closing and reopening it.
class SimPort : public QObject
{
    Q_OBJECT

public:
    explicit SimPort(QObject *parent = nullptr);
    ~SimPort() override;

    // Opens the pseudo-terminal (slave in raw mode) and starts serving.
    // Returns true when running (also when it already was).
    bool start(QString *error = nullptr);
    void stop();
    bool isRunning() const { return m_master >= 0; }
    // The slave's path, e.g. "/dev/pts/5"; empty when not running.
    QString devicePath() const { return m_devicePath; }
    // Keeps a symbolic link at path to the device: removed when a reset
    // drops the line, made again (in one step) when the module is back on its
    // new pty, and removed with the port.
    // False, with *error set, when the link cannot be made.
    bool setLinkPath(const QString &path, QString *error = nullptr);
    QString linkPath() const { return m_linkPath; }

    // Paces output at the byte rate of a line at baud bits per second (ten
    // bits a byte), released in small pieces; 0 sends at once.
    void setLineRate(int baud);
    int lineRate() const { return m_baud; }
    // Waits ms before answering a completed command line or message; the
    // echo is never delayed.
    void setReplyDelay(int ms);
    int replyDelay() const { return m_replyDelay; }

    SimulatedModule &module() { return m_module; }

    // Switches the module off and on, for a terminal that opens the port
    // afresh: the module is as at its first start (SimulatedModule::powerOn()),
    // and nothing of before is carried over: input not yet taken, replies
    // not yet out, unsolicited result codes and boot messages still due, a
    // reset asked for but not yet done, bytes on the pty the last terminal
    // did not read. The pty stays, under its name.
    void powerOn();

    // Sends bytes the module produces on its own (unsolicited result codes)
    // behind whatever output is already queued.
    void sendUnsolicited(const QByteArray &bytes);

    // A reset, as AT+CFUN=1,1 asks for once its OK has been read: the line
    // drops (the pty goes away and the terminal's side hangs up), and after
    // downMs the module is back on a new pty under another name, saying its
    // boot messages bootMs later.
    void reset();
    static constexpr int kResetDownMs = 300;
    static constexpr int kResetBootMs = 100;
    void setResetTiming(int downMs, int bootMs);

signals:
    // Bytes read from the terminal, and bytes written to it.
    void received(const QByteArray &bytes);
    void sent(const QByteArray &bytes);
    // A reset dropped the line; the module is back at devicePath.
    void lineDropped();
    void deviceChanged(const QString &devicePath);

private:
    struct Pty
    {
        int master = -1;
        int slave = -1;
        QString path;
    };
    static bool openPty(Pty *pty, QString *error);
    void install(const Pty &pty);
    void maybeReset();
    void onReadable();
    void onWritable();
    void processInput();
    void releaseReply();
    void transmit(const QByteArray &bytes);
    void onPaceTick();
    void writeOut(const QByteArray &bytes);
    void flushWrites();

    bool pointLink(QString *error);

    SimulatedModule m_module;
    QString m_linkPath;
    int m_master = -1;
    int m_slaveHold = -1;
    QString m_devicePath;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;

    QByteArray m_input;        // read, not yet given to the module
    QByteArray m_heldReply;    // waiting for the reply delay
    QTimer *m_replyTimer;
    int m_replyDelay = 0;

    QByteArray m_paced;        // waiting for the line to carry it
    QTimer *m_paceTimer;
    QElapsedTimer m_paceClock;
    qint64 m_pacedSent = 0;    // bytes released since m_paceClock started
    int m_baud = 0;

    QByteArray m_unwritten;    // released but not yet taken by the master
    QTimer *m_hangupTimer;     // re-arms reading after the slave hung up

    bool m_resetPending = false;  // asked for, the reply not yet out
    QElapsedTimer m_resetWait;    // since it was asked for
    QElapsedTimer m_lastWrite;    // since bytes last went to the master
    Pty m_comingBack;             // the pty the module comes back on
    int m_resetDownMs = kResetDownMs;
    int m_resetBootMs = kResetBootMs;

    // Counts the powerOn() calls: what was scheduled before one is not sent.
    quint64 m_generation = 0;
};
