#pragma once

#include "store/readbackcache.h"
#include "text/gbk.h"

#include <QByteArray>
#include <QtGlobal>
#include <QString>
#include <array>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

class SessionLog;
class SpillFile;

// Where each display line of a SessionLog starts, how many cells it is wide
// and how many rows it takes when wrapped at a given column count.
//
// Lines end at CR LF, at a lone CR and at a lone LF; a CR at the end of the
// indexed bytes waits for the next byte, so CR LF split between two appends is
// still one break. The line after the last break is always present (possibly
// empty), so an empty log has one line. A line longer than kMaxLineBytes is cut
// into display lines of at most that many bytes (plus one when a double-byte
// character straddles the limit), each of which starts on a new row; such a
// cut has a break length of 0.
//
// update() reads only the bytes appended since the previous call. The last
// line stays open: its width and rows are updated as it grows. A lead byte at
// the very end counts as one cell until the next byte tells whether it starts
// a pair.
//
// Wrapping: rows are `columns` cells wide; single-cell units (tab cells too)
// fill rows in order, and a double-byte character that does not fit in what is
// left of a row starts the next row. A line takes at least one row.
//
// A new column count re-wraps at once only the chunk of the open line; no
// other line is read then. A full chunk whose lines all fit in a row, or that
// was last wrapped at that count, knows its rows; the others are stale: each
// counts for an estimate of its rows (from the rows it had at the count it
// was last wrapped at, its cells and its widest line), which its lines share
// in proportion to the rows they had, so that rows and lines still map to
// each other both ways. refine() wraps the stale chunks in order, a slice at a
// time; refineLines() wraps those that hold given lines. Wrapping a chunk
// changes the rows of the lines from it on, never what is before it.
//
// Storage: lines are kept in chunks of kChunkLines with 64-bit bases and
// 32-bit per-line fields (start, cells and flags, row prefix): 12 bytes per
// line, allocated one chunk at a time. Past a limit (kDefaultMemoryLimit
// unless set), the oldest full chunks move to a temporary file (SpillFile)
// and come back on demand, a few kept at a time (changed ones are written
// back when they leave): memory then holds the chunks' bases and sizes (48
// bytes a chunk) and the most recent lines. Where the file cannot be written,
// the index stays in memory.
//
// What cannot be read back is not made up. A chunk the file cannot give back
// (an I/O error on its disk, a file cut short) keeps its lines, its bytes and
// its rows, but its lines are not known: each has no length and no cells and
// takes one row (its last line takes the rest of the chunk's rows), and
// lineKnown() is false. Bytes of the log that cannot be read back when they
// are indexed make one such line of their own; the line before them ends
// there and the next starts after them. readError() tells, and so does the
// handler, once after a reset.
class LineIndex
{
public:
    static constexpr qsizetype kDefaultMemoryLimit = qsizetype(32) * 1024 * 1024;
    static constexpr qsizetype kMaxLineBytes = 16384;
    static constexpr int kChunkShift = 12;
    static constexpr qsizetype kChunkLines = qsizetype(1) << kChunkShift;
    static constexpr int kMinColumns = 2;
    static constexpr qsizetype kUnlimited = std::numeric_limits<qsizetype>::max();

    // Greedy wrap state of one line for a column count.
    struct Wrap
    {
        qsizetype rows = 1; // rows begun so far (at least one)
        int col = 0;        // cells used in the last row, 0..columns
        // Adds n single cells, which may run over into further rows.
        void addNarrow(qsizetype n, int columns)
        {
            const qsizetype t = col + n;
            if (t <= columns) {
                col = int(t);
                return;
            }
            const qsizetype extra = (t - 1) / columns;
            rows += extra;
            col = int(t - extra * columns);
        }
        // Adds a two-cell character; returns the column it starts at.
        int addWide(int columns)
        {
            if (col + 2 > columns) {
                ++rows;
                col = 0;
            }
            col += 2;
            return col - 2;
        }
    };

    LineIndex();
    ~LineIndex();
    LineIndex(const LineIndex &) = delete;
    LineIndex &operator=(const LineIndex &) = delete;

