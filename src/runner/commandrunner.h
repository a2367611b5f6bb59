#pragma once

#include "at/atreplyparser.h"
#include "at/replyflags.h"
#include "at/sendallengine.h"
#include "runner/checkfile.h"
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
// Exit status of a run: 0 when every command passed, 1 when one failed or
// timed out, 2 when the port went away (the report holds what was done).
//
// With reconnectMs, a port that goes away is waited for that long (the same
// device, under any name); once back, the run waits until the module has
// been quiet for settleMs (its boot messages are recorded as URCs), sends
// again the command that had no answer when the port went, and goes on. The
// report holds each outage.
//
// A row that follows a command answered by the "> " prompt is that
// command's body: it goes out ended by SUB (0x1A), and the module's answer
// to the body is its result.
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
        qint64 reconnectMs = 0;    // 0: a lost port ends the run
        qint64 settleMs = 1000;
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
    bool Running() const { return m_running; }
    const RunReport &Report() const { return m_report; }
    RunReport &Report() { return m_report; }

signals:
    void TransactionDone(const Transaction &transaction);
    // A failed attempt, sent again after pauseMs.
    void Retrying(const Transaction &failed, qint64 pauseMs);
    void UrcReceived(const UrcRecord &urc);
    void PortLost(const Outage &outage);
    void PortBack(const Outage &outage, const QString &devicePath);
    void Finished(int exitStatus);

private:
    void OnEvent(const AtReplyParser::Event &event);
    void OnReceiveReady();
    void OnAllWritten();
    void OnTimeout();
    void OnDeviceLost(const QString &reason);
    void OnDeviceBack(const QString &devicePath);
    void OnSettled();
    void TeeLine(const char *what);
    void SendCommand(const QByteArray &command, int attempt = 1);
    void Judge(Transaction &t);
    void OnUrcWaitOver();
    void OnRetryDue();
    const CommandCheck *CheckOf(const Transaction &t) const;
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
    QTimer m_timeout;
    RunReport m_report;
    bool m_running = false;
    bool m_waiting = false;     // the current command has no result yet
    qint64 m_writtenAtMs = -1;  // when its last byte went out
    int m_openUrc = -1;         // index in urcs of a URC whose second line is due
    QList<QMetaObject::Connection> m_connections;
    Reconnector m_reconnect { m_session };
    QTimer m_settle;
    bool m_settling = false;    // back, waiting for the module to be quiet
    bool m_resend = false;      // the current command goes again once settled
    Tee m_tee;
    QHash<int, CommandCheck> m_checks;
    bool m_waitingUrc = false;  // passed, waiting for its check's URC
    QTimer m_urcTimer;
    QTimer m_retryTimer;
};
