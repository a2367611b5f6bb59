#include "widgets/lineindex.h"

#include "text/gbk.h"
#include "session/sessionlog.h"
#include "store/spillfile.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>

namespace {

// Bytes that are one cell wide and need no further look: printable ASCII.
struct PrintableTable
{
    bool value[256];
    constexpr PrintableTable() : value()
    {
        for (int b = 0; b < 256; ++b)
            value[b] = Gbk::isPrintableAscii(uchar(b));
    }
};
constexpr PrintableTable kPrintable;

} // namespace

LineIndex::LineIndex()
{
    reset();
}

LineIndex::~LineIndex() = default;

void LineIndex::reset()
{
    m_chunks.clear();
    m_store.reset();
    m_spilledChunks = 0;
    m_storeFailed = false;
    m_readBack.clear();
    m_readError.clear();
    m_chunksBack = 0;
    addChunk(0, 0);
    m_lineCount = 1;
    m_scanned = 0;
    m_open = Open();
    m_pendingCr = false;
    m_pendingLead = -1;
    m_started = false;
    m_staleChunks = 0;
    m_firstStale = 0;
    commitOpen();
}

void LineIndex::addChunk(qsizetype startBase, qsizetype rowBase)
{
    if (!m_chunks.empty()) {
        // The open line's chunk is full, and wrapped at the current count.
        Chunk &full = m_chunks.back();
        full.rows = full.wrappedRows = m_rowPrefix;
    }
    Chunk c;
    c.startBase = startBase;
    c.rowBase = rowBase;
    c.wrappedColumns = m_columns;
    c.lines.reset(new Entry[kChunkLines]);
    m_chunks.push_back(std::move(c));
    m_cur = &m_chunks.back();
    m_local = 0;
    m_rowPrefix = 0;
    spillOldChunks();
}

void LineIndex::setMemoryLimit(qsizetype bytes)
{
    m_memoryLimit = std::max<qsizetype>(bytes, 0);
    spillOldChunks();
}

// The oldest chunks go to the file while more than the limit is in memory;
// the last chunk (the open line's) always stays.
void LineIndex::spillOldChunks()
{
    constexpr qsizetype chunkBytes = kChunkLines * qsizetype(sizeof(Entry));
    while (!m_storeFailed && m_spilledChunks + 1 < m_chunks.size()
           && qsizetype(m_chunks.size() - m_spilledChunks) * chunkBytes > m_memoryLimit) {
        if (!m_store)
            m_store = std::make_unique<SpillFile>(chunkBytes);
        Chunk &c = m_chunks[m_spilledChunks];
        if (!m_store->Put(qsizetype(m_spilledChunks), reinterpret_cast<const char *>(c.lines.get()), chunkBytes)) {
            qWarning("line index: %s; it stays in memory", qPrintable(m_store->error()));
            m_storeFailed = true;
            return;
        }
        c.lines.reset();
        ++m_spilledChunks;
    }
}

LineIndex::ReadBack::Slot &LineIndex::readBack(size_t chunk) const
{
    constexpr qsizetype chunkBytes = kChunkLines * qsizetype(sizeof(Entry));
    bool found = false;
    auto &slot = m_readBack.find(qsizetype(chunk), &found);
    if (found)
        return slot;
    if (slot.dirty) {
        // Written where it was read from (its rows at a new width). Where
        // that fails, the chunk stays in memory rather than go back to rows
        // that no longer agree with its place.
        if (!m_store->Put(slot.page, reinterpret_cast<const char *>(slot.data.get()), chunkBytes)) {
            qWarning("line index: %s; some of it stays in memory", qPrintable(m_store->error()));
            m_chunks[size_t(slot.page)].lines = std::move(slot.data);
            ++m_chunksBack;
        }
        slot.dirty = false;
    }
    if (!slot.data)
        slot.data.reset(new Entry[kChunkLines]);
    slot.page = qsizetype(chunk);
    const Chunk &c = m_chunks[chunk];
    if (!c.unreadable && m_store->Get(qsizetype(chunk), reinterpret_cast<char *>(slot.data.get()), chunkBytes))
        return slot;
    // Lost on the disk: lines not known rather than some made up, and the
    // file is not asked for this chunk again.
    if (!c.unreadable) {
        c.unreadable = true;
        noteReadFailure(m_store->error());
    }
    fillUnknown(chunk, slot.data.get());
    return slot;
}