    // Indexes bytes appended to `log` since the last call (all of it after a
    // Clear of the log or a reset()), at most maxBytes of them. Returns true
    // when the index has caught up with the log.
    bool update(const SessionLog &log, qsizetype maxBytes = kUnlimited);
    // Forgets everything: one empty line, nothing indexed.
    void reset();
    // Wraps at a new column count (at least kMinColumns): the chunk of the
    // open line at once, each of the other chunks when refine() or
    // refineLines() comes to it (see above); one step per chunk. A double-
    // byte line wider than a row is read from the log when its chunk is
    // wrapped: where a character may have to move to the next row, its rows
    // depend on the order of its characters.
    void setColumns(int columns, const SessionLog &log);
    int columns() const { return m_columns; }
    // Tab stops every `cells` cells (at least 1; Gbk::kTabWidth at first).
    // A change forgets the index: the next update() reads the log again.
    void setTabWidth(int cells);
    int tabWidth() const { return m_tabWidth; }
    // True when every line has its exact rows.
    bool isExact() const { return m_staleChunks == 0; }
    // Wraps stale chunks from the start of the log on, about maxBytes of work
    // (a chunk's lines count for their 12 bytes each, a line read from the
    // log for its bytes); returns isExact().
    bool refine(const SessionLog &log, qsizetype maxBytes = kUnlimited);
    // Wraps the stale chunks that hold lines firstLine to lastLine (clamped to
    // the lines there are); true when it wrapped any. The rows of the lines
    // from these chunks on may change.
    bool refineLines(const SessionLog &log, qsizetype firstLine, qsizetype lastLine);

    quint64 generation() const { return m_generation; }
    // Bytes of the log covered by the index.
    qsizetype indexedSize() const { return m_scanned; }

    qsizetype lineCount() const { return m_lineCount; }
    qsizetype lineStart(qsizetype line) const;
    // Bytes of the line without its break.
    qsizetype lineLength(qsizetype line) const;
    // Bytes of the break after the line: 2 for CR LF, 1 for CR or LF, 0 for the
    // last line, for a line cut at kMaxLineBytes and for a line not known.
    int lineBreakLength(qsizetype line) const;
    // False for a line whose place in the log could not be read back.
    bool lineKnown(qsizetype line) const;
    qsizetype lineCells(qsizetype line) const;
    // True when the line holds a double-byte character.
    bool lineHasWide(qsizetype line) const;
    qsizetype lineRows(qsizetype line) const;
    qsizetype lineFirstRow(qsizetype line) const;
    // The line that holds byte offset pos (its break included); the last line
    // for pos at or after the end.
    qsizetype lineAt(qsizetype pos) const;

    qsizetype rowCount() const;
    struct RowPos
    {
        qsizetype line = 0;
        qsizetype rowInLine = 0;
    };
    // The line shown on visual row `row` (clamped to the rows there are).
    RowPos rowToLine(qsizetype row) const;

    // Heap bytes held by the index.
    qsizetype memoryUsage() const;
    // Bytes of lines kept in memory before the oldest chunks go to the file.
    void setMemoryLimit(qsizetype bytes);
    // Chunks in the file.
    qsizetype storedChunks() const { return qsizetype(m_spilledChunks); }
    // Why some of the index or of the log could not be read back since the
    // last reset (empty when all could).
    QString readError() const { return m_readError; }
    // Told the reason the first time after a reset that something cannot be
    // read back; it may be called from any accessor, within the log's Visit
    // too, so it must not call into the log.
    void setReadFailureHandler(std::function<void(const QString &reason)> handler);

private:
    struct Entry
    {
        quint32 start;  // relative to the chunk's startBase
        quint32 cells;  // cells | flags
        quint32 rowEnd; // rows through the line, relative to the chunk's rowBase
    };
    struct Chunk
    {
        qsizetype startBase = 0;
        qsizetype rowBase = 0;
        // Null while the chunk is in the file. A chunk that cannot be written
        // back to the file comes back here, from a const read too.
        mutable std::unique_ptr<Entry[]> lines;
        // What a new column count needs to know of a full chunk without
        // reading it.
        quint32 cells = 0;       // of all its lines (below 2^32: each has fewer than 2^20)
        quint32 widest = 0;      // cells of its widest line
        quint32 rows = 0;        // at the current column count; an estimate while stale
        quint32 wrappedRows = 0; // at wrappedColumns, as its lines' rowEnd say
        int wrappedColumns = 0;  // the column count its lines' rowEnd are for
        mutable bool unreadable = false; // in the file, and it could not be read back
    };

