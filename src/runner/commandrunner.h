#pragma once

#include "at/atreplyparser.h"
#include "at/replyflags.h"
#include "at/sendallengine.h"
#include "runner/runreport.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

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
    };

    CommandRunner(SerialSession &session, QList<QByteArray> commands, Options options, QObject *parent = nullptr);

    // Starts the run; the session must be open. Finished() follows, once.
    void Start();
    bool Running() const { return m_running; }
    const RunReport &Report() const { return m_report; }
    RunReport &Report() { return m_report; }

signals:
    void TransactionDone(const Transaction &transaction);
    void UrcReceived(const UrcRecord &urc);
    void Finished(int exitStatus);

private:
    void OnEvent(const AtReplyParser::Event &event);
    void OnReceiveReady();
    void OnAllWritten();
    void OnTimeout();
    void OnDeviceLost(const QString &reason);
    void SendCommand(const QByteArray &command);
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
};