void LineIndex::fillUnknown(size_t chunk, Entry *lines) const
{
    // A chunk in the file is never the last one.
    const qsizetype rows = m_chunks[chunk].rows;
    for (qsizetype k = 0; k < kChunkLines; ++k)
        lines[k] = {0, kUnknownFlag, quint32(k + 1)};
    lines[kChunkLines - 1].rowEnd = quint32(std::max(rows, kChunkLines));
}

void LineIndex::noteReadFailure(const QString &reason) const
{
    if (!m_readError.isEmpty())
        return;
    m_readError = reason;
    if (m_onReadFailure)
        m_onReadFailure(reason);
}

void LineIndex::setReadFailureHandler(std::function<void(const QString &reason)> handler)
{
    m_onReadFailure = std::move(handler);
}

const LineIndex::Entry *LineIndex::entries(size_t chunk) const
{
    const Chunk &c = m_chunks[chunk];
    return c.lines ? c.lines.get() : readBack(chunk).data.get();
}

LineIndex::Entry *LineIndex::mutableEntries(size_t chunk)
{
    Chunk &c = m_chunks[chunk];
    if (c.lines)
        return c.lines.get();
    ReadBack::Slot &r = readBack(chunk);
    // Lines not known stay so: they are not written to the file.
    r.dirty = !c.unreadable;
    return r.data.get();
}

bool LineIndex::update(const SessionLog &log, qsizetype maxBytes)
{
    const quint64 generation = log.generation();
    if (!m_started || generation != m_generation) {
        reset();
        m_started = true;
        m_generation = generation;
    }
    const qsizetype size = log.size();
    if (size < m_scanned) {
        // Shorter without a new generation: cleared and refilled in between.
        reset();
        m_started = true;
    }
    const qsizetype n = std::min(size - m_scanned, maxBytes);
    if (n > 0) {
        const bool read = log.VisitAll(
            m_scanned, n, [this](const char *p, qsizetype k) { scan(p, k); },
            [this](qsizetype k) { skipUnreadable(k); });
        if (!read)
            noteReadFailure(log.readError());
        commitOpen();
    }
    return m_scanned >= size;
}

void LineIndex::addNarrowCells(qsizetype n)
{
    m_open.cells += n;
    if (m_open.wide)
        m_open.wrap.addNarrow(n, m_columns);
}

void LineIndex::addWideChar()
{
    if (!m_open.wide) {
        m_open.wide = true;
        m_open.wrap = Wrap();
        if (m_open.cells > 0)
            m_open.wrap.addNarrow(m_open.cells, m_columns);
    }
    m_open.wrap.addWide(m_columns);
    m_open.cells += 2;
}

namespace {

constexpr quint64 kOnes = 0x0101010101010101ull;
constexpr quint64 kHighs = 0x8080808080808080ull;

// True when one of the eight bytes of x is outside 0x20..0x7E.
inline bool hasSpecialByte(quint64 x)
{
    const quint64 below = (x - kOnes * 0x20) & ~x & kHighs; // some byte < 0x20
    const quint64 above = ((x + kOnes * 0x01) | x) & kHighs;  // some byte >= 0x7F
    return (below | above) != 0;
}

} // namespace

