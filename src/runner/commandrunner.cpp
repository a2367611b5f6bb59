#include "runner/commandrunner.h"

#include "at/commandframe.h"
#include "runner/decodedanswer.h"
#include "serial/serialsession.h"
#include "text/codepage936.h"

#include <QDateTime>
#include <limits>

namespace {

int TimerMs(qint64 ms)
{
    return int(std::clamp<qint64>(ms, 0, std::numeric_limits<int>::max()));
}

QString Seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0);
}

// ATE0 (alone or among other basic commands) turns the echo off.
bool TurnsEchoOff(const QByteArray &command)
{
    const QByteArray c = command.toUpper();
    return c.startsWith("AT") && !c.contains('+') && (c.contains("E0") || c.endsWith('E'));
}

} // namespace

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
    m_report.timeoutMs = m_options.timeoutMs;
    m_report.keepGoing = m_options.keepGoing;
    m_report.decode = m_options.decode;
    // A limit the user set is kept to the millisecond: a coarse timer may
    // end a wait up to 5 % early.
    m_bound.setSingleShot(true);
    m_bound.setTimerType(Qt::PreciseTimer);
    connect(&m_bound, &QTimer::timeout, this, &CommandRunner::OnBound);
    m_quiet.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this, &CommandRunner::QuietOver);
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        Stop(QStringLiteral("the run's deadline of %1 s passed").arg(Seconds(m_options.deadlineMs)), 1);
    });
    connect(&m_reconnect, &Reconnector::back, this, &CommandRunner::OnDeviceBack);
}

void CommandRunner::Start()
{
    m_running = true;
    m_clock.start();
    m_report.started = QDateTime::currentDateTime();
    m_connections << connect(&m_session, &SerialSession::ReceiveReady, this, &CommandRunner::OnReceiveReady)
                  << connect(&m_session, &SerialSession::AllWritten, this, &CommandRunner::OnAllWritten)
                  << connect(&m_session, &SerialSession::WriteTimedOut, this, &CommandRunner::OnWriteStuck)
                  << connect(&m_session, &SerialSession::DeviceLost, this, &CommandRunner::OnDeviceLost);
    if (!m_session.IsOpen()) {
        Finish(2, QStringLiteral("the port is not open"));
        return;
    }
    if (m_options.deadlineMs > 0)
        m_deadline.start(TimerMs(m_options.deadlineMs));
    m_report.boundMs = BoundMs();
    m_engine.Start(m_flags, m_commands.size(), m_clock.elapsed());
    if (m_options.pulseDtrMs > 0) {
        Enter(Phase::LineWork, RunLineWork::StepsMs(m_options.pulseDtrMs, 0) + m_options.writeMarginMs);
        m_lineWork.Steps(m_options.pulseDtrMs, m_options.dtrOn, 0, [this](bool, const QString &) {
            Enter(Phase::Idle, 0);
            Poll();
        });
        return;
    }
    Enter(Phase::Idle, 0);
    Poll();
}

qint64 CommandRunner::BoundMs() const
{
    qint64 total = 0;
    for (int row = 0; row < m_commands.size(); ++row) {
        const CommandCheck *check = CheckOfRow(row);
        const int attempts = 1 + (check ? check->retries : 0);
        const qint64 timeout = TimeoutOfRow(row);
        const qint64 paced = PacedWriter::PausesMs(FrameOf(m_commands.at(row), row, false), PacingOfRow(row));
        qint64 one = m_session.WireMs(m_commands.at(row).size() + 8) + paced
                     + std::min(m_options.writeMarginMs, timeout) + timeout + m_options.quietLimitMs;
        // A body sent again goes after its command, which waits for the prompt.
        if (row > 0 && AtReplyParser::AsksForBody(m_commands.at(row - 1)))
            one += m_session.WireMs(m_commands.at(row - 1).size() + 8) + std::min(m_options.writeMarginMs, timeout)
                   + timeout;
        if (check && check->waits)
            one += check->waitMs;
        if (check && (check->pulseDtrMs > 0 || check->breakMs > 0))
            total += RunLineWork::StepsMs(check->pulseDtrMs, check->breakMs) + m_options.writeMarginMs;
        total += attempts * one + (attempts - 1) * (check ? check->pauseMs : 0)
                 + (ExpectsReset(row, m_commands.at(row), false) ? m_options.resetDropMs : 0);
    }
    if (m_options.pulseDtrMs > 0)
        total += RunLineWork::StepsMs(m_options.pulseDtrMs, 0) + m_options.writeMarginMs;
    if (m_options.reconnectMs > 0)
        total += qint64(m_options.maxOutages + 1) * (m_options.reconnectMs + m_options.settleLimitMs);
    return m_options.deadlineMs > 0 ? std::min(total, m_options.deadlineMs) : total;
}

