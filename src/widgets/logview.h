#pragma once

#include "text/gbkfind.h"
#include "widgets/lineindex.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QBasicTimer>
#include <QByteArray>
#include <QColor>
#include <QElapsedTimer>
#include <QFont>
#include <QHash>
#include <QList>
#include <QPixmap>
#include <QRawFont>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <algorithm>
#include <vector>

class SessionLog;
class QIODevice;
class QMenu;
class FindBar;
class HexView;
class LogViewGutter;

// A coloured byte range of one line: [start, start + length) counted from the
// line's first byte.
struct StyledRun
{
    qsizetype start = 0;
    qsizetype length = 0;
    QColor color;
    bool bold = false;
};

// Read-only view of a SessionLog of any size, in code page 936.
//
// The view keeps a LineIndex of the log and paints only the rows on screen,
// decoding just their lines. Rows wrap at the viewport width in cells of a
// fixed-width font; a double-byte character takes two cells and is never split
// across rows; control bytes show as control pictures (as a small box with the
// byte's hex digits when the font has no such pictures). Positions (selection,
// hit tests) are byte offsets in the log.
//
// logChanged() must be called after the log grew or was cleared; it reads only
// the new bytes. The scroll bar and the screen follow on a timer, at most every
// 20 ms and less often when painting is slow, however often logChanged() is
// called. A large unread tail is handled from the event loop in slices of
// about 15 ms, and so is the re-wrap of a long log at a new width (a resize,
// a zoom, the timestamps gutter): the lines on screen are wrapped at once, the
// rest in such slices, the scroll bar counting estimates for them meanwhile
// and the top row staying on top.
//
// Keys: Up, Down, PageUp, PageDown, Home and End (with or without Ctrl)
// scroll; with Shift they move the cursor end of the selection instead. Ctrl+A
// selects all, Ctrl+C (QKeySequence::Copy) copies. Mouse: press and drag
// select (scrolling while dragged past the top or bottom), Shift+click
// extends, double-click selects a word; the context menu has Copy and Select
// All.
class LogView : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit LogView(QWidget *parent = nullptr);
    ~LogView() override;

    // The system's fixed-width font, or another fixed-pitch face where the
    // system's is not strictly fixed-pitch.
    static QFont FixedPitchFont();

    // The log shown; nullptr shows nothing. The view does not own it.
    void setLog(const SessionLog *log);
    const SessionLog *log() const { return m_log; }
    // Catches up with the log after it grew or was cleared. A Clear empties
    // the selection. With scrollToEnd the view then shows its last row at the
    // bottom.
    void logChanged(bool scrollToEnd);

    const LineIndex &lineIndex() const { return m_index; }
    // Bytes of the line index kept in memory before its oldest lines go to a
    // temporary file (LineIndex::kDefaultMemoryLimit unless set).
    void setIndexMemoryLimit(qsizetype bytes) { m_index.setMemoryLimit(bytes); }
    qsizetype lineCount() const { return m_index.lineCount(); }
    qsizetype rowCount() const { return m_index.rowCount(); }
    // Cells per row at the current width.
    int columnCount() const { return m_index.columns(); }
    qreal cellWidth() const { return m_cellWidth; }
    // Tab stops every `cells` cells (Gbk::kTabWidth at first); the log is
    // indexed again.
    void setTabWidth(int cells);
    int tabWidth() const { return m_index.tabWidth(); }
    // Tab stops every `pixels`, rounded to whole cells of the current font
    // (at least one), and again after every change of font.
    void setTabStopDistance(qreal pixels);
    // Repaints the rows on screen that show bytes of [from, to).
    void repaintRange(qsizetype from, qsizetype to);
    qsizetype firstVisibleRow() const { return m_firstRow; }
    // Whole rows that fit in the viewport.
    int visibleRowCount() const;
    // Line `line` as shown: control pictures, U+FFFD for bad bytes, spaces for
    // tabs, the styling hook's rewrite applied; no wrapping.
    QString lineText(qsizetype line) const;

    qsizetype selectionStart() const { return std::min(m_anchor, m_cursor); }
    qsizetype selectionEnd() const { return std::max(m_anchor, m_cursor); }
    // The end of the selection that stays, and the one that moves.
    qsizetype selectionAnchor() const { return m_anchor; }
    qsizetype selectionCursor() const { return m_cursor; }
    bool hasSelection() const { return m_anchor != m_cursor; }
    // Selects from `anchor` to `cursor` (byte offsets, clipped to the indexed
    // log); the cursor end is the one that Shift+keys and Shift+click move.
    void setSelection(qsizetype anchor, qsizetype cursor);
    // The selection as shown (the styling hook's rewrite applied), decoded,
    // with "\n" for each selected line break and NUL bytes left out.
    QString selectedText() const;
    // The same for any byte range; *complete is false when some of it cannot
    // be read back (it is left out).
    QString textInRange(qsizetype from, qsizetype to, bool *complete = nullptr) const;
    // The byte offset nearest to a point of the viewport.
    qsizetype positionAt(const QPoint &viewportPoint) const;
    // The visual row that shows byte offset pos.
    qsizetype rowOfPosition(qsizetype pos) const;
    // The cell at byte offset pos, in viewport coordinates.
    QRect cursorRectAt(qsizetype pos) const;
    // Scrolls as little as needed to show the row of byte offset pos.
    void ensurePositionVisible(qsizetype pos);

    // Menu with "Copy" and "Select All", as the context menu shows it, then
    // the actions added below after a separator; the caller owns it.
    QMenu *createContextMenu();
    // An action of the window's for the context menu (the view does not own it).
    void addContextAction(QAction *action) { m_contextActions.append(action); }

    // Character offsets of the decoded raw text (as the accessibility
    // interface counts them) and byte offsets, converted both ways.
    qsizetype characterCount() const;
    qsizetype charOffsetOf(qsizetype bytePos) const;
    qsizetype byteOffsetOf(qsizetype charOffset) const;
    // The decoded raw log text (no display rewrite) between two byte offsets.
    QString rawText(qsizetype from, qsizetype to) const;
    // The same text as shown, with the styling hook's rewrite applied; it has
    // as many characters as rawText() (what accessibility reads).
    QString shownText(qsizetype from, qsizetype to) const;

    // The font's size in points added to the size it had before the first
    // zoom (Ctrl+plus, Ctrl+minus, Ctrl+0); 0 is that size.
    int zoom() const { return m_zoom; }
    static constexpr int kMaxZoom = 30;
    static constexpr qreal kMinPointSize = 4;

    // Every match of finder on screen gets a background, the one that starts
    // at `current` (-1: none) a stronger one. An empty finder shows none.
    void setFindHighlight(const GbkFinder &finder, qsizetype current = -1);
    const GbkFinder &findHighlight() const { return m_findHighlight; }
    qsizetype currentMatch() const { return m_currentMatch; }
    // Text the terminal added to the log itself (commands sent, separators)
    // on a faint background, told apart from what the module sent (off
    // unless asked for: "Mark Sent Text" in the context menu).
    void setMarkTerminalText(bool on);
    bool marksTerminalText() const { return m_markTerminal; }
    // The background it has.
    QColor terminalTextBackground() const;
    // Timestamps in a gutter left of the text, on each line's first row:
    // when the line's first byte arrived, as hh:mm:ss.mmm or as the time
    // since the line before (+s.mmm). Kept beside the log, not in it (off
    // unless asked for: "Timestamps" in the context menu).
    enum class Timestamps { Off, TimeOfDay, SincePrevious };
    void setTimestamps(Timestamps mode);
    Timestamps timestamps() const { return m_timestamps; }
    // What accessibility reads: shownText(), and while timestamps show, each
    // line after its time in a field of kAccessibleStampChars (the time
    // right-aligned, then a space; blank where a line has no time yet), as
    // the gutter shows it beside the line. Offsets in that text and byte
    // offsets, both ways.
    static constexpr int kAccessibleStampChars = 13;
    int accessibleStampWidth() const { return m_timestamps == Timestamps::Off ? 0 : kAccessibleStampChars; }
    qsizetype accessibleLength() const;
    qsizetype accessibleOffsetOf(qsizetype bytePos) const;
    qsizetype byteOfAccessibleOffset(qsizetype offset) const;
    // Where line's time field (or its text, without timestamps) begins.
    qsizetype accessibleLineStart(qsizetype line) const;
    QString accessibleText(qsizetype from, qsizetype to) const;
    // What the gutter shows for a line; empty when it has no time yet.
    QString timestampText(qsizetype line) const { return timestampText(line, m_timestamps); }
    QString timestampText(qsizetype line, Timestamps mode) const;
    // Writes the log's bytes as they are, each line after its timestamp (in
    // mode, never Off) and a space; false when a write failed or a line
    // cannot be read back (out may then hold the lines before it).
    bool writeWithTimestamps(QIODevice &out, Timestamps mode) const;
    // The selection as selectedText() gives it, each line (or part of one)
    // after its timestamp and a space.
    QString selectedTextWithTimestamps(bool *complete = nullptr) const;
    // The log as a hex dump (HexView) in place of the text, with the same
    // selection, find highlights and marks (off unless asked for: "Hex" in
    // the context menu).
    void setHexView(bool on);
    bool showsHex() const;
    HexView *hexView() const { return m_hex; }
    // The find bar over the view (Ctrl+F, or Find… in the context menu);
    // nullptr until it was first opened.
    FindBar *findBar() const { return m_findBar; }
    // The byte offset of the first line on screen.
    qsizetype firstVisiblePosition() const;
    // Makes room beside the text for the gutter and above it for the find
    // bar, as they are now shown or not.
    void placeOverlays();

