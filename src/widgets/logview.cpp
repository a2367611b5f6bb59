#include "widgets/logview.h"
#include "widgets/hexview.h"

#include "widgets/findbar.h"

#include "text/gbk.h"
#include "session/sessionlog.h"
#include "widgets/logviewaccessible.h"
#include "widgets/logviewlayout.h"

#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontInfo>
#include <QScrollBar>
#include <QTimerEvent>

// The widget: the log it follows, scrolling and geometry. Hit tests,
// selection and input (logviewinput.cpp), painting, the text and
// accessibility have units of their own (logviewpaint.cpp, logviewtext.cpp,
// logviewaccessible.cpp).

using LogViewLayout::clampToInt;
using LogViewLayout::kMargin;
using LogViewLayout::kRepaintInterval;
using LogViewLayout::layoutLine;
using LogViewLayout::Piece;

namespace {

constexpr qsizetype kIndexSlice = 512 * 1024;        // bytes indexed or re-read between clock checks
constexpr int kStepMs = 15;                           // ms of such work per event-loop turn, at most
constexpr int kMaxRepaintInterval = 200;              // and at most
constexpr int kPaintShare = 5;                        // times the last paint's duration
constexpr int kBarInterval = 200;                     // ms between scroll bar updates while the log grows

} // namespace

LogView::LogView(QWidget *parent) : QAbstractScrollArea(parent)
{
    InstallLogViewAccessibility();

    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);

    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    setPalette(pal);

    setFont(FixedPitchFont());
    updateMetrics();
    verticalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setRange(0, 0);

    // The index's file cannot be read back: told as the log's own failures
    // are, once, and later (this may be within the log's Visit).
    m_index.setReadFailureHandler([this](const QString &reason) {
        QMetaObject::invokeMethod(
            this,
            [this, reason, generation = m_index.generation()] {
                if (m_log && m_log->generation() == generation)
                    m_log->ReportReadFailure(reason);
            },
            Qt::QueuedConnection);
    });
}

LogView::~LogView() = default;

QFont LogView::FixedPitchFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (QFontInfo(font).fixedPitch())
        return font;
    // The system's choice may be a "dual" spaced face: take a strictly
    // fixed-pitch one where there is one.
    for (const char *family : {"DejaVu Sans Mono", "Liberation Mono", "Noto Mono", "Monospace"}) {
        QFont f{QString::fromLatin1(family)};
        f.setStyleHint(QFont::TypeWriter);
        f.setPointSizeF(font.pointSizeF());
        if (QFontInfo(f).fixedPitch())
            return f;
    }
    return font;
}

void LogView::setLog(const SessionLog *log)
{
    m_log = log;
    m_index.reset();
    m_anchor = m_cursor = 0;
    m_firstRow = 0;
    m_charMarks.clear();
    m_pendingScrollToEnd = false;
    m_catchUp.stop();
    relayout();
    if (m_log)
        logChanged(false);
    syncScrollBar();
    viewport()->update();
    emit selectionChanged();
}

