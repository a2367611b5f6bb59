#include "session/sessionlog.h"

#include <QDateTime>
#include <QMutexLocker>
#include <algorithm>
#include <cstring>

void SessionLog::Append(const QByteArray &bytes, Origin origin)
{
    Append(bytes.constData(), bytes.size(), origin);
}

void SessionLog::Append(const char *data, qsizetype n, Origin origin)
{
    if (n <= 0)
        return;
    QMutexLocker lock(&m_lock);
    appendLocked(data, n, origin);
}

void SessionLog::appendLocked(const char *data, qsizetype n, Origin origin)
{
    // A time mark where a line starts in these bytes (after the log's last
    // byte, or after a break among them) and the millisecond is new: at
    // most one a line, and every line's first byte has its time.
    if (n > 0) {
        const bool afterBreak = m_size == 0 || m_blocks.back().endsWith('\n') || m_blocks.back().endsWith('\r');
        if (afterBreak || std::memchr(data, '\n', size_t(n)) || std::memchr(data, '\r', size_t(n))) {
            const qint64 now = m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
            if (m_times.empty() || m_times.back().ms != now)
                m_times.push_back({m_size, now});
        }
    }
    if (origin == Origin::Terminal && n > 0) {
        if (!m_terminal.empty() && m_terminal.back().to == m_size)
            m_terminal.back().to += n;
        else
            m_terminal.push_back({m_size, m_size + n});
    }
    while (n > 0) {
        if (m_blocks.empty() || m_blocks.back().size() == kBlockSize) {
            m_blocks.emplace_back();
            m_blocks.back().reserve(kBlockSize);
        }
        QByteArray &block = m_blocks.back();
        const qsizetype take = std::min(n, kBlockSize - block.size());
        block.append(data, take);
        if (m_tee)
            m_tee(data, take);
        data += take;
        n -= take;
        m_size += take;
    }
}

void SessionLog::setTee(Tee tee)
{
    QMutexLocker lock(&m_lock);
    m_tee = std::move(tee);
}

void SessionLog::AppendLineBreak()
{
    QMutexLocker lock(&m_lock);
    if (m_size > 0)
        appendLocked("\r\n", 2, Origin::Terminal);
}

void SessionLog::Clear()
{
    QMutexLocker lock(&m_lock);
    m_blocks.clear();
    m_terminal.clear();
    m_times.clear();
    m_size = 0;
    ++m_generation;
}

std::vector<SessionLog::Range> SessionLog::TerminalRanges(qsizetype from, qsizetype to) const
{
    QMutexLocker lock(&m_lock);
    std::vector<Range> out;
    auto it = std::upper_bound(m_terminal.begin(), m_terminal.end(), from,
                               [](qsizetype pos, const Range &r) { return pos < r.to; });
    for (; it != m_terminal.end() && it->from < to; ++it)
        out.push_back({std::max(it->from, from), std::min(it->to, to)});
    return out;
}

qint64 SessionLog::TimeAt(qsizetype pos) const
{
    QMutexLocker lock(&m_lock);
    if (pos < 0 || pos >= m_size || m_times.empty())
        return -1;
    auto it = std::upper_bound(m_times.begin(), m_times.end(), pos,
                               [](qsizetype p, const TimeMark &m) { return p < m.pos; });
    return std::prev(it)->ms;
}

qsizetype SessionLog::timeMarkCount() const
{
    QMutexLocker lock(&m_lock);
    return qsizetype(m_times.size());
}

void SessionLog::setClock(Clock clock)
{
    QMutexLocker lock(&m_lock);
    m_clock = std::move(clock);
}

QByteArray SessionLog::Text() const
{
    QMutexLocker lock(&m_lock);
    QByteArray all;
    all.reserve(m_size);
    for (const QByteArray &block : m_blocks)
        all.append(block);
    return all;
}

qsizetype SessionLog::size() const
{
    QMutexLocker lock(&m_lock);
    return m_size;
}

quint64 SessionLog::generation() const
{
    QMutexLocker lock(&m_lock);
    return m_generation;
}

QByteArray SessionLog::Slice(qsizetype pos, qsizetype len) const
{
    QMutexLocker lock(&m_lock);
    QByteArray out;
    if (pos < 0 || pos >= m_size || len <= 0)
        return out;
    len = std::min(len, m_size - pos);
    out.reserve(len);
    qsizetype blockIndex = pos / kBlockSize;
    qsizetype offset = pos % kBlockSize;
    while (len > 0) {
        const QByteArray &block = m_blocks[size_t(blockIndex)];
        const qsizetype take = std::min(len, block.size() - offset);
        out.append(block.constData() + offset, take);
        len -= take;
        offset = 0;
        ++blockIndex;
    }
    return out;
}

bool SessionLog::WriteTo(QIODevice &dev) const
{
    QMutexLocker lock(&m_lock);
    for (const QByteArray &block : m_blocks) {
        if (dev.write(block) != block.size())
            return false;
    }
    return true;
}
