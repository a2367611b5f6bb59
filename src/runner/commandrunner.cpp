#include "runner/commandrunner.h"

#include "at/commandframe.h"
#include "serial/serialsession.h"
#include "text/codepage936.h"

#include <QDateTime>
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
    m_settle.setSingleShot(true);
    connect(&m_settle, &QTimer::timeout, this, &CommandRunner::OnSettled);
    m_urcTimer.setSingleShot(true);
    connect(&m_urcTimer, &QTimer::timeout, this, &CommandRunner::OnUrcWaitOver);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &CommandRunner::OnRetryDue);
    connect(&m_reconnect, &Reconnector::back, this, &CommandRunner::OnDeviceBack);
    connect(&m_reconnect, &Reconnector::gaveUp, this, [this] {
        const Outage &o = m_report.outages.last();
        if (Transaction *t = Current(); t && m_resend) {
            m_resend = false;
            t->outcome = Transaction::Outcome::PortLost;
            emit TransactionDone(*t);
        }
        Finish(2, QStringLiteral("the port went away: %1; not back within %2 s")
                      .arg(o.reason)
                      .arg(double(m_options.reconnectMs) / 1000.0));
    });
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
    // While the port is away or settling nothing is sent; the run goes on
    // from OnSettled.
    if (!m_running || m_reconnect.isWaiting() || m_settling)
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
        const QString why = !last ? QString() : last->failure.isEmpty() ? last->ResultText() : QStringLiteral("check failed");
        Finish(1, last ? QStringLiteral("stopped at command %1: %2").arg(last->index).arg(why) : QStringLiteral("stopped"));
        break;
    }
    }
}

const CommandCheck *CommandRunner::CheckOf(const Transaction &t) const
{
    const auto found = m_checks.constFind(t.index - 1);
    return found == m_checks.constEnd() ? nullptr : &*found;
}

void CommandRunner::SendCommand(const QByteArray &command, int attempt)
{
    // A line still held is given out first, as what it was before this
    // command.
    m_parser.BeginCommand(command);
    Transaction t;
    t.index = int(m_report.transactions.size()) + 1;
    t.command = command;
    t.sentAtMs = m_clock.elapsed();
    t.attempts = attempt;
    // The row after a command answered by the prompt is its body.
    const Transaction *previous = Current();
    t.body = previous && previous->outcome == Transaction::Outcome::Passed
             && previous->final.code == AtFinalResult::Code::Prompt;
    m_report.transactions.append(t);
    m_openUrc = -1;
    m_waiting = true;
    m_writtenAtMs = -1;
    const CommandCheck *check = CheckOf(t);
    int endChar = t.body ? int(END_SUB) : m_options.endChar;
    QByteArray customHex = m_options.customHex;
    if (check && check->endChar >= 0) {
        endChar = check->endChar;
        customHex = check->customHex;
    }
    const CommandFrame frame = BuildCommandFrame(command, endChar, customHex, true);
    if (m_tee)
        m_tee(frame.bytes);
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
    const CommandCheck *check = Current() ? CheckOf(*Current()) : nullptr;
    const qint64 timeoutMs = check && check->timeoutMs > 0 ? check->timeoutMs : m_options.timeoutMs;
    m_timeout.start(int(std::min<qint64>(timeoutMs, std::numeric_limits<int>::max())));
}

void CommandRunner::OnReceiveReady()
{
    char buffer[4096];
    while (m_session.IsOpen() && m_session.BytesAvailable() > 0) {
        const qint64 n = m_session.Read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (m_tee)
            m_tee(QByteArray(buffer, n));
        m_parser.Feed(buffer, n);
    }
    if (m_settling)
        m_settle.start(int(m_options.settleMs));
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
        if (m_waitingUrc && Current()) {
            const CommandCheck *check = CheckOf(*Current());
            if (check && check->wait.match(FromCodePage936(event.text)).hasMatch()) {
                m_waitingUrc = false;
                m_urcTimer.stop();
                m_waiting = true; // for Complete
                Complete(Transaction::Outcome::Passed);
            }
        }
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
        Judge(*t);
        return;
    }
}

void CommandRunner::Judge(Transaction &t)
{
    const CommandCheck *check = CheckOf(t);
    if (!t.final.Succeeded() || !check) {
        Complete(t.final.Succeeded() ? Transaction::Outcome::Passed : Transaction::Outcome::Failed);
        return;
    }
    if (check->HasChecks()) {
        const CheckOutcome judged = EvaluateChecks(*check, t.info + QList<QByteArray>{t.final.text});
        // What was captured is recorded even when a comparison fails it.
        t.values = judged.values;
        if (!judged.passed) {
            t.failure = judged.message;
            Complete(Transaction::Outcome::Failed);
            return;
        }
    }
    if (!check->waits) {
        Complete(Transaction::Outcome::Passed);
        return;
    }
    // A URC that came while the command ran counts.
    for (const UrcRecord &u : std::as_const(m_report.urcs)) {
        if (u.atMs >= t.sentAtMs && check->wait.match(FromCodePage936(u.text)).hasMatch()) {
            Complete(Transaction::Outcome::Passed);
            return;
        }
    }
    t.elapsedMs = m_clock.elapsed() - (m_writtenAtMs >= 0 ? m_writtenAtMs : t.sentAtMs);
    m_waiting = false;
    m_timeout.stop();
    m_waitingUrc = true;
    m_urcTimer.start(int(std::min<qint64>(check->waitMs, std::numeric_limits<int>::max())));
}