Transaction *CommandRunner::Current()
{
    return m_report.transactions.isEmpty() ? nullptr : &m_report.transactions.last();
}

void CommandRunner::Enter(Phase phase, qint64 boundMs)
{
    m_phase = phase;
    m_quiet.stop();
    // Idle and Done wait for nothing; every other phase ends by its bound
    // at the latest.
    if (phase == Phase::Idle || phase == Phase::Done)
        m_bound.stop();
    else
        m_bound.start(TimerMs(boundMs));
}

void CommandRunner::OnBound()
{
    Transaction *t = Current();
    switch (m_phase) {
    case Phase::Command:
        if (m_writtenAtMs < 0) {
            OnWriteStuck(0);
            return;
        }
        m_parser.EndCommand();
        Complete(Transaction::Outcome::TimedOut);
        return;
    case Phase::UrcWait:
        UrcWaitOver();
        return;
    case Phase::RetryPause:
        if (m_needQuiet) {
            m_needQuiet = false;
            WaitQuiet(Phase::Quiet, m_options.quietAfterTimeoutMs, m_options.quietLimitMs, [this] { Retry(); });
        } else {
            Retry();
        }
        return;
    case Phase::Quiet:
    case Phase::Settle:
        QuietOver();
        return;
    case Phase::ResetDrop:
        if (t) {
            t->why = QStringLiteral("it answered, but the module did not reset (the line did not drop within %1 s)")
                         .arg(Seconds(m_options.resetDropMs));
            Complete(Transaction::Outcome::Failed);
        }
        return;
    case Phase::LineWork:
        // The steps run on their own timers; this bound only catches what
        // never ends.
        m_lineWork.Cancel();
        Finish(1, QStringLiteral("a DTR pulse or break did not end in time"));
        return;
    case Phase::Away: {
        m_reconnect.stop();
        const Outage &o = m_report.outages.last();
        Finish(2, QStringLiteral("the port went away: %1; not back within %2 s")
                      .arg(o.reason, Seconds(m_options.reconnectMs)));
        return;
    }
    case Phase::Idle:
    case Phase::Done:
        return;
    }
}

void CommandRunner::WaitQuiet(Phase phase, qint64 quietMs, qint64 limitMs, std::function<void()> then)
{
    Enter(phase, limitMs);
    m_afterQuiet = std::move(then);
    m_quietMs = quietMs;
    m_quiet.start(TimerMs(quietMs));
}

void CommandRunner::QuietOver()
{
    if (m_phase != Phase::Quiet && m_phase != Phase::Settle)
        return;
    Enter(Phase::Idle, 0);
    std::function<void()> then = std::move(m_afterQuiet);
    m_afterQuiet = nullptr;
    if (then)
        then();
}

