#pragma once

#include "at/replyflags.h"

#include <QByteArray>
#include <QtGlobal>
#include <functional>
#include <optional>

// The rules of sending a whole command list in sequence, free of widgets
// and timers: the owner calls Poll() at once after Start() and then at every
// poll interval (100 ms in the window), passing a monotonic clock.
//
// At each poll, in this order: the run ends when the next index reaches the
// row count read at the start, when a reply held "ERROR" (noError false), or
// when the time limit (20 s for the whole run, from its start) has passed;
// otherwise, when a reply held "OK" (okSeen), the next command is sent.
// okSeen is cleared just before the command is written, so that a reply taken
// while it is being written counts for it. The first command goes at once,
// since Start() sets okSeen.
class SendAllEngine
{
public:
    static constexpr qint64 kTimeLimitMs = 20000;
    static constexpr int kPollMs = 100;

    enum class EndReason { None, EndOfList, Error, TimeLimit, RowsGone };

    // The command of a row, or nothing when the row no longer exists.
    using CommandAt = std::function<std::optional<QByteArray>(qsizetype row)>;
    // Frames, logs and writes one command.
    using Send = std::function<void(const QByteArray &command)>;

    explicit SendAllEngine(qint64 timeLimitMs = kTimeLimitMs) : m_timeLimitMs(timeLimitMs) {}

    void SetTimeLimit(qint64 ms) { m_timeLimitMs = ms; }
    qint64 TimeLimit() const { return m_timeLimitMs; }
    // Begins a run over rowCount rows: noError and okSeen are set.
    void Start(ReplyFlags &flags, qsizetype rowCount, qint64 nowMs);
    // One poll; true while the run goes on.
    bool Poll(qint64 nowMs, const CommandAt &commandAt, const Send &send);
    // Ends the run from outside (the window closing).
    void Stop() { Finish(EndReason::None); }

    bool Active() const { return m_active; }
    EndReason Reason() const { return m_reason; }
    qsizetype Sent() const { return m_next; }

private:
    void Finish(EndReason reason);

    ReplyFlags *m_flags = nullptr;
    qint64 m_timeLimitMs;
    qint64 m_startMs = 0;
    qsizetype m_rowCount = 0;
    qsizetype m_next = 0;
    bool m_active = false;
    EndReason m_reason = EndReason::None;
};