public slots:
    void openFindBar();
    void zoomIn() { setZoom(m_zoom + 1); }
    void zoomOut() { setZoom(m_zoom - 1); }
    void resetZoom() { setZoom(0); }
    void setZoom(int steps);
    void selectAll();
    void clearSelection();
    // Puts selectedText() on the clipboard; nothing happens without a
    // selection, nor when some of it cannot be read back (the log's store
    // failure handler is told why).
    void copy();
    void copyWithTimestamps();
    void scrollToEnd();
    void scrollToRow(qsizetype row);

signals:
    void selectionChanged();
    // logChanged() has read what the log got (or saw it cleared).
    void logUpdated();

protected:
    // Styling hook, called for every line before it is painted, copied or
    // returned by lineText(). `lineBytes` holds the line's bytes without its
    // break and `lineStart` the log offset of the first one. An override may
    // append runs to `runs` to colour byte ranges (later runs win where runs
    // overlap; bytes in no run are plain) and may rewrite the bytes for
    // display, for instance to change the case of a keyword: a rewritten
    // printable ASCII byte that stays printable ASCII is shown (unless it
    // would turn into the trail byte of a double-byte character); other
    // changes are dropped, and so is the whole rewrite when it changes the
    // length. The default does nothing: plain text in the palette's text
    // colour.
    virtual void styleLine(qsizetype lineStart, QByteArray &lineBytes, QList<StyledRun> &runs) const;

    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    QList<QAction *> m_contextActions;

    struct CharMark
    {
        qsizetype byte = 0;
        qsizetype chars = 0;
    };

    // The text at the top of the view, to keep it there while rows change.
    struct TopRow
    {
        qsizetype line = 0;
        qsizetype rowInLine = 0;
        bool atEnd = false;
    };
    TopRow topRow() const;
    void restoreTop(const TopRow &top);
    // Wraps the lines shown with the top row `top` where the index has not
    // yet, keeping that row on top.
    void refineVisible(const TopRow &top);
    // The same for the lines that can be on screen with byte offset pos,
    // keeping the top row.
    void refineAround(qsizetype pos);
    void backgroundStep();
    void updateMetrics();
    void relayout();
    void syncScrollBar();
    void repaintChanged();
    qsizetype maxFirstRow() const;
    // The bytes of a line; false when they cannot all be read back (out
    // then holds those before the first that cannot).
    bool fetchLine(qsizetype line, QByteArray &out) const;
    bool fetchStyledLine(qsizetype line, QByteArray &bytes, QList<StyledRun> &runs) const;
    qsizetype hitTest(qsizetype row, qreal cellX) const;
    struct RowCell
    {
        qsizetype row = 0;
        qreal cell = 0;
    };
    RowCell rowCellOf(qsizetype pos) const;
    void moveCursorTo(qsizetype pos, bool extend);
    void moveByRows(qsizetype delta, bool extend);
    void selectWordAt(qsizetype pos);
    void ensureRowVisible(qsizetype row);
    void selectionUpdated();
    QPixmap placeholder(uchar byte, const QColor &color) const;
    // The font (index + 1, high byte) and glyph of a character, or kNoGlyph.
    quint32 glyphFor(char16_t c, bool bold) const;
    static constexpr quint32 kNoGlyph = 0xFF000000u;
    bool extendCharMarks() const;
    const CharMark &markBeforeByte(qsizetype bytePos) const;

    const SessionLog *m_log = nullptr;
    LineIndex m_index;

    qreal m_cellWidth = 8;
    qreal m_tabStopPixels = 0; // 0: tab width in cells as set
    int m_zoom = 0;
    qreal m_unzoomedPointSize = 0;
    int m_lineHeight = 16;
    int m_ascent = 12;
    qreal m_wideOffset = 0;
    int m_lastPaintMs = 0;
    struct GlyphGroup
    {
        int font; // index in m_rawFonts, + 0x100 for bold
        QRgb color;
        QList<quint32> glyphs;
        QList<QPointF> positions;
    };
    std::vector<QRawFont> m_rawFonts[2];
    mutable std::vector<quint32> m_glyphCache[2];
    std::vector<GlyphGroup> m_groups;
    bool m_hasControlPictures = false;
    QFont m_boldFont;
    QFont m_tinyFont;

    qsizetype m_anchor = 0;
    qsizetype m_cursor = 0;
    bool m_dragging = false;
    QPoint m_dragPoint;
    QBasicTimer m_autoScroll;
    QBasicTimer m_catchUp;
    QBasicTimer m_refreshTimer;
    QBasicTimer m_barTimer;       // a scroll bar update held back
    QElapsedTimer m_barClock;     // since the scroll bar last followed the log
    qsizetype m_firstRow = 0;     // top row shown; the scroll bar follows it
    bool m_pendingScrollToEnd = false;
    bool m_barDirty = false;      // the scroll bar lags behind the index
    bool m_repaintPending = false;
    bool m_syncingBar = false;
    // What the next refresh repaints: rows from m_dirtyFromRow (absolute) on,
    // after moving the rows still right on screen from m_shownFirstRow to
    // m_firstRow; or everything.
    qsizetype m_dirtyFromRow = LineIndex::kUnlimited;
    qsizetype m_shownFirstRow = 0;
    bool m_fullRepaint = false;

    bool m_markTerminal = false;
    Timestamps m_timestamps = Timestamps::Off;
    QWidget *m_gutter = nullptr; // a LogViewGutter
    int gutterWidth() const;
    friend class LogViewGutter;
    GbkFinder m_findHighlight;
    qsizetype m_currentMatch = -1;
    FindBar *m_findBar = nullptr;
    HexView *m_hex = nullptr;
    void syncHexSelection();

    mutable std::vector<CharMark> m_charMarks;
    mutable quint64 m_charMarksGeneration = 0;
    mutable QByteArray m_lineBuffer;
    mutable QHash<quint64, QPixmap> m_placeholders;
};