void LineIndex::scan(const char *p, qsizetype n)
{
    const qsizetype base = m_scanned;
    qsizetype i = 0;
    while (i < n) {
        const uchar b = uchar(p[i]);
        if (m_pendingLead >= 0) [[unlikely]] {
            m_pendingLead = -1;
            if (Gbk::isTrail(b)) {
                addWideChar();
                m_open.length += 2;
                ++i;
                continue;
            }
            // A lead byte without its trail: one invalid cell; b is its own unit.
            addNarrowCells(1);
            m_open.length += 1;
        }
        if (m_pendingCr) [[unlikely]] {
            m_pendingCr = false;
            if (b == '\n') {
                // CR LF split across two scans: one break.
                quint32 &prev = cellsField(m_lineCount - 2);
                if (!(prev & kUnknownFlag))
                    prev = (prev & ~(quint32(3) << kBreakShift)) | (quint32(2) << kBreakShift);
                m_open.start = base + i + 1;
                if (m_local == 0)
                    m_cur->startBase = m_open.start;
                ++i;
                continue;
            }
        }
        if (m_open.length >= kMaxLineBytes && b != '\r' && b != '\n') [[unlikely]]
            closeLine(0, base + i);
        if (kPrintable.value[b]) {
            const qsizetype limit = std::min(n, i + (kMaxLineBytes - m_open.length));
            qsizetype j = i + 1;
            while (j + 8 <= limit) {
                quint64 x;
                memcpy(&x, p + j, 8);
                if (hasSpecialByte(x))
                    break;
                j += 8;
            }
            while (j < limit && kPrintable.value[uchar(p[j])])
                ++j;
            m_open.length += j - i;
            addNarrowCells(j - i);
            i = j;
            continue;
        }
        if (b == '\r' || b == '\n') {
            if (b == '\r' && i + 1 < n && p[i + 1] == '\n') {
                closeLine(2, base + i + 2);
                i += 2;
            } else {
                closeLine(1, base + i + 1);
                m_pendingCr = (b == '\r');
                ++i;
            }
            continue;
        }
        if (Gbk::isLead(b)) {
            if (i + 1 == n) {
                // The trail byte, if any, comes with the next piece.
                m_pendingLead = b;
                ++i;
                continue;
            }
            if (Gbk::isTrail(uchar(p[i + 1]))) {
                addWideChar();
                m_open.length += 2;
                i += 2;
                continue;
            }
        }
        addNarrowCells(b == '\t' ? Gbk::tabCells(m_open.cells, m_tabWidth) : 1);
        m_open.length += 1;
        ++i;
    }
    m_scanned = base + n;
}

void LineIndex::skipUnreadable(qsizetype n)
{
    const qsizetype base = m_scanned;
    if (m_pendingLead >= 0) {
        // Its trail, if any, is among the bytes not known.
        m_pendingLead = -1;
        addNarrowCells(1);
        m_open.length += 1;
    }
    m_pendingCr = false;
    if (m_open.start < base)
        closeLine(0, base);
    m_open.unknown = true;
    m_open.length = n;
    closeLine(0, base + n);
    m_scanned = base + n;
}

qsizetype LineIndex::writeOpen(int breakLength)
{
    qsizetype cells = m_open.cells;
    qsizetype rows;
    if (m_open.wide) {
        Wrap wrap = m_open.wrap;
        if (m_pendingLead >= 0)
            wrap.addNarrow(1, m_columns);
        rows = wrap.rows;
    }
    if (m_pendingLead >= 0)
        cells += 1; // shown as one cell until its trail arrives
    if (!m_open.wide)
        rows = cells <= m_columns ? 1 : (cells + m_columns - 1) / m_columns;
    if (m_local == 0)
        m_cur->startBase = m_open.start;
    m_cur->lines[m_local].start = quint32(m_open.start - m_cur->startBase);
    m_cur->lines[m_local].cells = quint32(cells) | (m_open.wide ? kWideFlag : 0) | (m_open.unknown ? kUnknownFlag : 0)
                                  | (quint32(breakLength) << kBreakShift);
    m_cur->lines[m_local].rowEnd = m_rowPrefix + quint32(rows);
    return rows;
}

void LineIndex::closeLine(int breakLength, qsizetype nextStart)
{
    m_rowPrefix += quint32(writeOpen(breakLength));
    const quint32 cells = m_cur->lines[m_local].cells & kCellsMask;
    m_cur->cells += cells;
    m_cur->widest = std::max(m_cur->widest, cells);
    ++m_lineCount;
    if (++m_local == kChunkLines)
        addChunk(nextStart, m_cur->rowBase + m_rowPrefix);
    m_open.start = nextStart;
    m_open.length = 0;
    m_open.cells = 0;
    m_open.wide = false;
    m_open.unknown = false;
}

quint32 &LineIndex::cellsField(qsizetype line)
{
    return mutableEntries(size_t(line >> kChunkShift))[line & (kChunkLines - 1)].cells;
}

quint32 LineIndex::cellsField(qsizetype line) const
{
    return entries(size_t(line >> kChunkShift))[line & (kChunkLines - 1)].cells;
}

qsizetype LineIndex::lineStart(qsizetype line) const
{
    const size_t ci = size_t(line >> kChunkShift);
    return m_chunks[ci].startBase + entries(ci)[line & (kChunkLines - 1)].start;
}

