#include "runner/commandrunner.h"

#include "at/commandframe.h"
#include "serial/serialsession.h"

#include <limits>

CommandRunner::CommandRunner(SerialSession &session, QList<QByteArray> commands, Options options, QObject *parent)
    : QObject(parent),
      m_session(session),
      m_commands(std::move(commands)),
      m_options(std::move(options)),
      m_parser([this](const AtReplyParser::Event &event) { OnEvent(event); }),
      // Each command has its own time-out here; the engine's limit for a
      // whole run does not apply.
      m_engine(std::numeric_limits<qint64>::max() / 4)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &CommandRunner::OnTimeout);
    m_report.timeoutMs = m_options.timeoutMs;
    m_report.keepGoing = m_options.keepGoing;
}

void CommandRunner::Start()
{
    m_running = true;
    m_clock.start();
    m_report.started = QDateTime::currentDateTime();
    m_connections << connect(&m_session, &SerialSession::ReceiveReady, this, &CommandRunner::OnReceiveReady)
                  << connect(&m_session, &SerialSession::AllWritten, this, &CommandRunner::OnAllWritten)
                  << connect(&m_session, &SerialSession::DeviceLost, this, &CommandRunner::OnDeviceLost);
    if (!m_session.IsOpen()) {
        Finish(2, QStringLiteral("the port is not open"));
        return;
    }
    m_engine.Start(m_flags, m_commands.size(), m_clock.elapsed());
    Poll();
}

Transaction *CommandRunner::Current()
{
    return m_report.transactions.isEmpty() ? nullptr : &m_report.transactions.last();
}

void CommandRunner::Poll()
{
    if (!m_running)
        return;
    const auto commandAt = [this](qsizetype row) -> std::optional<QByteArray> {
        if (row < 0 || row >= m_commands.size())
            return std::nullopt;
        return m_commands.at(row);
    };
    if (m_engine.Poll(m_clock.elapsed(), commandAt, [this](const QByteArray &command) { SendCommand(command); }))
        return;
    switch (m_engine.Reason()) {
    case SendAllEngine::EndReason::EndOfList:
    case SendAllEngine::EndReason::RowsGone: {
        const bool allPassed = std::all_of(m_report.transactions.begin(), m_report.transactions.end(),
                                           [](const Transaction &t) { return t.outcome == Transaction::Outcome::Passed; });
        Finish(allPassed ? 0 : 1, QString());
        break;
    }
    default: {
        const Transaction *last = Current();
        Finish(1, last ? QStringLiteral("stopped at command %1: %2").arg(last->index).arg(last->ResultText())
                       : QStringLiteral("stopped"));
        break;
    }
    }
}

void CommandRunner::SendCommand(const QByteArray &command)
{
    // A line still held is given out first, as what it was before this
    // command.
    m_parser.BeginCommand(command);
    Transaction t;
    t.index = int(m_report.transactions.size()) + 1;
    t.command = command;
    t.sentAtMs = m_clock.elapsed();
    m_report.transactions.append(t);
    m_openUrc = -1;
    m_waiting = true;
    m_writtenAtMs = -1;
    const CommandFrame frame = BuildCommandFrame(command, m_options.endChar, m_options.customHex, true);
    if (m_session.Write(frame.bytes.constData(), frame.bytes.size()) != frame.bytes.size()) {
        OnDeviceLost(QStringLiteral("the command could not be written"));
        return;
    }
    if (m_session.BytesToWrite() == 0)
        OnAllWritten();
}

void CommandRunner::OnAllWritten()
{
    if (!m_waiting || m_writtenAtMs >= 0)
        return;
    // The time-out and the reply time count from the last byte written.
    m_writtenAtMs = m_clock.elapsed();
    m_timeout.start(int(std::min<qint64>(m_options.timeoutMs, std::numeric_limits<int>::max())));
}

void CommandRunner::OnReceiveReady()
{
    char buffer[4096];
    while (m_session.IsOpen() && m_session.BytesAvailable() > 0) {
        const qint64 n = m_session.Read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        m_parser.Feed(buffer, n);
    }
}

void CommandRunner::OnEvent(const AtReplyParser::Event &event)
{
    Transaction *t = m_waiting ? Current() : nullptr;
    switch (event.kind) {
    case AtReplyParser::Kind::Noise:
        return;
    case AtReplyParser::Kind::Urc:
        if (event.continuation && m_openUrc >= 0 && m_openUrc < m_report.urcs.size()) {
            m_report.urcs[m_openUrc].text += '\n' + event.text;
            return;
        }
        m_report.urcs.append({m_clock.elapsed(), event.text, t ? t->index : 0});
        m_openUrc = int(m_report.urcs.size()) - 1;
        emit UrcReceived(m_report.urcs.last());
        return;
    case AtReplyParser::Kind::Echo:
        if (t) {
            t->echo = event.text;
            t->echoed = true;
        }
        return;
    case AtReplyParser::Kind::Info:
        if (t)
            t->info.append(event.text);
        return;
    case AtReplyParser::Kind::Final:
        if (!t)
            return;
        t->final = event.final;
        Complete(event.final.Succeeded() ? Transaction::Outcome::Passed : Transaction::Outcome::Failed);
        return;
    }
}

void CommandRunner::Complete(Transaction::Outcome outcome)
{
    Transaction *t = Current();
    if (!t || !m_waiting)
        return;
    m_waiting = false;
    m_timeout.stop();
    t->outcome = outcome;
    if (outcome == Transaction::Outcome::Passed || outcome == Transaction::Outcome::Failed)
        t->elapsedMs = m_clock.elapsed() - (m_writtenAtMs >= 0 ? m_writtenAtMs : t->sentAtMs);
    emit TransactionDone(*t);
    if (outcome == Transaction::Outcome::PortLost)
        return;
    // The engine goes on when "OK" was seen and stops when "ERROR" was: a
    // failure counts as OK when the run keeps going.
    if (outcome == Transaction::Outcome::Passed || m_options.keepGoing)
        m_flags.okSeen = true;
    else
        m_flags.noError = false;
    // Sending from inside the parser's callback would start the next command
    // in the middle of this read: the engine polls once the read is done.
    QTimer::singleShot(0, this, &CommandRunner::Poll);
}

void CommandRunner::OnTimeout()
{
    if (!m_waiting)
        return;
    m_parser.EndCommand();
    Complete(Transaction::Outcome::TimedOut);
}

void CommandRunner::OnDeviceLost(const QString &reason)
{
    if (!m_running)
        return;
    if (m_waiting)
        Complete(Transaction::Outcome::PortLost);
    m_engine.Stop();
    Finish(2, QStringLiteral("the port went away: %1").arg(reason));
}

void CommandRunner::Finish(int exitStatus, const QString &reason)
{
    if (!m_running)
        return;
    m_running = false;
    m_timeout.stop();
    m_parser.Flush();
    for (const auto &connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    m_report.durationMs = m_clock.elapsed();
    m_report.stopReason = reason;
    m_report.exitStatus = exitStatus;
    emit Finished(exitStatus);
}