void CommandRunner::Poll()
{
    // The engine's queued poll finds the run elsewhere when the port went
    // away meanwhile; the run goes on from there.
    if (!m_running || m_phase != Phase::Idle)
        return;
    if (m_needQuiet) {
        m_needQuiet = false;
        WaitQuiet(Phase::Quiet, m_options.quietAfterTimeoutMs, m_options.quietLimitMs, [this] { Poll(); });
        return;
    }
    const auto commandAt = [this](qsizetype row) -> std::optional<QByteArray> {
        if (row < 0 || row >= m_commands.size())
            return std::nullopt;
        return m_commands.at(row);
    };
    const auto send = [this](const QByteArray &command) {
        // An empty row (a gap in the set's numbering) is not sent, unless its
        // check asks for it or it is a body after a prompt.
        if (command.trimmed().isEmpty() && !NextIsBody() && !m_checks.contains(int(m_report.transactions.size()))) {
            Transaction t;
            t.index = int(m_report.transactions.size()) + 1;
            t.command = command;
            t.sentAtMs = m_clock.elapsed();
            t.outcome = Transaction::Outcome::NotRun;
            t.why = QStringLiteral("empty row");
            m_report.transactions.append(t);
            emit TransactionDone(m_report.transactions.last());
            m_flags.okSeen = true;
            QTimer::singleShot(0, this, &CommandRunner::Poll);
            return;
        }
        SendCommand(command);
    };
    if (m_engine.Poll(m_clock.elapsed(), commandAt, send)) {
        // Every path here has set the engine's flags: a poll that sends
        // nothing and goes on would wait for ever (an empty row queues the
        // next poll itself).
        if (m_running && m_phase == Phase::Idle && !m_flags.okSeen)
            Finish(1, QStringLiteral("the run could not go on after command %1").arg(m_report.transactions.size()));
        return;
    }
    switch (m_engine.Reason()) {
    case SendAllEngine::EndReason::EndOfList:
    case SendAllEngine::EndReason::RowsGone: {
        const bool allPassed = std::all_of(m_report.transactions.begin(), m_report.transactions.end(), [](const Transaction &t) {
            return t.outcome == Transaction::Outcome::Passed || t.outcome == Transaction::Outcome::NotRun;
        });
        const bool lost = m_report.Count(Transaction::Outcome::PortLost) > 0;
        Finish(allPassed ? 0 : lost ? 2 : 1, QString());
        break;
    }
    default: {
        const Transaction *last = Current();
        const QString why = !last                  ? QString()
                            : !last->failure.isEmpty() ? QStringLiteral("check failed")
                            : !last->why.isEmpty()     ? last->ResultText() + QStringLiteral(": ") + last->why
                                                       : last->ResultText();
        const bool lost = last && last->outcome == Transaction::Outcome::PortLost;
        Finish(lost ? 2 : 1, last ? QStringLiteral("stopped at command %1: %2").arg(last->index).arg(why)
                                  : QStringLiteral("stopped"));
        break;
    }
    }
}

const CommandCheck *CommandRunner::CheckOfRow(int row) const
{
    const auto found = m_checks.constFind(row);
    return found == m_checks.constEnd() ? nullptr : &*found;
}

const CommandCheck *CommandRunner::CheckOf(const Transaction &t) const
{
    return CheckOfRow(t.index - 1);
}

bool CommandRunner::ExpectsReset(int row, const QByteArray &command, bool body) const
{
    if (m_options.reconnectMs <= 0 || body)
        return false;
    const CommandCheck *check = CheckOfRow(row);
    if (check && check->resets >= 0)
        return check->resets == 1;
    return IsResetCommand(command);
}

bool CommandRunner::ExpectsReset(const Transaction &t) const
{
    return ExpectsReset(t.index - 1, t.command, t.body);
}

qint64 CommandRunner::TimeoutOfRow(int row) const
{
    const CommandCheck *check = CheckOfRow(row);
    return check && check->timeoutMs > 0 ? check->timeoutMs : m_options.timeoutMs;
}

bool CommandRunner::NextIsBody() const
{
    // The row after a command answered by the prompt is its body.
    const Transaction *previous = m_report.transactions.isEmpty() ? nullptr : &m_report.transactions.last();
    return previous && previous->outcome == Transaction::Outcome::Passed
           && previous->final.code == AtFinalResult::Code::Prompt;
}

QByteArray CommandRunner::FrameOf(const QByteArray &command, int row, bool body) const
{
    const CommandCheck *check = CheckOfRow(row);
    int endChar = body ? int(END_SUB) : m_options.endChar;
    QByteArray customHex = m_options.customHex;
    if (check && check->endChar >= 0) {
        endChar = check->endChar;
        customHex = check->customHex;
    }
    return BuildCommandFrame(command, endChar, customHex, true).bytes;
}

PacedWriter::Pacing CommandRunner::PacingOfRow(int row) const
{
    const CommandCheck *check = CheckOfRow(row);
    return { check && check->charDelayMs >= 0 ? check->charDelayMs : m_options.charDelayMs, m_options.lineDelayMs };
}