qsizetype LineIndex::lineLength(qsizetype line) const
{
    if (!lineKnown(line))
        return 0;
    if (line >= m_lineCount - 1)
        return m_scanned - lineStart(line);
    return lineStart(line + 1) - lineBreakLength(line) - lineStart(line);
}

int LineIndex::lineBreakLength(qsizetype line) const
{
    return int((cellsField(line) >> kBreakShift) & 3);
}

bool LineIndex::lineKnown(qsizetype line) const
{
    return (cellsField(line) & kUnknownFlag) == 0;
}

qsizetype LineIndex::lineCells(qsizetype line) const
{
    return cellsField(line) & kCellsMask;
}

bool LineIndex::lineHasWide(qsizetype line) const
{
    return (cellsField(line) & kWideFlag) != 0;
}

quint32 LineIndex::rowEndIn(const Chunk &c, const Entry *lines, qsizetype local) const
{
    if (c.wrappedColumns == m_columns)
        return lines[local].rowEnd;
    if (c.widest <= quint32(m_columns))
        return quint32(local + 1);
    // Stale (and full): each line gets one row, and of the rows beyond that
    // the share it had of them at the count the chunk was last wrapped at
    // (or an even share when none had more than one). Line by line the rows
    // grow by one at least, and the last line ends at the chunk's estimate.
    const qint64 extraNow = qint64(c.rows) - kChunkLines;
    const qint64 extraThen = qint64(lines[kChunkLines - 1].rowEnd) - kChunkLines;
    if (extraThen <= 0)
        return quint32(qint64(c.rows) * (local + 1) / kChunkLines);
    const qint64 had = std::clamp<qint64>(qint64(lines[local].rowEnd) - (local + 1), 0, extraThen);
    return quint32(local + 1 + had * extraNow / extraThen);
}

qsizetype LineIndex::rowEnd(qsizetype line) const
{
    const size_t ci = size_t(line >> kChunkShift);
    const Chunk &c = m_chunks[ci];
    return c.rowBase + rowEndIn(c, entries(ci), line & (kChunkLines - 1));
}

qsizetype LineIndex::lineFirstRow(qsizetype line) const
{
    const size_t ci = size_t(line >> kChunkShift);
    const qsizetype local = line & (kChunkLines - 1);
    const Chunk &c = m_chunks[ci];
    return c.rowBase + (local == 0 ? 0 : rowEndIn(c, entries(ci), local - 1));
}

qsizetype LineIndex::lineRows(qsizetype line) const
{
    return rowEnd(line) - lineFirstRow(line);
}

qsizetype LineIndex::rowCount() const
{
    return rowEnd(m_lineCount - 1);
}

qsizetype LineIndex::lineAt(qsizetype pos) const
{
    if (pos <= 0)
        return 0;
    auto chunk = std::upper_bound(m_chunks.begin(), m_chunks.end(), pos,
                                  [](qsizetype v, const Chunk &c) { return v < c.startBase; });
    const qsizetype ci = std::max<qsizetype>(0, (chunk - m_chunks.begin()) - 1);
    const Chunk &c = m_chunks[size_t(ci)];
    const Entry *lines = entries(size_t(ci));
    const qsizetype count = std::min(kChunkLines, m_lineCount - ci * kChunkLines);
    const quint32 rel = quint32(std::min<qsizetype>(pos - c.startBase, 0xFFFFFFFFu));
    const Entry *it = std::upper_bound(lines, lines + count, rel,
                                       [](quint32 v, const Entry &e) { return v < e.start; });
    const qsizetype local = std::max<qsizetype>(0, (it - lines) - 1);
    return ci * kChunkLines + local;
}

size_t LineIndex::chunkOfRow(qsizetype row) const
{
    auto chunk = std::upper_bound(m_chunks.begin(), m_chunks.end(), row,
                                  [](qsizetype v, const Chunk &c) { return v < c.rowBase; });
    return size_t(std::max<qsizetype>(0, (chunk - m_chunks.begin()) - 1));
}

