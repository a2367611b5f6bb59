#pragma once

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QIODevice>
#include <QString>
#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "store/readbackcache.h"
#include "store/spilledrecords.h"

class SpillFile;

// The whole text of the receive view: every byte received or added, exactly
// as it came, with CR LF line breaks. It is never trimmed; only Clear empties it.
//
// The bytes live in fixed-size blocks so that a log of hundreds of megabytes
// never needs one huge contiguous reallocation and memory stays close to the
// bytes kept. Past a limit (256 MB unless set), the oldest blocks move to a
// temporary file without a name (SpillFile), a few per append, and are read
// back when asked for (the last few read are kept): memory holds the most
// recent bytes up to the limit, however long the session. When the file
// cannot be made or written, the log says why once (setStoreFailureHandler)
// and keeps everything from then on in memory. A block the file cannot give
// back (an I/O error on its disk, a file cut short) is never given as bytes:
// the reads that meet it stop short and say so, ReadFailed() and readError()
// tell, and the handler is told once; a time or a terminal's range that
// cannot be read back is left out. Every operation holds one lock for its
// whole duration.
class SessionLog
{
public:
    static constexpr qsizetype kBlockSize = 256 * 1024;
    static constexpr qsizetype kDefaultMemoryLimit = qsizetype(256) * 1024 * 1024;

    SessionLog();
    ~SessionLog();

    // Who put bytes into the log: the module (received), or the terminal
    // itself (commands it sent, separators, lost/back lines). Kept beside
    // the bytes, which are the same either way.
    enum class Origin : quint8 { Received, Terminal };
    // A byte range [from, to).
    struct Range
    {
        qsizetype from = 0;
        qsizetype to = 0;
        bool operator==(const Range &) const = default;
    };

    void Append(const QByteArray &bytes, Origin origin = Origin::Received);
    void Append(const char *data, qsizetype n, Origin origin = Origin::Received);
    // Adds "\r\n" unless the log is empty: the terminal's own.
    void AppendLineBreak();
    // The ranges the terminal added that meet [from, to), clipped to it, in
    // order; adjacent additions are one range. Those kept in a part of the
    // file that cannot be read back are left out.
    std::vector<Range> TerminalRanges(qsizetype from, qsizetype to) const;
    // When the line holding pos began to arrive, to the millisecond by the
    // clock below: exact for the first byte of every line; -1 outside the
    // log and where the mark cannot be read back. Kept beside the bytes: at
    // most a mark (16 bytes) per line.
    qint64 TimeAt(qsizetype pos) const;
    // Marks kept for the times (16 bytes each).
    qsizetype timeMarkCount() const;
    // The clock appends are timed by (the system's, unless a test sets one).
    using Clock = std::function<qint64()>;
    void setClock(Clock clock);
    void Clear();
    // A copy of the whole log. Where a block cannot be read back, only the
    // bytes before it, and *complete is false.
    QByteArray Text(bool *complete = nullptr) const;