void LogView::logChanged(bool scrollToEnd)
{
    if (!m_log)
        return;
    if (showsHex())
        m_hex->logChanged(scrollToEnd);
    const quint64 oldGeneration = m_index.generation();
    const qsizetype oldSize = m_index.indexedSize();
    // The open last line may change as it grows (its wrapping, a keyword
    // completed), so its rows are repainted from its first one.
    const qsizetype firstChangedRow = m_index.lineFirstRow(m_index.lineCount() - 1);
    const qsizetype oldFirstRow = m_firstRow;
    bool caughtUp = m_index.update(*m_log, kIndexSlice);
    if (!caughtUp) {
        QElapsedTimer clock;
        clock.start();
        while (!caughtUp && clock.elapsed() < kStepMs)
            caughtUp = m_index.update(*m_log, kIndexSlice);
    }
    const bool cleared = m_index.generation() != oldGeneration || m_index.indexedSize() < oldSize;
    if (cleared) {
        m_charMarks.clear();
        m_autoScroll.stop();
        m_dragging = false;
        if (m_anchor != 0 || m_cursor != 0) {
            m_anchor = m_cursor = 0;
            emit selectionChanged();
        }
    }
    if (scrollToEnd)
        m_pendingScrollToEnd = true;
    if (m_pendingScrollToEnd) {
        m_firstRow = maxFirstRow();
        if (caughtUp)
            m_pendingScrollToEnd = false;
    } else {
        m_firstRow = std::min(m_firstRow, maxFirstRow());
    }
    if (!caughtUp && !m_catchUp.isActive())
        m_catchUp.start(0, this);

    // The scroll bar and the viewport follow at most every kRepaintInterval.
    m_barDirty = true;
    if (cleared || m_firstRow != oldFirstRow || firstChangedRow <= m_firstRow + visibleRowCount()) {
        m_repaintPending = true;
        if (cleared || !m_index.isExact())
            m_fullRepaint = true;
        m_dirtyFromRow = std::min(m_dirtyFromRow, firstChangedRow);
    }
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start(std::clamp(m_lastPaintMs * kPaintShare, kRepaintInterval, kMaxRepaintInterval), this);
    emit logUpdated();
}

void LogView::setTabWidth(int cells)
{
    cells = std::max(cells, 1);
    if (cells == m_index.tabWidth())
        return;
    m_index.setTabWidth(cells);
    m_firstRow = 0;
    if (m_log)
        logChanged(false);
    syncScrollBar();
    viewport()->update();
}

void LogView::setTabStopDistance(qreal pixels)
{
    m_tabStopPixels = std::max<qreal>(0, pixels);
    if (m_tabStopPixels > 0)
        setTabWidth(std::max(1, qRound(m_tabStopPixels / m_cellWidth)));
}

void LogView::repaintRange(qsizetype from, qsizetype to)
{
    if (!m_log || from >= to)
        return;
    const qsizetype first = firstVisibleRow();
    const qsizetype last = first + visibleRowCount();
    const qsizetype rowA = std::max(first, rowOfPosition(from));
    const qsizetype rowB = std::min(last, rowOfPosition(std::max(from, to - 1)));
    if (rowA > rowB)
        return;
    viewport()->update(QRect(0, int((rowA - first) * m_lineHeight), viewport()->width(),
                             int((rowB - rowA + 1) * m_lineHeight)));
}

// Brings the screen up to date after the log changed: rows that are still on
// screen are moved rather than painted again, and only the changed rows and
// the new ones are painted. Moving the pixels also moves any area that is
// already waiting to be painted, so a pending full repaint stays full.
void LogView::repaintChanged()
{
    const qsizetype rows = visibleRowCount() + 1; // with a partly shown last row
    const qsizetype shift = m_firstRow - m_shownFirstRow;
    const int width = viewport()->width();
    const int height = viewport()->height();
    if (m_fullRepaint || shift < 0 || shift >= rows || !m_index.isExact()) {
        viewport()->update();
    } else {
        if (shift > 0)
            viewport()->scroll(0, -int(shift * m_lineHeight));
        const qsizetype from = std::max<qsizetype>(0, m_dirtyFromRow - m_firstRow);
        if (from < rows) {
            const int y = int(from * m_lineHeight);
            viewport()->update(QRect(0, y, width, height - y));
        }
    }
    m_shownFirstRow = m_firstRow;
    m_dirtyFromRow = LineIndex::kUnlimited;
    m_fullRepaint = false;
}

qsizetype LogView::maxFirstRow() const
{
    return std::max<qsizetype>(0, m_index.rowCount() - visibleRowCount());
}

int LogView::visibleRowCount() const
{
    return std::max(1, viewport()->height() / m_lineHeight);
}

void LogView::syncScrollBar()
{
    QScrollBar *bar = verticalScrollBar();
    const int visible = visibleRowCount();
    const qsizetype clamped = std::clamp<qsizetype>(m_firstRow, 0, maxFirstRow());
    if (clamped != m_firstRow) {
        m_firstRow = clamped;
        viewport()->update();
    }
    m_syncingBar = true;
    const int maximum = clampToInt(maxFirstRow());
    if (bar->maximum() != maximum || bar->minimum() != 0)
        bar->setRange(0, maximum);
    if (bar->pageStep() != visible)
        bar->setPageStep(visible);
    bar->setValue(clampToInt(m_firstRow));
    m_syncingBar = false;
    m_barDirty = false;
    m_barClock.start();
}