LineIndex::RowPos LineIndex::rowToLine(qsizetype row) const
{
    row = std::clamp<qsizetype>(row, 0, rowCount() - 1);
    const size_t ci = chunkOfRow(row);
    const Chunk &c = m_chunks[ci];
    const Entry *lines = entries(ci);
    const qsizetype count = std::min(kChunkLines, m_lineCount - qsizetype(ci) * kChunkLines);
    const quint32 rel = quint32(row - c.rowBase);
    // The first line that ends after the row.
    qsizetype local;
    if (c.wrappedColumns == m_columns) {
        const Entry *it = std::upper_bound(lines, lines + count, rel,
                                           [](quint32 v, const Entry &e) { return v < e.rowEnd; });
        local = it - lines;
    } else {
        qsizetype lo = 0, hi = count;
        while (lo < hi) {
            const qsizetype mid = lo + (hi - lo) / 2;
            if (rowEndIn(c, lines, mid) <= rel)
                lo = mid + 1;
            else
                hi = mid;
        }
        local = lo;
    }
    local = std::min<qsizetype>(local, count - 1);
    RowPos pos;
    pos.line = qsizetype(ci) * kChunkLines + local;
    pos.rowInLine = rel - (local == 0 ? 0 : rowEndIn(c, lines, local - 1));
    return pos;
}

LineIndex::Wrap LineIndex::rewrap(const SessionLog &log, qsizetype start, qsizetype length,
                                  QByteArray &buffer) const
{
    buffer.resize(length);
    qsizetype got = 0;
    log.Visit(start, length, [&](const char *p, qsizetype n) {
        memcpy(buffer.data() + got, p, size_t(n));
        got += n;
    });
    const char *p = buffer.constData();
    Wrap wrap;
    qsizetype cells = 0;
    qsizetype narrow = 0; // single cells not yet added to wrap
    for (qsizetype i = 0; i < got;) {
        const uchar b = uchar(p[i]);
        if (Gbk::isLead(b) && i + 1 < got && Gbk::isTrail(uchar(p[i + 1]))) {
            if (narrow > 0) {
                wrap.addNarrow(narrow, m_columns);
                narrow = 0;
            }
            wrap.addWide(m_columns);
            cells += 2;
            i += 2;
            continue;
        }
        const int w = b == '\t' ? Gbk::tabCells(cells, m_tabWidth) : 1;
        narrow += w;
        cells += w;
        ++i;
    }
    if (narrow > 0)
        wrap.addNarrow(narrow, m_columns);
    return wrap;
}

void LineIndex::setTabWidth(int cells)
{
    cells = std::max(cells, 1);
    if (cells == m_tabWidth)
        return;
    m_tabWidth = cells;
    reset(); // line widths change: the next update() reads the log again
}

void LineIndex::setColumns(int columns, const SessionLog &log)
{
    columns = std::max(columns, kMinColumns);
    if (columns == m_columns)
        return;
    m_columns = columns;
    if (!m_started || log.generation() != m_generation) {
        // The next update() starts over with the new width.
        reset();
        return;
    }
    // No full chunk is read here: see the class comment.
    m_staleChunks = 0;
    m_firstStale = 0;
    const size_t last = m_chunks.size() - 1;
    for (size_t ci = 0; ci < last; ++ci) {
        Chunk &c = m_chunks[ci];
        if (c.wrappedColumns == columns) {
            c.rows = c.wrappedRows;
        } else if (c.widest <= quint32(columns)) {
            c.rows = quint32(kChunkLines);
        } else {
            c.rows = estimateRows(c);
            ++m_staleChunks;
        }
    }
    updateRowBases(1);
    // The open line's chunk, which update() goes on filling.
    QByteArray buffer;
    m_rowPrefix = wrapChunk(last, log, buffer, nullptr);
    m_chunks[last].wrappedColumns = columns;
    if (m_open.wide)
        m_open.wrap = rewrap(log, m_open.start, m_open.length, buffer);
    commitOpen();
}

quint32 LineIndex::estimateRows(const Chunk &c) const
{
    const qint64 columns = m_columns;
    // The rows beyond one a line it had at the count it was last wrapped at,
    // in proportion to the new count; no fewer than its cells fill, and no
    // fewer than its widest line needs.
    qint64 rows = kChunkLines + (qint64(c.wrappedRows) - kChunkLines) * c.wrappedColumns / columns;
    rows = std::max<qint64>(rows, (qint64(c.cells) + columns - 1) / columns);
    rows = std::max<qint64>(rows, kChunkLines - 1 + (qint64(c.widest) + columns - 1) / columns);
    return quint32(std::clamp<qint64>(rows, kChunkLines, std::numeric_limits<qint32>::max()));
}

