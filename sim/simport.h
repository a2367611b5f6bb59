#pragma once

#include "simengine.h"
#include "simmodule.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// Serves a SimulatedModule on the master side of a pseudo-terminal, inside
// the event loop of the thread the object lives in: what the module does on
// its line is SimEngine's, the pty is this class's. A terminal opens
// devicePath() like a serial port. Nothing here blocks: reads and writes on
// the master are non-blocking, and writes that would block are queued until
// the master is writable again.
//
// An extra descriptor on the slave stays open while the port runs, so the
// pty survives the terminal closing and reopening it.
class SimPort : public QObject, private SimLine
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
    void setLineRate(int baud) { m_engine->setLineRate(baud); }
    int lineRate() const { return m_engine->lineRate(); }
    // Waits ms before answering a completed command line or message; the
    // echo is never delayed.
    void setReplyDelay(int ms) { m_engine->setReplyDelay(ms); }
    int replyDelay() const { return m_engine->replyDelay(); }

    SimulatedModule &module() { return m_engine->module(); }

    // Switches the module off and on, for a terminal that opens the port
    // afresh: the module is as at its first start (SimulatedModule::powerOn()),
    // and nothing of before is carried over: input not yet taken, replies
    // not yet out, unsolicited result codes and boot messages still due, a
    // reset asked for but not yet done, bytes on the pty the last terminal
    // did not read. The pty stays, under its name.
    void powerOn();

    // Sends bytes the module produces on its own (unsolicited result codes)
    // behind whatever output is already queued.
    void sendUnsolicited(const QByteArray &bytes) { m_engine->sendUnsolicited(bytes); }

    // A reset, as AT+CFUN=1,1 asks for once its OK has been read: the line
    // drops (the pty goes away and the terminal's side hangs up), and after
    // downMs the module is back on a new pty under another name, saying its
    // boot messages bootMs later.
    void reset();
    static constexpr int kResetDownMs = SimEngine::kResetDownMs;
    static constexpr int kResetBootMs = SimEngine::kResetBootMs;
    void setResetTiming(int downMs, int bootMs) { m_engine->setResetTiming(downMs, bootMs); }

    // The module's status lines, which a pty cannot carry: a terminal in
    // the same program reads them here (statusLinesChanged) and tells its
    // DTR here (a drop ends a data call).
    bool ringIndicator() const { return m_engine->ringIndicator(); }
    bool carrier() const { return m_engine->carrier(); }
    void setTerminalReady(bool on) { m_engine->setTerminalReady(on); }

signals:
    void statusLinesChanged();
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
    void onReadable();
    void onWritable();
    void flushWrites();
    bool pointLink(QString *error);

    // The line, as the engine sees it.
    bool lineUp() const override { return isRunning(); }
    void lineWrite(const QByteArray &bytes) override;
    bool lineDrained() const override;
    bool lineSent() const override;
    void lineReset() override { reset(); }
    void lineStatusChanged() override { emit statusLinesChanged(); }

    SimEngine *m_engine;
    QString m_linkPath;
    int m_master = -1;
    int m_slaveHold = -1;
    QString m_devicePath;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;

    QByteArray m_unwritten;    // released but not yet taken by the master
    QTimer *m_hangupTimer;     // re-arms reading after the slave hung up

    QElapsedTimer m_lastWrite;    // since bytes last went to the master
    Pty m_comingBack;             // the pty the module comes back on
};