void LogView::scrollToEnd()
{
    scrollToRow(maxFirstRow());
}

void LogView::scrollToRow(qsizetype row)
{
    row = std::clamp<qsizetype>(row, 0, maxFirstRow());
    const bool moved = row != m_firstRow;
    m_firstRow = row;
    syncScrollBar();
    if (moved)
        viewport()->update();
}

void LogView::ensurePositionVisible(qsizetype pos)
{
    if (showsHex())
        m_hex->ensurePositionVisible(pos);
    refineAround(pos);
    ensureRowVisible(rowOfPosition(pos));
}

void LogView::refineAround(qsizetype pos)
{
    if (!m_log || m_index.isExact())
        return;
    // Every line takes a row at least: the lines a screen away on either
    // side hold all the rows that can be shown with pos.
    const TopRow a = topRow();
    const qsizetype line = m_index.lineAt(std::clamp<qsizetype>(pos, 0, m_index.indexedSize()));
    const int visible = visibleRowCount();
    if (m_index.refineLines(*m_log, line - visible - 1, line + visible + 1))
        restoreTop(a);
}

void LogView::ensureRowVisible(qsizetype row)
{
    const qsizetype first = firstVisibleRow();
    const int visible = visibleRowCount();
    if (row < first)
        scrollToRow(row);
    else if (row >= first + visible)
        scrollToRow(row - visible + 1);
}

void LogView::scrollContentsBy(int, int)
{
    // The bar following the view repaints nothing: whoever moved the view
    // does. The bar moved by the user (dragging, clicking, the wheel) moves
    // the view.
    if (m_syncingBar)
        return;
    if (m_barDirty)
        m_firstRow = std::clamp<qsizetype>(verticalScrollBar()->value(), 0, maxFirstRow());
    else
        m_firstRow = verticalScrollBar()->value();
    viewport()->update();
}

void LogView::wheelEvent(QWheelEvent *event)
{
    if (m_barDirty)
        syncScrollBar();
    QAbstractScrollArea::wheelEvent(event);
}

LogView::TopRow LogView::topRow() const
{
    TopRow a;
    a.atEnd = m_firstRow > 0 && m_firstRow >= maxFirstRow();
    const LineIndex::RowPos top = m_index.rowToLine(m_firstRow);
    a.line = top.line;
    a.rowInLine = top.rowInLine;
    return a;
}

void LogView::restoreTop(const TopRow &a)
{
    if (a.atEnd) {
        m_firstRow = maxFirstRow();
        return;
    }
    const qsizetype line = std::min(a.line, m_index.lineCount() - 1);
    m_firstRow = std::min(m_index.lineFirstRow(line) + std::min(a.rowInLine, m_index.lineRows(line) - 1),
                          maxFirstRow());
}

void LogView::refineVisible(const TopRow &a)
{
    if (!m_log || m_index.isExact())
        return;
    // Every line takes a row at least: the screen's rows are among those of
    // its top line and the lines after it (or the last lines).
    const int visible = visibleRowCount();
    const qsizetype last = m_index.lineCount() - 1;
    const bool changed = a.atEnd ? m_index.refineLines(*m_log, last - visible - 1, last)
                           : m_index.refineLines(*m_log, a.line, a.line + visible + 1);
    if (changed)
        restoreTop(a);
}