void CommandRunner::SendCommand(const QByteArray &command, int attempt)
{
    // A row's pulse and break go before it is first sent.
    const int row = int(m_report.transactions.size());
    const CommandCheck *rowCheck = CheckOfRow(row);
    if (attempt == 1 && m_lineWorkDone != row && rowCheck && (rowCheck->pulseDtrMs > 0 || rowCheck->breakMs > 0)) {
        Enter(Phase::LineWork, RunLineWork::StepsMs(rowCheck->pulseDtrMs, rowCheck->breakMs) + m_options.writeMarginMs);
        m_lineWork.Steps(rowCheck->pulseDtrMs, m_options.dtrOn, rowCheck->breakMs,
                         [this, command, row](bool ok, const QString &why) {
                             m_lineWorkDone = row;
                             if (ok) {
                                 SendCommand(command, 1);
                                 return;
                             }
                             // Not sent: the row asked for what this port
                             // cannot do, and fails without its retries.
                             Transaction t;
                             t.index = row + 1;
                             t.command = command;
                             t.sentAtMs = m_clock.elapsed();
                             t.why = why;
                             const CommandCheck *check = CheckOfRow(row);
                             t.attempts = 1 + (check ? check->retries : 0);
                             m_report.transactions.append(t);
                             m_writtenAtMs = -1;
                             Complete(Transaction::Outcome::Failed);
                         });
        return;
    }

    Transaction t;
    t.index = int(m_report.transactions.size()) + 1;
    t.command = command;
    t.sentAtMs = m_clock.elapsed();
    t.attempts = attempt;
    const Transaction *previous = Current();
    t.body = NextIsBody();
    // After a time-out of an echoed command, a final result before this
    // command's echo is the late answer of that one.
    m_echoGuard = m_timedOutEchoed;
    m_timedOutEchoed = false;
    m_openUrc = -1;
    m_bodyFrame.clear();
    const QByteArray frame = FrameOf(command, t.index - 1, t.body);
    QByteArray first = frame;
    QByteArray expected = command;
    if (t.body && attempt > 1) {
        // The module is no longer at the prompt: its command goes first, and
        // the body once the prompt is there again.
        m_bodyFrame = frame;
        expected = previous->command;
        first = FrameOf(expected, previous->index - 1, previous->body);
    }
    m_report.transactions.append(t);
    // A line still held is given out first, as what it was before this
    // command.
    m_parser.BeginCommand(expected);
    WriteFrame(first);
}

bool CommandRunner::WriteFrame(const QByteArray &bytes)
{
    m_writtenAtMs = -1;
    m_frameBytes = bytes.size();
    // Its bytes must be out within their time on the wire (its pauses, when
    // paced, included) and a margin (no longer than the command's own
    // time-out).
    const PacedWriter::Pacing pacing = PacingOfRow(Current()->index - 1);
    Enter(Phase::Command, m_session.WireMs(bytes.size()) + PacedWriter::PausesMs(bytes, pacing)
                              + std::min(m_options.writeMarginMs, TimeoutOfRow(Current()->index - 1)));
    if (m_tee)
        m_tee(bytes);
    if (pacing.paced()) {
        m_lineWork.Write(bytes, pacing, [this](bool complete) {
            if (!complete)
                OnDeviceLost(QStringLiteral("the command could not be written"));
            else if (m_session.BytesToWrite() == 0)
                OnAllWritten();
        });
        return true;
    }
    if (m_session.Write(bytes.constData(), bytes.size()) != bytes.size()) {
        OnDeviceLost(QStringLiteral("the command could not be written"));
        return false;
    }
    if (m_session.BytesToWrite() == 0)
        OnAllWritten();
    return true;
}

void CommandRunner::OnAllWritten()
{
    if (m_phase != Phase::Command || m_writtenAtMs >= 0 || m_lineWork.Writing())
        return;
    // The time-out and the reply time count from the last byte written.
    m_writtenAtMs = m_clock.elapsed();
    Enter(Phase::Command, TimeoutOfRow(Current()->index - 1));
}

void CommandRunner::OnWriteStuck(qint64 droppedAlready)
{
    if (m_phase != Phase::Command || m_writtenAtMs >= 0)
        return;
    // The module does not read: what is queued goes, and the next command
    // does not wait behind it.
    m_lineWork.Cancel();
    const qint64 dropped = droppedAlready + m_session.DropOutput();
    Transaction *t = Current();
    t->why = QStringLiteral("the module did not take it: %1 byte%2 still unsent after %3 s, dropped")
                 .arg(dropped)
                 .arg(dropped == 1 ? "" : "s")
                 .arg(Seconds(m_clock.elapsed() - t->sentAtMs));
    m_parser.EndCommand();
    Complete(Transaction::Outcome::TimedOut);
}

