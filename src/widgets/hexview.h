#pragma once

#include "text/gbkfind.h"

#include <QAbstractScrollArea>
#include <QColor>

class SessionLog;

// The session log as a hex dump: rows of 16 bytes, each as its offset, the
// bytes in hex and the text they make in code page 936 ("." for a byte that
// shows nothing: control bytes, and bytes that start no character). A
// double-byte character stands at its first byte, over two cells, on the
// row where it begins.
//
// A viewport too narrow for a row of 16 (the main window's receive view at
// its default size) gets rows of 8, so that a row and its text are seen
// whole; one too narrow even for that scrolls sideways. The count changes
// with the width and the font, keeping the first byte on screen.
//
// Only the rows on screen are read and formatted, so any size of log scrolls
// at the same speed. Positions are byte offsets of the log, as in LogView;
// selection is by bytes, from either column. Copy gives the selected rows as
// shown, with the bytes outside the selection left blank.
class HexView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    // Bytes of a row where it fits, and where it does not.
    static constexpr int kBytesPerRow = 16;
    static constexpr int kNarrowBytesPerRow = 8;

    explicit HexView(QWidget *parent = nullptr);

    void setLog(const SessionLog *log);
    const SessionLog *log() const { return m_log; }
    // Follows the log after it grew or was cleared; with scrollToEnd (or
    // when the last row was on screen) the last row stays in view.
    void logChanged(bool scrollToEnd);

    // kBytesPerRow, or kNarrowBytesPerRow while the viewport is too narrow
    // for a full row. Rows, offsets and positions below count in these.
    int bytesPerRow() const { return m_bytesPerRow; }
    qsizetype rowCount() const;
    qsizetype firstVisibleRow() const { return m_firstRow; }
    int visibleRowCount() const;
    // Row `row` as shown, always rowLength() characters: offset, two spaces,
    // the hex bytes (an extra space after the eighth), two spaces, the text
    // padded to bytesPerRow() characters. Empty past the last row.
    QString rowText(qsizetype row) const;
    int rowLength() const;
    // Hex digits of the offsets: 8, or more for a log past 4 GB.
    int offsetDigits() const;

    qsizetype selectionStart() const { return std::min(m_anchor, m_cursor); }
    qsizetype selectionEnd() const { return std::max(m_anchor, m_cursor); }
    qsizetype selectionAnchor() const { return m_anchor; }
    qsizetype selectionCursor() const { return m_cursor; }
    bool hasSelection() const { return m_anchor != m_cursor; }
    void setSelection(qsizetype anchor, qsizetype cursor);
    // The rows that hold bytes of [from, to) as rowText() gives them, each
    // ended by "\n", with the cells of bytes outside the range blank. Bytes
    // that cannot be read back show blank too, and *complete is false.
    QString dumpText(qsizetype from, qsizetype to, bool *complete = nullptr) const;
    QString selectedText() const { return dumpText(selectionStart(), selectionEnd()); }

    // The byte nearest to a point of the viewport, from the hex or the text
    // column.
    qsizetype positionAt(const QPoint &viewportPoint) const;
    // The hex cells of the byte at pos, in viewport coordinates.
    QRect byteRect(qsizetype pos) const;
    // The column (in characters of rowText()) where byte i of a row is
    // written in hex.
    int hexColumn(int i) const;
    // A character cell of rowText(row), in viewport coordinates.
    QRect cellRect(qsizetype row, int column) const;
    // Offsets in the rows' text (rowText() of each row and "\n", as the
    // accessibility interface counts), and byte offsets, both ways.
    qsizetype charOffsetOf(qsizetype pos) const;
    qsizetype byteOffsetOf(qsizetype charOffset) const;
    // rowText() of the rows from..to-1, each ended by "\n", cut to the
    // character offsets [from, to).
    QString text(qsizetype from, qsizetype to) const;
    qsizetype characterCount() const { return rowCount() * (rowLength() + 1); }
    void ensurePositionVisible(qsizetype pos);
    qsizetype firstVisiblePosition() const { return m_firstRow * m_bytesPerRow; }
    // Scrolls the row that holds pos to the top, as far as the end allows.
    void scrollToPosition(qsizetype pos) { scrollToRow(pos / m_bytesPerRow); }

    // Matches of finder on screen get a background, the one at current a
    // stronger one; text the terminal added, `terminalBackground` when set.
    void setFindHighlight(const GbkFinder &finder, qsizetype current);
    void setTerminalBackground(const QColor &color);

public slots:
    void selectAll();
    void copy();
    void scrollToRow(qsizetype row);

signals:
    void selectionChanged();
    void contextMenuWanted(const QPoint &globalPos);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // Bytes of [from, to) with the text column of each: the character that
    // begins there, an empty string for the second byte of a double-byte
    // character, "." for one that shows nothing.
    // The bytes of a range and their cells; short of the range's end where
    // the log cannot give back the rest.
    struct Decoded
    {
        QByteArray bytes;
        QStringList cells;
        bool complete = true;
    };
    Decoded decode(qsizetype from, qsizetype to) const;
    // The row at `base` as rowText() gives it, from bytes decoded from
    // dataFrom on; the bytes outside [from, to) blank.
    QString formatRow(const Decoded &d, qsizetype dataFrom, qsizetype from, qsizetype to, qsizetype base) const;
    void updateMetrics();
    // Bytes per row for the viewport's width; the first byte on screen stays.
    void updateBytesPerRow();
    // Pixels a row of `bytes` bytes takes, with a cell after it (where the
    // second half of a wide character at the row's end goes).
    qreal rowWidth(int bytes) const;
    void syncScrollBar();
    qsizetype maxFirstRow() const;
    void setCursorPos(qsizetype pos, bool extend);
    int textColumn() const { return hexColumn(m_bytesPerRow - 1) + 4; }

    const SessionLog *m_log = nullptr;
    qsizetype m_size = 0;
    qsizetype m_firstRow = 0;
    int m_bytesPerRow = kBytesPerRow;
    bool m_laidOut = false; // the viewport has had its size
    qsizetype m_barScale = 1; // rows per scroll-bar step, for logs of billions of rows
    qsizetype m_anchor = 0;
    qsizetype m_cursor = 0;
    qreal m_cellWidth = 8;
    int m_lineHeight = 16;
    int m_ascent = 12;
    bool m_syncingBar = false;
    GbkFinder m_finder;
    qsizetype m_currentMatch = -1;
    QColor m_terminalBackground;
};