void LogView::relayout()
{
    const int width = viewport()->width() - 2 * kMargin;
    const int columns = std::max(LineIndex::kMinColumns, int(width / m_cellWidth));
    if (m_log && columns != m_index.columns()) {
        const TopRow a = topRow();
        const qsizetype topPos = a.rowInLine == 0 ? m_index.lineStart(a.line) : hitTest(m_firstRow, 0);
        m_index.setColumns(columns, *m_log);
        if (m_index.indexedSize() == 0 && !m_log->isEmpty())
            logChanged(false); // the index started over
        TopRow b;
        b.atEnd = a.atEnd;
        b.line = m_index.lineAt(topPos);
        b.rowInLine = a.atEnd ? 0 : rowOfPosition(topPos) - m_index.lineFirstRow(b.line);
        restoreTop(b);
        refineVisible(b);
        if (!m_index.isExact() && !m_catchUp.isActive())
            m_catchUp.start(0, this);
    } else if (!m_log) {
        // Remember the width for when a log comes.
        const SessionLog empty;
        m_index.setColumns(columns, empty);
    }
    syncScrollBar();
    viewport()->update();
}

void LogView::backgroundStep()
{
    if (!m_log)
        return;
    if (m_index.generation() != m_log->generation() || m_index.indexedSize() < m_log->size()) {
        logChanged(false);
    } else if (!m_index.isExact()) {
        const TopRow a = topRow();
        QElapsedTimer clock;
        clock.start();
        while (!m_index.refine(*m_log, kIndexSlice) && clock.elapsed() < kStepMs) {
        }
        restoreTop(a);
        m_barDirty = true;
        m_repaintPending = true;
        if (!m_refreshTimer.isActive())
            m_refreshTimer.start(kRepaintInterval, this);
    }
    const bool more = m_index.generation() != m_log->generation() || m_index.indexedSize() < m_log->size()
                      || !m_index.isExact();
    if (more && !m_catchUp.isActive())
        m_catchUp.start(0, this);
}

void LogView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    relayout();
    placeOverlays();
}

void LogView::placeOverlays()
{
    const int left = gutterWidth();
    const int top = m_findBar && m_findBar->isVisibleTo(this) ? m_findBar->sizeHint().height() : 0;
    const QMargins margins(left, top, 0, 0);
    if (viewportMargins() != margins)
        setViewportMargins(margins);
    const QRect area = viewport()->geometry();
    if (m_gutter) {
        m_gutter->setGeometry(area.left() - left, area.top(), left, area.height());
        m_gutter->update();
    }
    // The hex dump covers the text, its gutter and its scroll bar.
    if (showsHex())
        m_hex->setGeometry(contentsRect().adjusted(0, top, 0, 0));
    if (top > 0)
        m_findBar->setGeometry(area.left() - left, area.top() - top, area.width() + left, top);
}

void LogView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        setTabStopDistance(m_tabStopPixels);
        relayout();
        placeOverlays();
    } else if (event->type() == QEvent::PaletteChange) {
        m_placeholders.clear();
    }
}

void LogView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_refreshTimer.timerId()) {
        m_refreshTimer.stop();
        // While the log streams in, the scroll bar (whose handle hardly
        // moves) follows less often than the text.
        if (m_barDirty) {
            const qint64 since = m_barClock.isValid() ? m_barClock.elapsed() : kBarInterval;
            if (since >= kBarInterval)
                syncScrollBar();
            else if (!m_barTimer.isActive())
                m_barTimer.start(int(kBarInterval - since), this);
        }
        if (m_repaintPending) {
            m_repaintPending = false;
            repaintChanged();
        }
    } else if (event->timerId() == m_barTimer.timerId()) {
        m_barTimer.stop();
        if (m_barDirty)
            syncScrollBar();
    } else if (event->timerId() == m_catchUp.timerId()) {
        m_catchUp.stop();
        backgroundStep();
    } else if (event->timerId() == m_autoScroll.timerId()) {
        const int h = viewport()->height();
        int delta = 0;
        if (m_dragPoint.y() < 0)
            delta = -(1 + (-m_dragPoint.y()) / m_lineHeight);
        else if (m_dragPoint.y() >= h)
            delta = 1 + (m_dragPoint.y() - h) / m_lineHeight;
        if (delta == 0) {
            m_autoScroll.stop();
            return;
        }
        scrollToRow(firstVisibleRow() + delta);
        const QPoint inside(m_dragPoint.x(), std::clamp(m_dragPoint.y(), 0, std::max(0, h - 1)));
        moveCursorTo(positionAt(inside), true);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}
