#pragma once

#include "at/atreplyparser.h"
#include "at/replyflags.h"
#include "at/sendallengine.h"
#include "runner/checkfile.h"
#include "runner/runlinework.h"
#include "runner/runreport.h"
#include "serial/reconnector.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class SerialSession;

// Runs a command set over an open port without a window: each command framed
// as the window frames it, sent in order by the Send All engine, and tied to
// its reply as an AT client reads it (AtReplyParser): the next command goes
// once the previous one has its final result code. A command without one
// within the time-out has timed out. The first failure (a result other than
// OK, CONNECT or the prompt, or a time-out) ends the run unless keepGoing.
//
// Every wait of a run has a limit, whatever the module does: the run is
// always in one phase, and each phase is entered with its bound (Enter):
// - a command's bytes must leave the port within their time on the wire plus
//   writeMarginMs (a module that does not read: its output is dropped and
//   the command has timed out), then its final result must come within the
//   time-out;
// - after a time-out, the next command waits until the line has been quiet
//   for quietAfterTimeoutMs (at most quietLimitMs), so that a late final
//   result is not taken as the next command's; it is recorded as the late
//   result of the command that timed out;
// - a retry's pause, a check's wait for a URC;
// - with reconnectMs, a port that goes away is waited for that long (the
//   same device, under any name; never a pty opened by its own name), at
//   most maxOutages times in a run; once
//   back, the run waits until the module has been quiet for settleMs (its
//   boot messages are recorded as URCs), at most settleLimitMs, and goes on
//   with the next row;
// - a DTR pulse or a break (the run's before its first command, a row's
//   before it is first sent) takes its own length, a paced frame its pauses
//   on top of its time on the wire;
// - deadlineMs, when set, ends the whole run (Stop).
//
// A command that was waiting when the line dropped is never sent again by
// itself: its outcome is PortLost, unless the row is expected to reset the
// module (its check says reset = yes, or it is AT+CFUN=1,1 and its check
// does not say no), when the drop passes it. After such a row answers, the
// run waits for its line to drop (at most resetDropMs) before it goes on.
//
// Exit status of a run: 0 when every command passed, 1 when one failed or
// timed out (or the deadline passed), 2 when the port went away (the report
// holds what was done).
//
// A row that follows a command answered by the "> " prompt is that
// command's body: it goes out ended by SUB (0x1A), and the module's answer
// to the body is its result. A body sent again (retries) goes after its
// command again, once the module has prompted for it.
//
// With checks (SetChecks, from a check file), a row's reply must also pass
// its matches and comparisons (a failure fails the command, saying which
// check and what came instead), its named captures are recorded, it may
// have its own time-out and end character, it is sent again up to its
// retries after a pause when it fails, and once it passed the run may wait
// for a URC before the next row.
class CommandRunner : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        int endChar = 1;           // EndChar (commandframe.h); CR by default
        QByteArray customHex;      // the hex text for END_CUSTOM
        qint64 timeoutMs = 10000;  // per command, from the last byte written
        bool keepGoing = false;
        bool decode = false;       // the decoded answers in the report
        qint64 reconnectMs = 0;    // per outage; 0: a lost port ends the run
        int maxOutages = 10;       // more outages than this end the run
        qint64 settleMs = 1000;
        qint64 settleLimitMs = 5000;
        qint64 resetDropMs = 10000;
        qint64 quietAfterTimeoutMs = 500;
        qint64 quietLimitMs = 3000;
        qint64 writeMarginMs = 2000;
        qint64 deadlineMs = 0;     // the whole run; 0: none
        // Pacing of every frame (a row's char-delay replaces the first).
        int charDelayMs = 0;
        int lineDelayMs = 0;
        // DTR turned over for this long before the first command (a
        // module's power key on DTR); dtrOn is DTR's state otherwise.
        int pulseDtrMs = 0;
        bool dtrOn = false;
    };
    // Is given every byte written and received, in order, and the lines
    // telling that the port went and came back (a log of the exchange).
    using Tee = std::function<void(const QByteArray &bytes)>;

    CommandRunner(SerialSession &session, QList<QByteArray> commands, Options options, QObject *parent = nullptr);

    // The device the session opened, found again after a loss.
    void RememberDevice(const SerialSettings &opened) { m_reconnect.remember(opened); }
    void SetTee(Tee tee) { m_tee = std::move(tee); }
    // Row index -> its checks; before Start.
    void SetChecks(QHash<int, CommandCheck> checks) { m_checks = std::move(checks); }

    // Starts the run; the session must be open. Finished() follows, once.
    void Start();
    // Ends the run now (a signal, the deadline): a command still waiting is
    // Stopped, what is queued for the port is dropped, and Finished(exitStatus)
    // follows with why as the stop reason.
    void Stop(const QString &why, int exitStatus);
    bool Running() const { return m_running; }
    const RunReport &Report() const { return m_report; }
    RunReport &Report() { return m_report; }

    // The longest this run can take with these options, whatever the module
    // does (every command sent with all its retries and timed out each time,
    // every outage waited out), not counting the close; the deadline when it
    // is shorter. Needs the session open (the line's speed).
    qint64 BoundMs() const;

