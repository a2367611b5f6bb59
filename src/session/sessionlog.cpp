#include "session/sessionlog.h"

#include "store/spillfile.h"

#include <QDateTime>
#include <QMutexLocker>
#include <algorithm>
#include <cstring>

SessionLog::SessionLog() = default;
SessionLog::~SessionLog() = default;

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
    const QString failure = spillLocked();
    if (!failure.isEmpty() && m_onStoreFailure) {
        const StoreFailure tell = m_onStoreFailure;
        lock.unlock();
        tell(StoreFault::CannotWrite, failure);
    }
}

QString SessionLog::spillLocked()
{
    // At most 8 blocks (2 MB) a call, so that no append waits long for the
    // disk; appends are far smaller than that, so the file keeps up.
    for (int moved = 0; moved < 8 && !m_storeFailed && m_spilled + 1 < m_blocks.size()
                        && m_size - qsizetype(m_spilled) * kBlockSize > m_memoryLimit;
         ++moved) {
        if (!m_store)
            m_store = std::make_unique<SpillFile>(kBlockSize);
        QByteArray &block = m_blocks[m_spilled];
        if (!m_store->Put(qsizetype(m_spilled), block.constData(), block.size())) {
            m_storeFailed = true;
            m_storeError = m_store->error();
            return m_storeError;
        }
        block = QByteArray();
        ++m_spilled;
    }
    return QString();
}

const char *SessionLog::blockLocked(size_t i, qsizetype *size) const
{
    if (i >= m_spilled) {
        *size = m_blocks[i].size();
        return m_blocks[i].constData();
    }
    *size = kBlockSize;
    if (i < m_unreadable.size() && m_unreadable[i])
        return nullptr;
    bool found = false;
    auto &slot = m_readBack.find(qsizetype(i), &found);
    if (found)
        return slot.data.constData();
    slot.data.resize(kBlockSize);
    slot.page = qsizetype(i);
    if (!m_store->Get(qsizetype(i), slot.data.data(), kBlockSize)) {
        // Lost on the disk (it was written a while ago): no bytes rather
        // than some made up, and the file is not asked for them again.
        slot.page = -1;
        m_unreadable.resize(m_spilled);
        m_unreadable[i] = true;
        if (m_readError.isEmpty())
            m_readError = m_store->error();
        return nullptr;
    }
    return slot.data.constData();
}

void SessionLog::noteRecordFailuresLocked() const
{
    if (!m_readError.isEmpty())
        return;
    if (m_times.readFailed())
        m_readError = m_times.error();
    else if (m_terminal.readFailed())
        m_readError = m_terminal.error();
}

void SessionLog::tellReadFailure(QMutexLocker<QMutex> &lock) const
{
    noteRecordFailuresLocked();
    if (m_readError.isEmpty() || m_readFailureTold || !m_onStoreFailure) {
        lock.unlock();
        return;
    }
    m_readFailureTold = true;
    const StoreFailure tell = m_onStoreFailure;
    const QString reason = m_readError;
    lock.unlock();
    tell(StoreFault::CannotRead, reason);
}

void SessionLog::ReportReadFailure(const QString &reason) const
{
    QMutexLocker lock(&m_lock);
    if (m_readFailureTold || !m_onStoreFailure)
        return;
    m_readFailureTold = true;
    const StoreFailure tell = m_onStoreFailure;
    lock.unlock();
    tell(StoreFault::CannotRead, reason);
}

bool SessionLog::ReadFailed() const
{
    QMutexLocker lock(&m_lock);
    noteRecordFailuresLocked();
    return !m_readError.isEmpty();
}

QString SessionLog::readError() const
{
    QMutexLocker lock(&m_lock);
    noteRecordFailuresLocked();
    return m_readError;
}

quint64 SessionLog::storeReads() const
{
    QMutexLocker lock(&m_lock);
    return (m_store ? m_store->reads() : 0) + m_times.storeReads() + m_terminal.storeReads();
}

void SessionLog::setMemoryLimit(qsizetype bytes)
{
    QMutexLocker lock(&m_lock);
    m_memoryLimit = std::max<qsizetype>(bytes, 0);
    // The times and the terminal's ranges: a small share of it each.
    m_times.setMemoryLimit(m_memoryLimit / 32);
    m_terminal.setMemoryLimit(m_memoryLimit / 32);
}

