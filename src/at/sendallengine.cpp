#include "at/sendallengine.h"

void SendAllEngine::Start(ReplyFlags &flags, qsizetype rowCount, qint64 nowMs)
{
    m_flags = &flags;
    flags.noError = true;
    flags.okSeen = true;
    m_startMs = nowMs;
    m_rowCount = rowCount;
    m_next = 0;
    m_active = true;
    m_reason = EndReason::None;
}

bool SendAllEngine::Poll(qint64 nowMs, const CommandAt &commandAt, const Send &send)
{
    if (!m_active)
        return false;
    if (m_next >= m_rowCount) {
        Finish(EndReason::EndOfList);
        return false;
    }
    if (!m_flags->noError) {
        Finish(EndReason::Error);
        return false;
    }
    if (nowMs - m_startMs >= m_timeLimitMs) {
        Finish(EndReason::TimeLimit);
        return false;
    }
    if (m_flags->okSeen) {
        const std::optional<QByteArray> command = commandAt(m_next);
        if (!command) {
            // Rows were deleted during the run: nothing is read past the list.
            Finish(EndReason::RowsGone);
            return false;
        }
        m_flags->okSeen = false;
        send(*command);
        ++m_next;
    }
    return true;
}

void SendAllEngine::Finish(EndReason reason)
{
    m_active = false;
    m_reason = reason;
}