signals:
    void TransactionDone(const Transaction &transaction);
    // A failed attempt, sent again after pauseMs.
    void Retrying(const Transaction &failed, qint64 pauseMs);
    void UrcReceived(const UrcRecord &urc);
    void PortLost(const Outage &outage);
    void PortBack(const Outage &outage, const QString &devicePath);
    void Finished(int exitStatus);

private:
    enum class Phase {
        Idle,       // between commands: the engine's next poll is queued
        Command,    // a command is written or waits for its final result
        UrcWait,    // it passed; waiting for its check's URC
        RetryPause, // it failed; sent again after the pause
        Quiet,      // after a time-out: waiting for the line to be quiet
        ResetDrop,  // a reset command answered: waiting for its line to drop
        LineWork,   // a DTR pulse or a break before a row, or before the run
        Away,       // the port went away: waiting for the device
        Settle,     // the device is back: waiting for the module to be quiet
        Done,
    };

    void Enter(Phase phase, qint64 boundMs);
    void OnBound();
    void WaitQuiet(Phase phase, qint64 quietMs, qint64 limitMs, std::function<void()> then);
    void QuietOver();
    void OnEvent(const AtReplyParser::Event &event);
    void OnFinal(const AtFinalResult &final);
    void OnReceiveReady();
    void OnAllWritten();
    void OnWriteStuck(qint64 droppedAlready);
    void OnDeviceLost(const QString &reason);
    void OnDeviceBack(const QString &devicePath);
    void TeeLine(const char *what);
    void SendCommand(const QByteArray &command, int attempt = 1);
    bool WriteFrame(const QByteArray &bytes);
    void Judge(Transaction &t);
    void Pass();
    void Retry();
    void UrcWaitOver();
    const CommandCheck *CheckOfRow(int row) const;
    const CommandCheck *CheckOf(const Transaction &t) const;
    bool ExpectsReset(int row, const QByteArray &command, bool body) const;
    bool ExpectsReset(const Transaction &t) const;
    qint64 TimeoutOfRow(int row) const;
    bool NextIsBody() const;
    QByteArray FrameOf(const QByteArray &command, int row, bool body) const;
    PacedWriter::Pacing PacingOfRow(int row) const;
    void Complete(Transaction::Outcome outcome);
    void Poll();
    void Finish(int exitStatus, const QString &reason);
    Transaction *Current();

    SerialSession &m_session;
    QList<QByteArray> m_commands;
    Options m_options;
    AtReplyParser m_parser;
    SendAllEngine m_engine;
    ReplyFlags m_flags;
    QElapsedTimer m_clock;
    RunReport m_report;
    bool m_running = false;
    Phase m_phase = Phase::Idle;
    QTimer m_bound;             // the current phase's limit
    QTimer m_quiet;             // Quiet and Settle: restarted by every byte
    qint64 m_quietMs = 0;
    std::function<void()> m_afterQuiet;
    QTimer m_deadline;
    qint64 m_writtenAtMs = -1;  // when the command's last byte went out; -1 while writing
    qsizetype m_frameBytes = 0; // the bytes of the frame being written
    QByteArray m_bodyFrame;     // a body sent again: written once its command has the prompt
    bool m_needQuiet = false;   // a command timed out: quiet before the next one
    bool m_timedOutEchoed = false; // ... and the module had echoed it
    bool m_echoGuard = false;   // a final result before this command's echo is the earlier one's
    int m_lateTarget = -1;      // the transaction a late final result belongs to
    bool m_retryAfterBack = false;
    int m_openUrc = -1;         // index in urcs of a URC whose second line is due
    QList<QMetaObject::Connection> m_connections;
    Reconnector m_reconnect { m_session };
    Tee m_tee;
    QHash<int, CommandCheck> m_checks;
    RunLineWork m_lineWork { m_session };
    int m_lineWorkDone = -1;    // the row whose pulse and break are done

};