qsizetype SessionLog::residentBytes() const
{
    QMutexLocker lock(&m_lock);
    return m_size - qsizetype(m_spilled) * kBlockSize;
}

qsizetype SessionLog::storedBytes() const
{
    QMutexLocker lock(&m_lock);
    return m_store ? m_store->sizeOnDisk() : 0;
}

void SessionLog::setStoreFailureHandler(StoreFailure handler)
{
    QMutexLocker lock(&m_lock);
    m_onStoreFailure = std::move(handler);
}

QString SessionLog::storeError() const
{
    QMutexLocker lock(&m_lock);
    return m_storeError;
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
            m_terminal.setBack({m_terminal.back().from, m_size + n});
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
    m_blocks.shrink_to_fit();
    m_terminal.clear();
    m_times.clear();
    m_size = 0;
    ++m_generation;
    // The file goes, and its disk space with it; a store that failed is
    // tried again.
    m_store.reset();
    m_spilled = 0;
    m_storeFailed = false;
    m_storeError.clear();
    m_readBack.clear();
    m_unreadable.clear();
    m_readError.clear();
    m_readFailureTold = false;
}

std::vector<SessionLog::Range> SessionLog::TerminalRanges(qsizetype from, qsizetype to) const
{
    QMutexLocker lock(&m_lock);
    std::vector<Range> out;
    bool known = true;
    qsizetype i = m_terminal.upperBound(from, [](const Range &r) { return r.to; }, &known);
    while (i < m_terminal.size()) {
        Range r;
        if (!m_terminal.at(i, &r)) {
            // Its page is lost: the ranges in it are left out.
            known = false;
            i = (i / m_terminal.perPage + 1) * m_terminal.perPage;
            continue;
        }
        if (r.from >= to)
            break;
        if (r.to > from)
            out.push_back({std::max(r.from, from), std::min(r.to, to)});
        ++i;
    }
    if (!known)
        tellReadFailure(lock);
    return out;
}

qint64 SessionLog::TimeAt(qsizetype pos) const
{
    QMutexLocker lock(&m_lock);
    if (pos < 0 || pos >= m_size || m_times.empty())
        return -1;
    bool known = true;
    const qsizetype after = m_times.upperBound(pos, [](const TimeMark &m) { return m.pos; }, &known);
    TimeMark mark {};
    if (known && (after == 0 || m_times.at(after - 1, &mark)))
        return after == 0 ? -1 : mark.ms;
    tellReadFailure(lock);
    return -1;
}

qsizetype SessionLog::timeMarkCount() const
{
    QMutexLocker lock(&m_lock);
    return m_times.size();
}

void SessionLog::setClock(Clock clock)
{
    QMutexLocker lock(&m_lock);
    m_clock = std::move(clock);
}

QByteArray SessionLog::Text(bool *complete) const
{
    QMutexLocker lock(&m_lock);
    QByteArray all;
    all.reserve(m_size);
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        qsizetype size = 0;
        const char *block = blockLocked(i, &size);
        if (!block) {
            if (complete)
                *complete = false;
            tellReadFailure(lock);
            return all;
        }
        all.append(block, size);
    }
    if (complete)
        *complete = true;
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

QByteArray SessionLog::Slice(qsizetype pos, qsizetype len, bool *complete) const
{
    QMutexLocker lock(&m_lock);
    if (complete)
        *complete = true;
    QByteArray out;
    if (pos < 0 || pos >= m_size || len <= 0)
        return out;
    len = std::min(len, m_size - pos);
    out.reserve(len);
    auto append = [&out](const char *data, qsizetype n) { out.append(data, n); };
    if (!visitLocked(pos, len, append, [](qsizetype) { return false; })) {
        if (complete)
            *complete = false;
        tellReadFailure(lock);
    }
    return out;
}

bool SessionLog::WriteTo(QIODevice &dev) const
{
    QMutexLocker lock(&m_lock);
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        qsizetype size = 0;
        const char *block = blockLocked(i, &size);
        if (!block) {
            tellReadFailure(lock);
            return false;
        }
        if (dev.write(block, size) != size)
            return false;
    }
    return true;
}