void CommandRunner::OnReceiveReady()
{
    char buffer[4096];
    bool any = false;
    while (m_session.IsOpen() && m_session.BytesAvailable() > 0) {
        const qint64 n = m_session.Read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        any = true;
        if (m_tee)
            m_tee(QByteArray(buffer, n));
        m_parser.Feed(buffer, n);
    }
    // Quiet means no byte for quietMs; the phase's bound still ends it.
    if (any && (m_phase == Phase::Quiet || m_phase == Phase::Settle))
        m_quiet.start(TimerMs(m_quietMs));
}

void CommandRunner::OnEvent(const AtReplyParser::Event &event)
{
    Transaction *t = m_phase == Phase::Command ? Current() : nullptr;
    switch (event.kind) {
    case AtReplyParser::Kind::Noise:
        return;
    case AtReplyParser::Kind::Urc:
        // No command waits: a final result is the late answer of one that
        // timed out.
        if (!t && m_lateTarget >= 0 && !event.continuation
            && AtFinalResult::Classify(event.text).code != AtFinalResult::Code::None) {
            OnFinal(AtFinalResult::Classify(event.text));
            return;
        }
        if (event.continuation && m_openUrc >= 0 && m_openUrc < m_report.urcs.size()) {
            m_report.urcs[m_openUrc].text += '\n' + event.text;
            return;
        }
        m_report.urcs.append({m_clock.elapsed(), event.text, t ? t->index : 0});
        m_openUrc = int(m_report.urcs.size()) - 1;
        emit UrcReceived(m_report.urcs.last());
        if (m_phase == Phase::UrcWait && Current()) {
            const CommandCheck *check = CheckOf(*Current());
            if (check && check->wait.match(FromCodePage936(event.text)).hasMatch())
                Complete(Transaction::Outcome::Passed);
        }
        return;
    case AtReplyParser::Kind::Echo:
        // The echo of a body's command sent again is not the body's.
        if (t && m_bodyFrame.isEmpty()) {
            t->echo = event.text;
            t->echoed = true;
        }
        return;
    case AtReplyParser::Kind::Info:
        if (t)
            t->info.append(event.text);
        return;
    case AtReplyParser::Kind::Final:
        OnFinal(event.final);
        return;
    }
}

void CommandRunner::OnFinal(const AtFinalResult &final)
{
    Transaction *t = Current();
    const auto late = [this, &final] {
        if (m_lateTarget < 0 || m_lateTarget >= m_report.transactions.size())
            return;
        Transaction &target = m_report.transactions[m_lateTarget];
        if (target.late.code == AtFinalResult::Code::None) {
            target.late = final;
            target.lateAtMs = m_clock.elapsed();
        }
    };
    if (m_phase != Phase::Command || !t) {
        // No command waits: the answer of one that timed out, if any.
        late();
        return;
    }
    if (!m_bodyFrame.isEmpty()) {
        if (final.code == AtFinalResult::Code::Prompt) {
            m_parser.BeginCommand(t->command);
            const QByteArray body = m_bodyFrame;
            m_bodyFrame.clear();
            WriteFrame(body);
            return;
        }
        t->final = final;
        t->why = QStringLiteral("its command %1 answered %2 instead of the prompt")
                     .arg(FromCodePage936(m_report.transactions.at(t->index - 2).command), FromCodePage936(final.text));
        m_bodyFrame.clear();
        Complete(Transaction::Outcome::Failed);
        return;
    }
    if (m_echoGuard && !t->echoed) {
        // Not this command's: it has not even been echoed yet, and neither
        // are the lines before it.
        late();
        t->info.clear();
        m_parser.BeginCommand(t->command);
        return;
    }
    t->final = final;
    m_lateTarget = -1; // a later final result answers nothing that waited
    Judge(*t);
}