void LineIndex::updateRowBases(size_t from)
{
    for (size_t k = std::max<size_t>(from, 1); k < m_chunks.size(); ++k)
        m_chunks[k].rowBase = m_chunks[k - 1].rowBase + m_chunks[k - 1].rows;
}

quint32 LineIndex::wrapChunk(size_t ci, const SessionLog &log, QByteArray &buffer, qsizetype *bytes)
{
    const qsizetype first = qsizetype(ci) * kChunkLines;
    const qsizetype count = std::min(kChunkLines, m_lineCount - 1 - first); // the open line excluded
    const Chunk &c = m_chunks[ci];
    // Valid while only the log is read: nothing below reads another chunk.
    const Entry *lines = entries(ci);
    m_wrapped.resize(size_t(count));
    quint32 prefix = 0;
    bool changed = false;
    for (qsizetype local = 0; local < count; ++local) {
        const quint32 f = lines[local].cells;
        const qsizetype cells = f & kCellsMask;
        qsizetype rows;
        if (cells <= m_columns) {
            rows = 1;
        } else if (!(f & kWideFlag)) {
            rows = (cells + m_columns - 1) / m_columns;
        } else {
            // A line's first entry starts its chunk, so the line after the
            // last one of a chunk starts at the next chunk's startBase.
            const qsizetype start = c.startBase + lines[local].start;
            const qsizetype next = local + 1 < kChunkLines ? c.startBase + lines[local + 1].start
                                                           : m_chunks[ci + 1].startBase;
            const qsizetype length = std::clamp<qsizetype>(next - start - int((f >> kBreakShift) & 3), 0,
                                                           kMaxLineBytes + 1);
            rows = rewrap(log, start, length, buffer).rows;
            if (bytes)
                *bytes += length;
        }
        prefix += quint32(rows);
        m_wrapped[size_t(local)] = prefix;
        changed |= lines[local].rowEnd != prefix;
    }
    if (changed) {
        Entry *out = mutableEntries(ci);
        for (qsizetype local = 0; local < count; ++local)
            out[local].rowEnd = m_wrapped[size_t(local)];
    }
    return prefix;
}

qsizetype LineIndex::settleChunk(size_t ci, const SessionLog &log, QByteArray &buffer)
{
    qsizetype work = kChunkLines * qsizetype(sizeof(Entry));
    const quint32 rows = wrapChunk(ci, log, buffer, &work);
    Chunk &c = m_chunks[ci];
    c.rows = c.wrappedRows = rows;
    c.wrappedColumns = m_columns;
    --m_staleChunks;
    return work;
}

bool LineIndex::refine(const SessionLog &log, qsizetype maxBytes)
{
    QByteArray buffer;
    qsizetype spent = 0;
    size_t changedFrom = m_chunks.size();
    size_t ci = m_firstStale;
    // The last chunk is never stale.
    for (; ci + 1 < m_chunks.size() && m_staleChunks > 0 && spent < maxBytes; ++ci) {
        if (isStale(m_chunks[ci])) {
            spent += settleChunk(ci, log, buffer);
            changedFrom = std::min(changedFrom, ci + 1);
        }
    }
    m_firstStale = ci;
    updateRowBases(changedFrom);
    return m_staleChunks == 0;
}

bool LineIndex::refineLines(const SessionLog &log, qsizetype firstLine, qsizetype lastLine)
{
    if (m_staleChunks == 0)
        return false;
    QByteArray buffer;
    size_t changedFrom = m_chunks.size();
    const size_t from = size_t(std::clamp<qsizetype>(firstLine, 0, m_lineCount - 1) >> kChunkShift);
    const size_t to = size_t(std::clamp<qsizetype>(lastLine, 0, m_lineCount - 1) >> kChunkShift);
    for (size_t ci = from; ci <= to && ci + 1 < m_chunks.size(); ++ci) {
        if (isStale(m_chunks[ci])) {
            settleChunk(ci, log, buffer);
            changedFrom = std::min(changedFrom, ci + 1);
        }
    }
    updateRowBases(changedFrom);
    return changedFrom < m_chunks.size();
}

qsizetype LineIndex::memoryUsage() const
{
    return qsizetype(m_chunks.capacity() * sizeof(Chunk))
           + (qsizetype(m_chunks.size() - m_spilledChunks) + m_chunksBack + m_readBack.loaded()) * kChunkLines
                 * qsizetype(sizeof(Entry));
}
