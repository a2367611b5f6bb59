#pragma once

#include "simmodule.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

class QTimer;

// The line a SimEngine serves its module on: a pseudo-terminal (SimPort) or
// a terminal in the same program (SimInProcessPort).
class SimLine
{
public:
    // A terminal can be reached: input is taken, output goes out.
    virtual bool lineUp() const = 0;
    // Output whose time on the line has come.
    virtual void lineWrite(const QByteArray &bytes) = 0;
    // Everything written so far has been read by the terminal.
    virtual bool lineDrained() const = 0;
    // Everything written so far is on its way to the terminal, readable
    // there (whether it reads or not).
    virtual bool lineSent() const { return true; }
    // The module restarts (AT+CFUN=1,1), its reply out: the line drops.
    virtual void lineReset() = 0;
    // The module's status lines changed (SimEngine::ringIndicator()); a
    // line without them (a pseudo-terminal) lets it pass.
    virtual void lineStatusChanged() {}

protected:
    ~SimLine() = default;
};

// What a simulated module does on its line, whatever the line is: takes the
// terminal's bytes, answers after the reply delay, paces its output at the
// line's byte rate, sends unsolicited result codes when due, restarts when
// asked (the line told when its reply is out), and forgets everything
// pending when switched off and on. The line moves the bytes.
class SimEngine : public QObject
{
    Q_OBJECT

public:
    static constexpr int kResetDownMs = 300;
    static constexpr int kResetBootMs = 100;
    static constexpr int kPaceIntervalMs = 10;
    // Input that waits behind a delayed reply, and output the terminal does
    // not take, are bounded like a real module's buffers: the excess is
    // dropped.
    static constexpr qsizetype kMaxPendingInput = 64 * 1024;
    static constexpr qsizetype kMaxPendingOutput = 1024 * 1024;

    explicit SimEngine(SimLine &line, QObject *parent = nullptr);
    ~SimEngine() override;

    SimulatedModule &module() { return m_module; }

    // Paces output at the byte rate of a line at baud bits per second (ten
    // bits a byte), released in small pieces; 0 sends at once.
    void setLineRate(int baud);
    int lineRate() const { return m_baud; }
    // Waits ms before answering a completed command line or message; the
    // echo is never delayed.
    void setReplyDelay(int ms);
    int replyDelay() const { return m_replyDelay; }
    // How long a reset keeps the line down, and how long after the module
    // is back it says its boot messages; the line applies them.
    void setResetTiming(int downMs, int bootMs);
    int resetDownMs() const { return m_resetDownMs; }
    int resetBootMs() const { return m_resetBootMs; }

    // Bytes from the terminal: taken (bounded like a module's buffer), then
    // processed; a line that reads in several pieces takes them all first.
    void takeInput(const QByteArray &bytes);
    void processInput();

    // Bytes the module produces on its own, behind whatever output is queued.
    void sendUnsolicited(const QByteArray &bytes);

    // Drops everything pending: input, replies, paced output, a reset asked
    // for. What was scheduled (unsolicited result codes) stays due.
    void clear();
    // Switched off and on: clear(), nothing scheduled before is sent, and
    // the module is as at its first start.
    void powerOn();
    // Counts the powerOn() calls.
    quint64 generation() const { return m_generation; }
    // Says the boot messages in ms, unless powered on since generation.
    void bootIn(int ms, quint64 generation);

    // The ring indicator: on for kRingPulseMs when the module has sent RING
    // (once it is out and read), for kMessagePulseMs after a message's +CMTI
    // or +CMT, as modules pulse it to wake a host; off again after, and at
    // clear().
    static constexpr int kRingPulseMs = 1000;
    static constexpr int kMessagePulseMs = 120;
    bool ringIndicator() const { return m_ri; }
    // The carrier (DCD): on during a packet data call (SimulatedModule::
    // inDataCall()).
    bool carrier() const { return m_dcd; }
    // The terminal's DTR: dropped during a data call, it ends the call.
    void setTerminalReady(bool on);

    bool resetPending() const { return m_resetPending; }
    // True while a reply is waiting for the delay or for the line to carry it.
    bool holdsOutput() const;

private:
    void maybeReset();
    void releaseReply();
    void transmit(const QByteArray &bytes);
    void onPaceTick();
    void pulseRing(int ms);
    void setRing(bool on);
    void updateStatus();

    SimLine &m_line;
    SimulatedModule m_module;

    QByteArray m_input;        // taken, not yet given to the module
    QByteArray m_heldReply;    // waiting for the reply delay
    QTimer *m_replyTimer;
    int m_replyDelay = 0;

    QByteArray m_paced;        // waiting for the line to carry it
    QTimer *m_paceTimer;
    QElapsedTimer m_paceClock;
    qint64 m_pacedSent = 0;    // bytes released since m_paceClock started
    int m_baud = 0;

    bool m_resetPending = false;  // asked for, the reply not yet out
    QElapsedTimer m_resetWait;    // since it was asked for
    int m_resetDownMs = kResetDownMs;
    int m_resetBootMs = kResetBootMs;

    quint64 m_generation = 0;

    QTimer *m_ringTimer;
    QTimer *m_statusTimer;
    int m_pulseDueMs = 0;         // an RI pulse waiting for its code to be out
    bool m_ri = false;
    bool m_dcd = false;
};