void CommandRunner::OnUrcWaitOver()
{
    Transaction *t = Current();
    if (!m_waitingUrc || !t)
        return;
    m_waitingUrc = false;
    const CommandCheck *check = CheckOf(*t);
    QStringList came;
    for (const UrcRecord &u : std::as_const(m_report.urcs)) {
        if (u.atMs >= t->sentAtMs)
            came << QLatin1Char('"') + FromCodePage936(u.text) + QLatin1Char('"');
    }
    t->failure = QStringLiteral("no URC matching \"%1\" within %2 s; %3")
                     .arg(check ? check->wait.pattern() : QString())
                     .arg(double(check ? check->waitMs : 0) / 1000.0)
                     .arg(came.isEmpty() ? QStringLiteral("none came") : QStringLiteral("came ") + came.join(", "));
    m_waiting = true; // for Complete
    Complete(Transaction::Outcome::Failed);
}

void CommandRunner::OnRetryDue()
{
    Transaction *t = Current();
    if (!m_running || !t)
        return;
    const int attempt = t->attempts + 1;
    const QByteArray command = t->command;
    if (m_reconnect.isWaiting() || m_settling) {
        // Sent once the port is back and quiet.
        t->attempts = attempt;
        m_resend = true;
        return;
    }
    m_report.transactions.removeLast();
    SendCommand(command, attempt);
}

void CommandRunner::Complete(Transaction::Outcome outcome)
{
    Transaction *t = Current();
    if (!t || !m_waiting)
        return;
    m_waiting = false;
    m_timeout.stop();
    t->outcome = outcome;
    if ((outcome == Transaction::Outcome::Passed || outcome == Transaction::Outcome::Failed) && t->elapsedMs < 0)
        t->elapsedMs = m_clock.elapsed() - (m_writtenAtMs >= 0 ? m_writtenAtMs : t->sentAtMs);
    const CommandCheck *check = CheckOf(*t);
    if (outcome != Transaction::Outcome::Passed && outcome != Transaction::Outcome::PortLost && check
        && t->attempts <= check->retries) {
        emit Retrying(*t, check->pauseMs);
        m_retryTimer.start(int(std::min<qint64>(check->pauseMs, std::numeric_limits<int>::max())));
        return;
    }
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

void CommandRunner::TeeLine(const char *what)
{
    if (m_tee)
        m_tee("\r\n" + DeviceEventLine(m_report.port.toUtf8(), what, QDateTime::currentDateTime()));
}

void CommandRunner::OnDeviceLost(const QString &reason)
{
    if (!m_running)
        return;
    if (m_options.reconnectMs > 0 && !m_reconnect.isWaiting()) {
        Outage outage;
        outage.lostAtMs = m_clock.elapsed();
        outage.reason = reason;
        if (m_waiting || m_resend) {
            // The command had no answer: it goes again once the port is back.
            outage.duringCommand = Current()->index;
            m_waiting = false;
            m_resend = true;
            m_timeout.stop();
            m_parser.EndCommand();
        }
        m_settling = false;
        m_settle.stop();
        m_report.outages.append(outage);
        TeeLine("lost");
        emit PortLost(outage);
        m_reconnect.begin(m_options.reconnectMs);
        return;
    }
    if (m_waitingUrc) {
        m_waitingUrc = false;
        m_urcTimer.stop();
        m_waiting = true;
    }
    m_retryTimer.stop();
    if (m_waiting)
        Complete(Transaction::Outcome::PortLost);
    m_engine.Stop();
    Finish(2, QStringLiteral("the port went away: %1").arg(reason));
}

void CommandRunner::OnDeviceBack(const QString &devicePath)
{
    Outage &outage = m_report.outages.last();
    outage.backAtMs = m_clock.elapsed();
    TeeLine("back");
    emit PortBack(outage, devicePath);
    m_settling = true;
    m_settle.start(int(m_options.settleMs));
    OnReceiveReady();
}

void CommandRunner::OnSettled()
{
    m_settling = false;
    if (!m_running)
        return;
    if (m_resend) {
        m_resend = false;
        const QByteArray command = Current()->command;
        const int attempt = Current()->attempts;
        m_report.transactions.removeLast();
        SendCommand(command, attempt);
        return;
    }
    Poll();
}

void CommandRunner::Finish(int exitStatus, const QString &reason)
{
    if (!m_running)
        return;
    m_running = false;
    m_reconnect.stop();
    m_settle.stop();
    m_settling = false;
    m_timeout.stop();
    m_urcTimer.stop();
    m_retryTimer.stop();
    m_waitingUrc = false;
    m_parser.Flush();
    for (const auto &connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    m_report.durationMs = m_clock.elapsed();
    m_report.stopReason = reason;
    m_report.exitStatus = exitStatus;
    emit Finished(exitStatus);
}
