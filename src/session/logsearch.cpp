#include "session/logsearch.h"

#include <algorithm>

LogSearch::LogSearch(const SessionLog &log, QObject *parent)
    : QObject(parent)
    , m_log(log)
{
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &LogSearch::work);
}

template<class Found>
qsizetype LogSearch::scan(qsizetype from, qsizetype to, qsizetype maxBytes, Found found, bool *covered) const
{
    if (covered)
        *covered = false;
    const qsizetype m = m_finder.length();
    const qsizetype size = m_log.size();
    to = std::min(to, size);
    qsizetype at = from;
    qsizetype scanned = 0;
    while (at < to && scanned < maxBytes) {
        qsizetype want = std::min(kSliceBytes, to - at);
        bool whole = true;
        const QByteArray bytes = m_log.Slice(at, want + m - 1, &whole);
        if (!whole) {
            // A block that cannot be read back (the log tells why): what is
            // before it is a slice of its own, and nothing is found in the
            // block; the scan goes on after it.
            want = bytes.size() - (m - 1);
            if (want <= 0) {
                const qsizetype lost = at + bytes.size();
                const qsizetype next = std::min(to, (lost / SessionLog::kBlockSize + 1) * SessionLog::kBlockSize);
                scanned += next - at;
                at = next;
                continue;
            }
        }
        qsizetype limit = want;
        // A slice that stops short of `to` ends where a character starts.
        if (at + want < to)
            limit = std::max<qsizetype>(1, GbkFinder::characterStartAtOrBefore(bytes.constData(), want));
        qsizetype matched = at; // the end of the last match
        bool go = true;
        m_finder.forEach(bytes.constData(), bytes.size(), limit, [&](qsizetype pos) {
            matched = at + pos + m;
            go = found(at + pos);
            return go;
        });
        const qsizetype end = std::max(at + limit, matched); // where the next slice starts
        scanned += limit;
        if (!go)
            return -1;
        if (at + want >= size) {
            if (covered)
                *covered = true;
            // At the log's end: what follows must read again the bytes a
            // match still growing may start in.
            const qsizetype tail = std::max<qsizetype>(0, bytes.size() - m + 1);
            return std::max(matched, at + GbkFinder::characterStartAtOrBefore(bytes.constData(), tail));
        }
        at = end;
    }
    if (covered)
        *covered = at >= to;
    return at;
}

void LogSearch::start(const GbkFinder &finder, qsizetype origin)
{
    m_finder = finder;
    m_generation = m_log.generation();
    m_origin = std::clamp<qsizetype>(origin, 0, m_log.size());
    m_forward = m_origin;
    m_forwardTo = -1;
    m_wrapped = 0;
    m_count = 0;
    m_firstTold = false;
    if (m_finder.isEmpty()) {
        m_timer.stop();
        return;
    }
    m_timer.start();
}

bool LogSearch::isCounted() const
{
    return isActive() && m_wrapped >= m_origin && m_forwardTo == m_log.size();
}

void LogSearch::logChanged()
{
    if (!isActive())
        return;
    if (m_log.generation() != m_generation) {
        start(m_finder, 0);
        emit countChanged(0, false);
        return;
    }
    if (!m_timer.isActive() && !isCounted())
        m_timer.start();
}

void LogSearch::work()
{
    QElapsedTimer clock;
    clock.start();
    const qsizetype before = m_count;
    while (clock.elapsed() < kSliceMs && !isCounted()) {
        const auto count = [this](qsizetype pos) {
            ++m_count;
            if (!m_firstTold) {
                m_firstTold = true;
                emit firstFound(pos);
            }
            return true;
        };
        const qsizetype size = m_log.size();
        if (m_forwardTo != size) {
            bool covered = false;
            m_forward = scan(m_forward, size, kSliceBytes, count, &covered);
            if (covered)
                m_forwardTo = size;
        } else {
            // Nothing more after the origin: the first match is the first
            // one from the start.
            bool covered = false;
            m_wrapped = scan(m_wrapped, m_origin, kSliceBytes, count, &covered);
            if (covered || m_wrapped >= m_origin)
                m_wrapped = m_origin;
        }
    }
    const bool counted = isCounted();
    if (counted)
        m_timer.stop();
    if (counted || m_count != before)
        emit countChanged(m_count, counted);
}

qsizetype LogSearch::next(qsizetype from) const
{
    if (!isActive())
        return -1;
    qsizetype hit = -1;
    const auto take = [&hit](qsizetype pos) {
        hit = pos;
        return false;
    };
    scan(std::clamp<qsizetype>(from, 0, m_log.size()), m_log.size(), m_log.size(), take);
    if (hit < 0)
        scan(0, from, m_log.size(), take);
    return hit;
}

qsizetype LogSearch::previous(qsizetype from) const
{
    if (!isActive())
        return -1;
    qsizetype hit = -1;
    const auto last = [&hit](qsizetype pos) {
        hit = pos;
        return true;
    };
    // Backwards a window at a time, each one starting at a line's start.
    const qsizetype size = m_log.size();
    from = std::clamp<qsizetype>(from, 0, size);
    for (qsizetype to = from; to > 0 && hit < 0;) {
        qsizetype at = std::max<qsizetype>(0, to - kSliceBytes);
        if (at > 0) {
            const QByteArray head = m_log.Slice(at, to - at);
            const qsizetype lf = head.indexOf('\n');
            at = lf < 0 ? 0 : at + lf + 1;
        }
        scan(at, to, size, last);
        to = at;
    }
    if (hit < 0)
        scan(from, size, size, last);
    return hit;
}