void CommandRunner::Judge(Transaction &t)
{
    const CommandCheck *check = CheckOf(t);
    if (!t.final.Succeeded() || !check) {
        if (t.final.Succeeded())
            Pass();
        else
            Complete(Transaction::Outcome::Failed);
        return;
    }
    if (check->HasChecks()) {
        std::optional<Decoded> answer; // decoded once, when a check names a decoded field
        const CheckOutcome judged = EvaluateChecks(*check, t.info + QList<QByteArray>{t.final.text},
                                                   [&](const QString &name) {
                                                       if (!answer)
                                                           answer = DecodeAnswer(t);
                                                       return DecodedValueText(*answer, name);
                                                   });
        // What was captured is recorded even when a comparison fails it.
        t.values = judged.values;
        if (!judged.passed) {
            t.failure = judged.message;
            Complete(Transaction::Outcome::Failed);
            return;
        }
    }
    if (!check->waits) {
        Pass();
        return;
    }
    // A URC that came while the command ran counts.
    for (const UrcRecord &u : std::as_const(m_report.urcs)) {
        if (u.atMs >= t.sentAtMs && check->wait.match(FromCodePage936(u.text)).hasMatch()) {
            Pass();
            return;
        }
    }
    t.elapsedMs = m_clock.elapsed() - (m_writtenAtMs >= 0 ? m_writtenAtMs : t.sentAtMs);
    Enter(Phase::UrcWait, check->waitMs);
}

void CommandRunner::Pass()
{
    Transaction *t = Current();
    if (!ExpectsReset(*t)) {
        Complete(Transaction::Outcome::Passed);
        return;
    }
    // It answered; it passes once its line drops.
    t->elapsedMs = m_clock.elapsed() - (m_writtenAtMs >= 0 ? m_writtenAtMs : t->sentAtMs);
    Enter(Phase::ResetDrop, m_options.resetDropMs);
}

void CommandRunner::UrcWaitOver()
{
    Transaction *t = Current();
    const CommandCheck *check = CheckOf(*t);
    QStringList came;
    for (const UrcRecord &u : std::as_const(m_report.urcs)) {
        if (u.atMs >= t->sentAtMs)
            came << QLatin1Char('"') + FromCodePage936(u.text) + QLatin1Char('"');
    }
    t->failure = QStringLiteral("no URC matching \"%1\" within %2 s; %3")
                     .arg(check ? check->wait.pattern() : QString())
                     .arg(Seconds(check ? check->waitMs : 0))
                     .arg(came.isEmpty() ? QStringLiteral("none came") : QStringLiteral("came ") + came.join(", "));
    Complete(Transaction::Outcome::Failed);
}

void CommandRunner::Retry()
{
    Transaction *t = Current();
    const int attempt = t->attempts + 1;
    const QByteArray command = t->command;
    m_report.transactions.removeLast();
    SendCommand(command, attempt);
}

