#include "session/pacedwriter.h"

#include <algorithm>

namespace {
// While bytes go unpaced, how long to wait for the port's "all written"
// before looking again (a port that never says so still gets its slices).
constexpr int kUnpacedRecheckMs = 20;
} // namespace

PacedWriter::PacedWriter(WriteFn write, QueuedFn queued, QObject *parent)
    : QObject(parent)
    , m_write(std::move(write))
    , m_queued(std::move(queued))
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &PacedWriter::step);
}

void PacedWriter::enqueue(const QByteArray &bytes, Pacing pacing)
{
    if (bytes.isEmpty())
        return;
    pacing.charDelayMs = std::clamp(pacing.charDelayMs, 0, kMaxDelayMs);
    pacing.lineDelayMs = std::clamp(pacing.lineDelayMs, 0, kMaxDelayMs);
    const bool wasIdle = m_jobs.empty();
    if (wasIdle)
        m_handed = m_total = 0;
    m_jobs.push_back({ bytes, pacing, 0 });
    m_total += bytes.size();
    // Behind a job that waits out a pause, this one waits its turn.
    if (wasIdle)
        step();
}

qint64 PacedWriter::cancel()
{
    if (m_jobs.empty())
        return 0;
    m_timer.stop();
    const qint64 dropped = m_total - m_handed;
    finish(false);
    return dropped;
}

void PacedWriter::portDrained()
{
    // Only unpaced slices wait for the port; a pause runs on its own time.
    if (!m_jobs.empty() && !m_jobs.front().pacing.paced() && m_timer.isActive())
        step();
}

bool PacedWriter::endsLine(const QByteArray &bytes, qsizetype i)
{
    return bytes[i] == '\n' || (bytes[i] == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n'));
}

qint64 PacedWriter::PausesMs(const QByteArray &bytes, Pacing pacing)
{
    if (!pacing.paced())
        return 0;
    qint64 ms = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i)
        ms += endsLine(bytes, i) && pacing.lineDelayMs > 0 ? pacing.lineDelayMs : pacing.charDelayMs;
    return ms;
}

void PacedWriter::step()
{
    m_timer.stop();
    while (!m_jobs.empty()) {
        Job &job = m_jobs.front();
        if (job.next >= job.bytes.size()) {
            m_jobs.pop_front();
            continue;
        }
        const Pacing pacing = job.pacing;
        qsizetype n = 0;
        if (!pacing.paced()) {
            // The port still holds a slice: wait until it has taken it.
            if (m_queued() >= kSliceBytes) {
                m_timer.start(kUnpacedRecheckMs);
                return;
            }
            n = std::min<qsizetype>(kSliceBytes, job.bytes.size() - job.next);
        } else if (pacing.charDelayMs > 0) {
            n = 1;
        } else {
            // Only a line pause: the line goes whole.
            qsizetype end = job.next;
            while (end < job.bytes.size() && !endsLine(job.bytes, end))
                ++end;
            n = std::min(end + 1, job.bytes.size()) - job.next;
        }
        const qint64 took = m_write(job.bytes.constData() + job.next, n);
        if (took <= 0) {
            finish(false);
            return;
        }
        const qsizetype last = job.next + took - 1;
        job.next += took;
        m_handed += took;
        emit progress(m_handed, m_total);
        int pause = 0;
        if (pacing.paced()) {
            pause = endsLine(job.bytes, last) && pacing.lineDelayMs > 0 ? pacing.lineDelayMs : pacing.charDelayMs;
            // The last byte of all needs no pause after it.
            if (job.next >= job.bytes.size() && m_jobs.size() == 1)
                pause = 0;
        } else {
            // Unpaced: the next slice as soon as the port holds less than
            // one (looked at above).
            continue;
        }
        if (pause > 0) {
            m_timer.start(pause);
            return;
        }
    }
    finish(true);
}

void PacedWriter::finish(bool complete)
{
    m_jobs.clear();
    const qint64 handed = m_handed;
    const qint64 total = m_total;
    emit finished(handed, total, complete);
}