    qsizetype size() const;
    bool isEmpty() const { return size() == 0; }
    // A copy of the bytes in [pos, pos + len), clipped to the log. Where a
    // block cannot be read back, only the bytes before it, and *complete is
    // false.
    QByteArray Slice(qsizetype pos, qsizetype len, bool *complete = nullptr) const;
    // Writes the whole log to dev; false when a write fails or a block cannot
    // be read back (readError() says why), and dev may then hold the bytes
    // before it: give it a QSaveFile, and do not commit it.
    bool WriteTo(QIODevice &dev) const;
    // Bytes of the log kept in memory before the oldest go to the file; the
    // times and the terminal's ranges keep a 32nd of it each (8 MB, 500 000
    // marks, unless set), and go to files of their own beyond.
    void setMemoryLimit(qsizetype bytes);
    // Bytes of the log in memory, and in the file.
    qsizetype residentBytes() const;
    qsizetype storedBytes() const;
    // Told, outside the lock, why the file could not be made or written
    // (CannotWrite: the log keeps everything in memory from then on), or why
    // a part of it could not be read back (CannotRead: that part is not
    // given), the first time of each after the start or a Clear.
    enum class StoreFault : quint8 { CannotWrite, CannotRead };
    using StoreFailure = std::function<void(StoreFault fault, const QString &reason)>;
    void setStoreFailureHandler(StoreFailure handler);
    QString storeError() const;
    // Some of the file could not be read back since the start or the last
    // Clear, and why; the log gives none of those bytes, times or ranges.
    bool ReadFailed() const;
    QString readError() const;
    // Tells the handler, as CannotRead, that a structure kept beside the log
    // (the view's line index) could not read back its own file, unless a
    // read failure was told since the start or the last Clear. Not to be
    // called from within Visit.
    void ReportReadFailure(const QString &reason) const;
    // Reads of the file so far (blocks, times and ranges), for tests of the
    // blocks kept in memory after a read.
    quint64 storeReads() const;
    // Increases on every Clear, so a reader can tell a cleared log that has
    // grown again from one that only grew.
    quint64 generation() const;
    // Is given every byte added to the log, as it is added, in order (a log
    // on disk); called with the lock held, so it must not call back into the
    // log. Clear does not reach it. An empty function stops it.
    using Tee = std::function<void(const char *data, qsizetype n)>;
    void setTee(Tee tee);
    // Calls f(const char *data, qsizetype n) on the bytes of [pos, pos + len),
    // clipped to the log, piece by piece in order, without copying them. The
    // lock is held throughout, so f must not call back into the log. Stops
    // at a block that cannot be read back and returns false.
    template<class F>
    bool Visit(qsizetype pos, qsizetype len, F &&f) const
    {
        QMutexLocker lock(&m_lock);
        if (visitLocked(pos, len, f, [](qsizetype) { return false; }))
            return true;
        tellReadFailure(lock);
        return false;
    }
    // As Visit, but goes on past the blocks that cannot be read back, calling
    // gap(qsizetype n) for the n bytes of each piece of them instead of f.
    template<class F, class G>
    bool VisitAll(qsizetype pos, qsizetype len, F &&f, G &&gap) const
    {
        QMutexLocker lock(&m_lock);
        if (visitLocked(pos, len, f, [&gap](qsizetype n) {
                gap(n);
                return true;
            }))
            return true;
        tellReadFailure(lock);
        return false;
    }

private:
    // False when a block could not be read back; gap(n) says whether to go on.
    template<class F, class G>
    bool visitLocked(qsizetype pos, qsizetype len, F &f, G &&gap) const
    {
        if (pos < 0 || pos >= m_size || len <= 0)
            return true;
        len = std::min(len, m_size - pos);
        size_t blockIndex = size_t(pos / kBlockSize);
        qsizetype offset = pos % kBlockSize;
        bool complete = true;
        while (len > 0) {
            qsizetype size = 0;
            const char *block = blockLocked(blockIndex, &size);
            const qsizetype take = std::min(len, size - offset);
            if (block) {
                f(block + offset, take);
            } else {
                complete = false;
                if (!gap(take))
                    return false;
            }
            len -= take;
            offset = 0;
            ++blockIndex;
        }
        return complete;
    }

    void appendLocked(const char *data, qsizetype n, Origin origin);
    // Block i's bytes: in memory, or read back from the file into a block
    // kept for the next reads; null when it cannot be read back.
    const char *blockLocked(size_t i, qsizetype *size) const;
    // Takes the read failures of the times and the ranges into readError().
    void noteRecordFailuresLocked() const;
    // Unlocks, then tells the handler of a read failure not told yet.
    void tellReadFailure(QMutexLocker<QMutex> &lock) const;
    // Moves the oldest blocks to the file while more than the limit is in
    // memory, a few at a time; returns a failure to report, once.
    QString spillLocked();

    mutable QMutex m_lock;
    std::vector<QByteArray> m_blocks;
    qsizetype m_size = 0;
    SpilledRecords<Range> m_terminal; // sorted, none touching another
    struct TimeMark
    {
        qsizetype pos;
        qint64 ms;
    };
    SpilledRecords<TimeMark> m_times; // by position; each ms differs from the one before
    Clock m_clock;
    quint64 m_generation = 0;
    Tee m_tee;

    std::unique_ptr<SpillFile> m_store;
    size_t m_spilled = 0; // blocks [0, m_spilled) are in m_store, each full
    qsizetype m_memoryLimit = kDefaultMemoryLimit;
    bool m_storeFailed = false;
    QString m_storeError;
    StoreFailure m_onStoreFailure;
    mutable ReadBackCache<QByteArray, 4> m_readBack;
    mutable std::vector<bool> m_unreadable; // blocks in m_store that could not be read back
    mutable QString m_readError;
    mutable bool m_readFailureTold = false;
};