void CommandRunner::Complete(Transaction::Outcome outcome)
{
    Transaction *t = Current();
    t->outcome = outcome;
    if ((outcome == Transaction::Outcome::Passed || outcome == Transaction::Outcome::Failed) && t->elapsedMs < 0)
        t->elapsedMs = m_clock.elapsed() - (m_writtenAtMs >= 0 ? m_writtenAtMs : t->sentAtMs);
    if (outcome == Transaction::Outcome::TimedOut) {
        // What answers it from now on is late: the next command waits for
        // a quiet line, and takes no result before its own echo.
        m_needQuiet = true;
        m_timedOutEchoed = t->echoed && !TurnsEchoOff(t->command);
        m_lateTarget = int(m_report.transactions.size()) - 1;
    }
    const CommandCheck *check = CheckOf(*t);
    if (outcome != Transaction::Outcome::Passed && outcome != Transaction::Outcome::PortLost
        && outcome != Transaction::Outcome::Stopped && check && t->attempts <= check->retries) {
        emit Retrying(*t, check->pauseMs);
        Enter(Phase::RetryPause, check->pauseMs);
        return;
    }
    emit TransactionDone(*t);
    // The engine goes on when "OK" was seen and stops when "ERROR" was: a
    // failure counts as OK when the run keeps going.
    if (outcome == Transaction::Outcome::Passed || m_options.keepGoing)
        m_flags.okSeen = true;
    else
        m_flags.noError = false;
    Enter(Phase::Idle, 0);
    // Sending from inside the parser's callback would start the next command
    // in the middle of this read: the engine polls once the read is done.
    QTimer::singleShot(0, this, &CommandRunner::Poll);
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
    Transaction *t = Current();
    const bool waiting = m_phase == Phase::Command || m_phase == Phase::UrcWait;
    const bool resetDone = m_phase == Phase::ResetDrop || (waiting && ExpectsReset(*t));
    const int during = waiting || m_phase == Phase::ResetDrop ? t->index : 0;
    const bool retryDue = m_phase == Phase::RetryPause;
    if (waiting)
        m_parser.EndCommand();
    m_lineWork.Cancel();
    m_bodyFrame.clear();
    Enter(Phase::Idle, 0);
    // A pty by its own name never comes back (its number goes to the next
    // pty): nothing to wait for.
    if (m_options.reconnectMs <= 0 || !m_reconnect.identity().mayComeBack()) {
        if (waiting) {
            t->why = QStringLiteral("the line dropped while it waited");
            t->outcome = Transaction::Outcome::PortLost;
            emit TransactionDone(*t);
        } else if (retryDue) {
            emit TransactionDone(*t); // its last attempt stands
        }
        m_engine.Stop();
        Finish(2, QStringLiteral("the port went away: %1").arg(reason));
        return;
    }
    if (resetDone) {
        // The reset it was sent for.
        if (waiting)
            t->why = QStringLiteral("the line dropped before its result, as a reset does");
        t->outcome = Transaction::Outcome::Passed;
        emit TransactionDone(*t);
        m_flags.okSeen = true;
    } else if (waiting) {
        // Never sent again by itself: the module may have done it.
        t->why = QStringLiteral("the line dropped while it waited");
        t->outcome = Transaction::Outcome::PortLost;
        emit TransactionDone(*t);
        m_flags.okSeen = true;
    } else if (retryDue) {
        m_retryAfterBack = true;
    }
    Outage outage;
    outage.lostAtMs = m_clock.elapsed();
    outage.reason = reason;
    outage.duringCommand = during;
    m_report.outages.append(outage);
    TeeLine("lost");
    emit PortLost(outage);
    if (waiting && !resetDone && !m_options.keepGoing) {
        m_engine.Stop();
        Finish(2, QStringLiteral("stopped at command %1: the line dropped while it waited (%2)").arg(t->index).arg(reason));
        return;
    }
    if (m_report.outages.size() > m_options.maxOutages) {
        if (m_retryAfterBack)
            emit TransactionDone(*t);
        m_engine.Stop();
        Finish(2, QStringLiteral("the port went away %1 times; at most %2 allowed")
                      .arg(m_report.outages.size())
                      .arg(m_options.maxOutages));
        return;
    }
    Enter(Phase::Away, m_options.reconnectMs);
    m_reconnect.begin(0);
}

void CommandRunner::OnDeviceBack(const QString &devicePath)
{
    if (!m_running || m_phase != Phase::Away)
        return;
    Outage &outage = m_report.outages.last();
    outage.backAtMs = m_clock.elapsed();
    outage.device = devicePath;
    TeeLine("back");
    emit PortBack(outage, devicePath);
    // Its boot messages are URCs; the run goes on once it is quiet, or at the
    // limit of that wait for a module that keeps talking.
    WaitQuiet(Phase::Settle, m_options.settleMs, m_options.settleLimitMs, [this] {
        if (m_retryAfterBack) {
            m_retryAfterBack = false;
            Retry();
        } else {
            Poll();
        }
    });
    OnReceiveReady();
}

void CommandRunner::Stop(const QString &why, int exitStatus)
{
    if (!m_running)
        return;
    Transaction *t = Current();
    if (m_phase == Phase::Command || m_phase == Phase::UrcWait || m_phase == Phase::ResetDrop) {
        t->outcome = Transaction::Outcome::Stopped;
        t->why = why;
        emit TransactionDone(*t);
    } else if (m_phase == Phase::RetryPause || (m_retryAfterBack && t)) {
        emit TransactionDone(*t); // its last attempt stands
    }
    // Nothing more goes to a module the run is done with.
    m_session.DropOutput();
    m_engine.Stop();
    Finish(exitStatus, why);
}

void CommandRunner::Finish(int exitStatus, const QString &reason)
{
    if (!m_running)
        return;
    m_running = false;
    m_lineWork.Cancel();
    Enter(Phase::Done, 0);
    m_reconnect.stop();
    m_deadline.stop();
    m_afterQuiet = nullptr;
    m_parser.Flush();
    for (const auto &connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    m_report.durationMs = m_clock.elapsed();
    m_report.stopReason = reason;
    // The reports list every row: those the run did not reach, and why.
    ListNotRun(m_report, m_commands, reason.isEmpty() ? QStringLiteral("not reached") : reason);
    m_report.exitStatus = exitStatus;
    emit Finished(exitStatus);
}