    // The line being filled.
    struct Open
    {
        qsizetype start = 0;
        qsizetype length = 0; // bytes consumed into the line (a pending lead excluded)
        qsizetype cells = 0;
        bool wide = false;
        bool unknown = false; // bytes of the log that cannot be read back
        Wrap wrap; // valid only when wide
    };

    static constexpr quint32 kCellsMask = 0x000FFFFF;
    static constexpr int kBreakShift = 20;
    static constexpr quint32 kWideFlag = 1u << 22;
    static constexpr quint32 kUnknownFlag = 1u << 23;

    void scan(const char *p, qsizetype n);
    void skipUnreadable(qsizetype n);
    void closeLine(int breakLength, qsizetype nextStart);
    qsizetype writeOpen(int breakLength);
    void commitOpen() { writeOpen(0); }
    void addChunk(qsizetype startBase, qsizetype rowBase);
    void addNarrowCells(qsizetype n);
    void addWideChar();
    bool isStale(const Chunk &c) const { return c.wrappedColumns != m_columns && c.widest > quint32(m_columns); }
    quint32 estimateRows(const Chunk &c) const;
    // Rows through line `local` of a chunk at the current column count: its
    // own for a chunk wrapped at that count, the chunk's estimate shared out
    // for a stale one.
    quint32 rowEndIn(const Chunk &c, const Entry *lines, qsizetype local) const;
    // Wraps the lines of a chunk before the open line at the current column
    // count; returns their rows and adds the bytes read from the log to *bytes.
    quint32 wrapChunk(size_t chunk, const SessionLog &log, QByteArray &buffer, qsizetype *bytes);
    // Wraps a stale chunk; returns the work done, as refine() counts it. The
    // row bases after it are left to updateRowBases().
    qsizetype settleChunk(size_t chunk, const SessionLog &log, QByteArray &buffer);
    // Each chunk's rowBase from `from` on, from the chunks' rows before it.
    void updateRowBases(size_t from);
    size_t chunkOfRow(qsizetype row) const;
    Wrap rewrap(const SessionLog &log, qsizetype start, qsizetype length, QByteArray &buffer) const;
    quint32 &cellsField(qsizetype line);
    quint32 cellsField(qsizetype line) const;
    void setLineStart(qsizetype line, qsizetype pos);
    qsizetype rowEnd(qsizetype line) const;
    // A chunk's lines, from memory or read back; valid until another chunk
    // is read back. The mutable form writes the chunk back when it leaves.
    const Entry *entries(size_t chunk) const;
    Entry *mutableEntries(size_t chunk);
    using ReadBack = ReadBackCache<std::unique_ptr<Entry[]>, 8>;
    ReadBack::Slot &readBack(size_t chunk) const;
    // Fills the lines of a chunk that cannot be read back.
    void fillUnknown(size_t chunk, Entry *lines) const;
    void noteReadFailure(const QString &reason) const;
    void spillOldChunks();

    std::vector<Chunk> m_chunks;
    Chunk *m_cur = nullptr;  // the chunk of the open line
    qsizetype m_local = 0;   // the open line's place in m_cur
    quint32 m_rowPrefix = 0; // rows of m_cur's lines before the open one
    qsizetype m_staleChunks = 0;
    size_t m_firstStale = 0; // no chunk before it is stale
    std::vector<quint32> m_wrapped; // wrapChunk()'s rows, line by line
    qsizetype m_lineCount = 0;
    int m_columns = 1 << 20;
    int m_tabWidth = Gbk::kTabWidth;
    quint64 m_generation = 0;
    bool m_started = false;
    qsizetype m_scanned = 0;
    Open m_open;
    bool m_pendingCr = false;
    int m_pendingLead = -1; // lead byte waiting for its trail, or -1

    std::unique_ptr<SpillFile> m_store;
    size_t m_spilledChunks = 0; // chunks [0, m_spilledChunks) are in m_store
    qsizetype m_memoryLimit = kDefaultMemoryLimit;
    bool m_storeFailed = false;
    mutable qsizetype m_chunksBack = 0; // chunks in the file that came back to memory
    mutable ReadBack m_readBack;
    mutable QString m_readError;
    std::function<void(const QString &)> m_onReadFailure;
};
