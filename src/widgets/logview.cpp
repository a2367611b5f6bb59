#include "widgets/logview.h"

#include "console/gbk.h"
#include "console/sessionlog.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QTimerEvent>

namespace {

constexpr int kMargin = 2;                            // pixels left of the first cell
constexpr qsizetype kIndexSlice = 512 * 1024;        // bytes indexed or re-read between clock checks
constexpr int kStepMs = 15;                           // ms of such work per event-loop turn, at most
constexpr int kRepaintInterval = 20;                  // ms between repaints caused by the log, at least
constexpr int kMaxRepaintInterval = 200;              // and at most
constexpr int kPaintShare = 5;                        // times the last paint's duration
constexpr int kAutoScrollInterval = 40;               // ms between auto-scroll steps
constexpr qsizetype kCharMarkSpacing = 64 * 1024;     // bytes between character-offset marks
constexpr qsizetype kAccessibleValueLimit = 1 << 20;  // bytes of log given as the accessible value

// One unit of a line placed on the screen: a tab that spans two rows comes as
// two pieces with the same offset.
struct Piece
{
    qsizetype offset = 0; // of the unit's first byte, from the line start
    Gbk::Unit unit;
    qsizetype row = 0; // row within the line
    int col = 0;
    int cells = 0;
};

// Places the units of a line's bytes on rows of `columns` cells, with the
// same rules as LineIndex::Wrap, calling f(const Piece &) for each piece in
// order until f returns false.
template<class F>
void layoutLine(const char *p, qsizetype n, int columns, F &&f)
{
    qsizetype lineCells = 0;
    qsizetype row = 0;
    int col = 0;
    for (qsizetype i = 0; i < n;) {
        Piece piece;
        piece.offset = i;
        piece.unit = Gbk::unitAt(p + i, n - i);
        const int w = Gbk::unitCells(piece.unit, lineCells);
        if (piece.unit.kind == Gbk::Kind::Double) {
            if (col + 2 > columns) {
                ++row;
                col = 0;
            }
            piece.row = row;
            piece.col = col;
            piece.cells = 2;
            col += 2;
            if (!f(piece))
                return;
        } else {
            int left = w;
            while (left > 0) {
                if (col == columns) {
                    ++row;
                    col = 0;
                }
                piece.row = row;
                piece.col = col;
                piece.cells = std::min(left, columns - col);
                col += piece.cells;
                left -= piece.cells;
                if (!f(piece))
                    return;
            }
        }
        lineCells += w;
        i += piece.unit.length;
    }
}

// Word classes for double-click selection: 0 is a unit of its own.
int wordClass(const char *p, Gbk::Unit u)
{
    if (u.kind == Gbk::Kind::Double)
        return 2;
    if (u.kind == Gbk::Kind::Tab)
        return 3;
    if (u.kind != Gbk::Kind::Text)
        return 0;
    const uchar b = uchar(*p);
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_')
        return 1;
    return b == ' ' ? 3 : 0;
}

// Text interface over a plain string, used for the boundary searches of
// QAccessibleTextInterface's default helpers on a window of the log.
class WindowText : public QAccessibleTextInterface
{
public:
    explicit WindowText(QString s) : m_text(std::move(s)) {}
    void selection(int, int *startOffset, int *endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int startOffset, int endOffset) const override
    {
        return m_text.mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(m_text.size()); }
    QRect characterRect(int) const override { return QRect(); }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return QString();
    }

private:
    QString m_text;
};

int clampToInt(qsizetype v)
{
    return int(std::clamp<qsizetype>(v, 0, std::numeric_limits<int>::max()));
}

class LogViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit LogViewAccessible(LogView *view) : QAccessibleWidget(view, QAccessible::EditableText) {}

    LogView *view() const { return static_cast<LogView *>(widget()); }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.editable = false;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value) {
            const qsizetype size = view()->lineIndex().indexedSize();
            return size <= kAccessibleValueLimit ? view()->rawText(0, size) : QString();
        }
        return QAccessibleWidget::text(t);
    }

    // QAccessibleTextInterface
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !view()->hasSelection())
            return;
        *startOffset = clampToInt(view()->charOffsetOf(view()->selectionStart()));
        *endOffset = clampToInt(view()->charOffsetOf(view()->selectionEnd()));
    }
    int selectionCount() const override { return view()->hasSelection() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override
    {
        if (selectionIndex == 0)
            view()->clearSelection();
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override
    {
        if (selectionIndex == 0)
            view()->setSelection(view()->byteOffsetOf(startOffset), view()->byteOffsetOf(endOffset));
    }
    int cursorPosition() const override
    {
        return clampToInt(view()->charOffsetOf(view()->selectionCursor()));
    }
    void setCursorPosition(int position) override
    {
        const qsizetype pos = view()->byteOffsetOf(position);
        view()->setSelection(pos, pos);
    }
    QString text(int startOffset, int endOffset) const override
    {
        if (endOffset <= startOffset)
            return QString();
        return view()->rawText(view()->byteOffsetOf(startOffset), view()->byteOffsetOf(endOffset));
    }
    int characterCount() const override { return clampToInt(view()->characterCount()); }

    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                             int *endOffset) const override
    {
        return windowed(offset, boundary, startOffset, endOffset, &QAccessibleTextInterface::textBeforeOffset);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                            int *endOffset) const override
    {
        return windowed(offset, boundary, startOffset, endOffset, &QAccessibleTextInterface::textAfterOffset);
    }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                         int *endOffset) const override
    {
        return windowed(offset, boundary, startOffset, endOffset, &QAccessibleTextInterface::textAtOffset);
    }

    QRect characterRect(int offset) const override
    {
        LogView *v = view();
        const qsizetype pos = v->byteOffsetOf(offset);
        const qsizetype row = v->rowOfPosition(pos) - v->firstVisibleRow();
        if (row < 0 || row > v->visibleRowCount())
            return QRect();
        const QRect r = v->cursorRectAt(pos);
        return QRect(v->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        LogView *v = view();
        const QPoint local = v->viewport()->mapFromGlobal(point);
        if (!v->viewport()->rect().contains(local))
            return -1;
        return clampToInt(v->charOffsetOf(v->positionAt(local)));
    }
    void scrollToSubstring(int startIndex, int) override
    {
        LogView *v = view();
        v->ensurePositionVisible(v->byteOffsetOf(startIndex));
    }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return QString();
    }

private:
    using Helper = QString (QAccessibleTextInterface::*)(int, QAccessible::TextBoundaryType, int *,
                                                         int *) const;

    // Runs a boundary search of the default helpers on the lines around the
    // offset instead of the whole log.
    QString windowed(int offset, QAccessible::TextBoundaryType boundary, int *startOffset, int *endOffset,
                     Helper helper) const
    {
        LogView *v = view();
        const LineIndex &index = v->lineIndex();
        if (boundary == QAccessible::NoBoundary) {
            *startOffset = 0;
            *endOffset = characterCount();
            return text(0, *endOffset);
        }
        const qsizetype line = index.lineAt(v->byteOffsetOf(offset));
        const qsizetype first = std::max<qsizetype>(0, line - 1);
        const qsizetype last = std::min(index.lineCount() - 1, line + 1);
        const qsizetype from = index.lineStart(first);
        const qsizetype to = index.lineStart(last) + index.lineLength(last) + index.lineBreakLength(last);
        const int base = clampToInt(v->charOffsetOf(from));
        WindowText window(v->rawText(from, to));
        const QString result = (window.*helper)(offset - base, boundary, startOffset, endOffset);
        if (*startOffset >= 0)
            *startOffset += base;
        if (*endOffset >= 0)
            *endOffset += base;
        return result;
    }
};

QAccessibleInterface *logViewAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("LogView") && object && object->isWidgetType())
        return new LogViewAccessible(static_cast<LogView *>(object));
    return nullptr;
}

} // namespace

LogView::LogView(QWidget *parent) : QAbstractScrollArea(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(logViewAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);

    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    setPalette(pal);

    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFont(QStringLiteral("Monospace"));
        font.setStyleHint(QFont::TypeWriter);
    }
    setFont(font);
    updateMetrics();
    verticalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setRange(0, 0);
}

LogView::~LogView() = default;

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
    const quint64 oldGeneration = m_index.generation();
    const qsizetype oldSize = m_index.indexedSize();
    const qsizetype firstChangedRow = m_index.rowCount() - 1;
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
    if (cleared || m_firstRow != oldFirstRow || firstChangedRow <= m_firstRow + visibleRowCount())
        m_repaintPending = true;
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start(std::clamp(m_lastPaintMs * kPaintShare, kRepaintInterval, kMaxRepaintInterval), this);
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
    m_firstRow = std::clamp<qsizetype>(m_firstRow, 0, maxFirstRow());
    m_syncingBar = true;
    const int maximum = clampToInt(maxFirstRow());
    if (bar->maximum() != maximum || bar->minimum() != 0)
        bar->setRange(0, maximum);
    if (bar->pageStep() != visible)
        bar->setPageStep(visible);
    bar->setValue(clampToInt(m_firstRow));
    m_syncingBar = false;
    m_barDirty = false;
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
    ensureRowVisible(rowOfPosition(pos));
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
    // The bar moved by the user (dragging, clicking, the wheel).
    if (!m_syncingBar) {
        if (m_barDirty)
            m_firstRow = std::clamp<qsizetype>(verticalScrollBar()->value(), 0, maxFirstRow());
        else
            m_firstRow = verticalScrollBar()->value();
    }
    viewport()->update();
}

void LogView::wheelEvent(QWheelEvent *event)
{
    if (m_barDirty)
        syncScrollBar();
    QAbstractScrollArea::wheelEvent(event);
}

void LogView::updateMetrics()
{
    const QFont f = font();
    const QFontMetricsF fm(f);
    m_cellWidth = std::max<qreal>(1, fm.horizontalAdvance(QLatin1Char('M')));
    m_lineHeight = std::max(1, qCeil(fm.height()));
    m_ascent = qRound(fm.ascent());
    m_hasControlPictures = fm.inFontUcs4(0x2400) && fm.inFontUcs4(0x2421);
    m_boldFont = f;
    m_boldFont.setBold(true);
    // Fonts that glyphs are looked up in: the view's font, then the ones Qt
    // falls back to for Chinese and for symbols.
    for (int bold = 0; bold < 2; ++bold) {
        const QFont &face = bold ? m_boldFont : f;
        m_rawFonts[bold] = {QRawFont::fromFont(face), QRawFont::fromFont(face, QFontDatabase::SimplifiedChinese),
                            QRawFont::fromFont(face, QFontDatabase::Symbol)};
        m_glyphCache[bold].clear();
    }
    m_groups.clear();
    // Double-width glyphs are centred in their two cells.
    m_wideOffset = 0;
    const QRawFont &cjk = m_rawFonts[0][1];
    if (cjk.isValid()) {
        const QList<quint32> g = cjk.glyphIndexesForString(QStringLiteral("\u4E2D"));
        if (g.size() == 1) {
            const QList<QPointF> adv = cjk.advancesForGlyphIndexes(g);
            if (!adv.isEmpty())
                m_wideOffset = std::max<qreal>(0, (2 * m_cellWidth - adv[0].x()) / 2);
        }
    }
    m_tinyFont = f;
    m_tinyFont.setPixelSize(std::max(4, int(m_lineHeight * 0.42)));
    m_placeholders.clear();
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
    // Each pass may move rows; a few passes settle the rows on screen.
    for (int pass = 0; pass < 4 && m_log && !m_index.isExact(); ++pass) {
        const int visible = visibleRowCount();
        bool changed = m_index.refineRows(*m_log, m_firstRow, m_firstRow + visible);
        if (a.atEnd)
            changed |= m_index.refineRows(*m_log, m_index.rowCount() - visible - 1, m_index.rowCount());
        restoreTop(a);
        if (!changed)
            break;
    }
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
}

void LogView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        relayout();
    } else if (event->type() == QEvent::PaletteChange) {
        m_placeholders.clear();
    }
}

void LogView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_refreshTimer.timerId()) {
        m_refreshTimer.stop();
        if (m_barDirty)
            syncScrollBar();
        if (m_repaintPending) {
            m_repaintPending = false;
            viewport()->update();
        }
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

void LogView::fetchLine(qsizetype line, QByteArray &out) const
{
    const qsizetype start = m_index.lineStart(line);
    const qsizetype length = m_index.lineLength(line);
    out.resize(length);
    if (!m_log || length == 0)
        return;
    char *dst = out.data();
    qsizetype got = 0;
    m_log->Visit(start, length, [&](const char *p, qsizetype n) {
        memcpy(dst + got, p, size_t(n));
        got += n;
    });
    out.truncate(got);
}

void LogView::fetchStyledLine(qsizetype line, QByteArray &bytes, QList<StyledRun> &runs) const
{
    fetchLine(line, m_lineBuffer);
    const qsizetype n = m_lineBuffer.size();
    const char *raw = m_lineBuffer.constData();
    bytes.resize(n);
    memcpy(bytes.data(), raw, size_t(n));
    runs.clear();
    styleLine(m_index.lineStart(line), bytes, runs);
    if (bytes.size() != n) {
        bytes.resize(n);
        memcpy(bytes.data(), raw, size_t(n));
        return;
    }
    if (memcmp(bytes.constData(), raw, size_t(n)) == 0)
        return;
    // Keep a rewrite only where a single printable ASCII byte becomes another
    // printable ASCII byte that cannot pair with a lone lead byte before it,
    // so the line keeps its units and cells.
    char *shown = bytes.data();
    bool afterLoneLead = false;
    for (qsizetype i = 0; i < n;) {
        const Gbk::Unit u = Gbk::unitAt(raw + i, n - i);
        if (shown[i] != raw[i]) {
            const uchar now = uchar(shown[i]);
            const bool keep = u.kind == Gbk::Kind::Text && Gbk::isPrintableAscii(uchar(raw[i]))
                              && Gbk::isPrintableAscii(now) && !(afterLoneLead && Gbk::isTrail(now));
            if (!keep)
                shown[i] = raw[i];
        }
        for (int k = 1; k < u.length; ++k)
            shown[i + k] = raw[i + k];
        afterLoneLead = u.kind == Gbk::Kind::Invalid && Gbk::isLead(uchar(raw[i]));
        i += u.length;
    }
}

void LogView::styleLine(qsizetype, QByteArray &, QList<StyledRun> &) const {}

QString LogView::lineText(qsizetype line) const
{
    if (line < 0 || line >= m_index.lineCount())
        return QString();
    QByteArray bytes;
    QList<StyledRun> runs;
    fetchStyledLine(line, bytes, runs);
    QString out;
    const char *p = bytes.constData();
    const qsizetype n = bytes.size();
    qsizetype cells = 0;
    for (qsizetype i = 0; i < n;) {
        const Gbk::Unit u = Gbk::unitAt(p + i, n - i);
        const int w = Gbk::unitCells(u, cells);
        Gbk::appendDisplay(out, p + i, u, w);
        cells += w;
        i += u.length;
    }
    return out;
}

QPixmap LogView::placeholder(uchar byte, const QColor &color) const
{
    const quint64 key = (quint64(color.rgba()) << 8) | byte;
    auto it = m_placeholders.constFind(key);
    if (it != m_placeholders.constEnd())
        return *it;
    const qreal dpr = viewport()->devicePixelRatioF();
    const QSizeF size(m_cellWidth, m_lineHeight);
    QPixmap pm((size * dpr).toSize());
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QRectF cell(QPointF(0, 0), size);
    if (m_hasControlPictures) {
        p.setFont(font());
        p.setPen(color);
        p.drawText(QPointF(0, m_ascent), QString(QChar(Gbk::controlPicture(byte))));
    } else {
        // A small box with the byte's two hex digits stacked.
        QColor frame = color;
        frame.setAlphaF(0.55f);
        p.setPen(QPen(frame, 0));
        const QRectF box = cell.adjusted(0.5, 1.5, -0.5, -1.5);
        p.drawRect(box);
        p.setFont(m_tinyFont);
        p.setPen(color);
        static const char hex[] = "0123456789ABCDEF";
        const QRectF top(box.left(), box.top(), box.width(), box.height() / 2);
        const QRectF bottom(box.left(), box.center().y(), box.width(), box.height() / 2);
        p.drawText(top, Qt::AlignCenter, QString(QLatin1Char(hex[byte >> 4])));
        p.drawText(bottom, Qt::AlignCenter, QString(QLatin1Char(hex[byte & 15])));
    }
    p.end();
    if (m_placeholders.size() > 512)
        m_placeholders.clear();
    m_placeholders.insert(key, pm);
    return pm;
}

quint32 LogView::glyphFor(char16_t c, bool bold) const
{
    std::vector<quint32> &cache = m_glyphCache[bold ? 1 : 0];
    if (cache.empty())
        cache.assign(0x10000, 0);
    quint32 v = cache[c];
    if (v != 0)
        return v;
    v = kNoGlyph;
    const std::vector<QRawFont> &fonts = m_rawFonts[bold ? 1 : 0];
    for (size_t k = 0; k < fonts.size(); ++k) {
        if (!fonts[k].isValid() || !fonts[k].supportsCharacter(QChar(c)))
            continue;
        const QList<quint32> glyphs = fonts[k].glyphIndexesForString(QString(QChar(c)));
        if (glyphs.size() == 1 && glyphs[0] != 0 && glyphs[0] < (1u << 24)) {
            v = quint32(k + 1) << 24 | glyphs[0];
            break;
        }
    }
    cache[c] = v;
    return v;
}

void LogView::paintEvent(QPaintEvent *event)
{
    QElapsedTimer timer;
    timer.start();
    QPainter painter(viewport());
    if (!m_log)
        return;
    if (!m_index.isExact()) {
        // Scrolled to rows that are still estimates: settle them first; the
        // scroll bar follows with the next refresh.
        refineVisible(topRow());
        m_barDirty = true;
        if (!m_refreshTimer.isActive())
            m_refreshTimer.start(kRepaintInterval, this);
    }
    const QRect clip = event->rect();
    const qsizetype first = firstVisibleRow();
    const qsizetype total = m_index.rowCount();
    const int rowFrom = std::max(0, clip.top() / m_lineHeight);
    const int rowTo = std::max(rowFrom, clip.bottom() / m_lineHeight);
    if (first + rowFrom >= total)
        return;

    const QPalette &pal = palette();
    const QColor plainColor = pal.color(QPalette::Text);
    const QColor selBack = pal.color(QPalette::Highlight);
    const QColor selText = pal.color(QPalette::HighlightedText);
    const qsizetype selA = selectionStart();
    const qsizetype selB = selectionEnd();
    const int columns = m_index.columns();
    const qreal cw = m_cellWidth;

    QByteArray bytes;
    QList<StyledRun> runs;
    std::vector<quint16> styleOf;

    // Glyphs are collected per font and colour and drawn at the end in one
    // call each, after all selection backgrounds.
    for (GlyphGroup &g : m_groups) {
        g.glyphs.clear();
        g.positions.clear();
    }
    auto addGlyph = [&](quint32 ref, bool bold, QRgb color, QPointF pos) {
        const int font = int(ref >> 24) - 1 + (bold ? 0x100 : 0);
        GlyphGroup *group = nullptr;
        for (GlyphGroup &g : m_groups) {
            if (g.font == font && g.color == color) {
                group = &g;
                break;
            }
        }
        if (!group) {
            m_groups.push_back(GlyphGroup{font, color, {}, {}});
            group = &m_groups.back();
        }
        group->glyphs.append(ref & 0xFFFFFF);
        group->positions.append(pos);
    };
    struct Loose
    {
        QPointF pos;
        QString text;
        QColor color;
        bool bold;
    };
    std::vector<Loose> loose; // characters no cached font has: drawn with font fallback
    struct Picture
    {
        QPointF pos;
        uchar byte;
        QColor color;
    };
    std::vector<Picture> pictures;

    // Selection backgrounds, merged along each row.
    QRectF span;
    auto select = [&](const QRectF &r) {
        if (!span.isEmpty() && span.top() == r.top() && qAbs(span.right() - r.left()) < 0.01) {
            span.setRight(r.right());
            return;
        }
        if (!span.isEmpty())
            painter.fillRect(span, selBack);
        span = r;
    };
    auto cellRect = [&](qsizetype screenRow, int col, int cells) {
        return QRectF(kMargin + col * cw, qreal(screenRow * m_lineHeight), cells * cw, m_lineHeight);
    };

    LineIndex::RowPos rp = m_index.rowToLine(first + rowFrom);
    qsizetype line = rp.line;
    qsizetype lineTop = rowFrom - rp.rowInLine; // screen row of the line's first row
    const qsizetype lines = m_index.lineCount();
    while (line < lines && lineTop <= rowTo) {
        const qsizetype start = m_index.lineStart(line);
        fetchStyledLine(line, bytes, runs);
        const char *p = bytes.constData();
        const qsizetype n = bytes.size();
        const bool styled = !runs.isEmpty();
        if (styled) {
            styleOf.assign(size_t(n), 0);
            const qsizetype count = std::min<qsizetype>(runs.size(), 0xFFFF);
            for (qsizetype k = 0; k < count; ++k) {
                const qsizetype a = std::clamp<qsizetype>(runs[k].start, 0, n);
                const qsizetype b = std::clamp<qsizetype>(runs[k].start + runs[k].length, a, n);
                std::fill(styleOf.begin() + a, styleOf.begin() + b, quint16(k + 1));
            }
        }
        qsizetype endRow = 0;
        int endCol = 0;
        bool complete = true;
        layoutLine(p, n, columns, [&](const Piece &pc) {
            const qsizetype screenRow = lineTop + pc.row;
            endRow = pc.row;
            endCol = pc.col + pc.cells;
            if (screenRow < rowFrom)
                return true;
            if (screenRow > rowTo) {
                complete = false;
                return false;
            }
            const QRectF rect = cellRect(screenRow, pc.col, pc.cells);
            const bool selected = start + pc.offset >= selA && start + pc.offset < selB;
            if (selected)
                select(rect);
            const uchar b = uchar(p[pc.offset]);
            if (pc.unit.kind == Gbk::Kind::Tab || b == ' ')
                return true;
            const int style = styled ? styleOf[size_t(pc.offset)] : 0;
            const QColor color = selected ? selText : style == 0 ? plainColor : runs[style - 1].color;
            if (pc.unit.kind == Gbk::Kind::Control) {
                pictures.push_back({rect.topLeft(), b, color});
                return true;
            }
            const bool bold = style != 0 && runs[style - 1].bold;
            const char16_t ch = pc.unit.kind == Gbk::Kind::Double ? Gbk::decodePair(b, uchar(p[pc.offset + 1]))
                                : pc.unit.kind == Gbk::Kind::Text ? Gbk::decodeSingle(b)
                                                                  : u'\uFFFD';
            const qreal x = rect.left() + (pc.unit.kind == Gbk::Kind::Double ? m_wideOffset : 0);
            const QPointF pos(x, rect.top() + m_ascent);
            const quint32 ref = glyphFor(ch, bold);
            if (ref == kNoGlyph)
                loose.push_back({pos, QString(QChar(ch)), color, bold});
            else
                addGlyph(ref, bold, color.rgba(), pos);
            return true;
        });
        // A selected line break shows as one highlighted cell after the text.
        const qsizetype end = start + n;
        const qsizetype screenRow = lineTop + endRow;
        if (complete && m_index.lineBreakLength(line) > 0 && end >= selA && end < selB && endCol < columns
            && screenRow >= rowFrom && screenRow <= rowTo)
            select(cellRect(screenRow, endCol, 1));
        lineTop += m_index.lineRows(line);
        ++line;
    }
    if (!span.isEmpty())
        painter.fillRect(span, selBack);

    for (const Picture &pic : pictures)
        painter.drawPixmap(pic.pos, placeholder(pic.byte, pic.color));
    for (const GlyphGroup &g : m_groups) {
        if (g.glyphs.isEmpty())
            continue;
        QGlyphRun run;
        run.setRawFont(m_rawFonts[g.font >= 0x100 ? 1 : 0][size_t(g.font & 0xFF)]);
        run.setGlyphIndexes(g.glyphs);
        run.setPositions(g.positions);
        painter.setPen(QColor::fromRgba(g.color));
        painter.drawGlyphRun(QPointF(0, 0), run);
    }
    for (const Loose &l : loose) {
        painter.setFont(l.bold ? m_boldFont : font());
        painter.setPen(l.color);
        painter.drawText(l.pos, l.text);
    }
    if (m_groups.size() > 64)
        m_groups.clear();
    m_lastPaintMs = int(timer.elapsed());
}

qsizetype LogView::hitTest(qsizetype row, qreal cellX) const
{
    if (!m_log)
        return 0;
    const LineIndex::RowPos rp = m_index.rowToLine(row);
    const qsizetype start = m_index.lineStart(rp.line);
    fetchLine(rp.line, m_lineBuffer);
    const qsizetype n = m_lineBuffer.size();
    qsizetype found = -1;
    qsizetype rowEnd = rp.rowInLine == 0 ? 0 : -1;
    layoutLine(m_lineBuffer.constData(), n, m_index.columns(), [&](const Piece &pc) {
        if (pc.row < rp.rowInLine)
            return true;
        if (pc.row > rp.rowInLine)
            return false;
        if (cellX < pc.col + pc.cells / 2.0) {
            found = pc.offset;
            return false;
        }
        rowEnd = pc.offset + pc.unit.length;
        return true;
    });
    if (found >= 0)
        return start + found;
    return start + std::max<qsizetype>(0, rowEnd);
}

qsizetype LogView::positionAt(const QPoint &viewportPoint) const
{
    qsizetype row = firstVisibleRow() + qFloor(qreal(viewportPoint.y()) / m_lineHeight);
    row = std::clamp<qsizetype>(row, 0, m_index.rowCount() - 1);
    return hitTest(row, (viewportPoint.x() - kMargin) / m_cellWidth);
}

LogView::RowCell LogView::rowCellOf(qsizetype pos) const
{
    RowCell rc;
    if (!m_log)
        return rc;
    pos = std::clamp<qsizetype>(pos, 0, m_index.indexedSize());
    const qsizetype line = m_index.lineAt(pos);
    const qsizetype start = m_index.lineStart(line);
    fetchLine(line, m_lineBuffer);
    const qsizetype rel = std::min(pos - start, m_lineBuffer.size());
    qsizetype row = 0;
    int col = 0;
    bool found = false;
    layoutLine(m_lineBuffer.constData(), m_lineBuffer.size(), m_index.columns(), [&](const Piece &pc) {
        if (pc.offset >= rel) {
            row = pc.row;
            col = pc.col;
            found = true;
            return false;
        }
        row = pc.row;
        col = pc.col + pc.cells;
        return true;
    });
    Q_UNUSED(found);
    rc.row = m_index.lineFirstRow(line) + row;
    rc.cell = col;
    return rc;
}

qsizetype LogView::rowOfPosition(qsizetype pos) const
{
    return rowCellOf(pos).row;
}

QRect LogView::cursorRectAt(qsizetype pos) const
{
    const RowCell rc = rowCellOf(pos);
    const int y = int((rc.row - firstVisibleRow()) * m_lineHeight);
    return QRect(int(kMargin + rc.cell * m_cellWidth), y, qCeil(m_cellWidth), m_lineHeight);
}

void LogView::setSelection(qsizetype anchor, qsizetype cursor)
{
    const qsizetype size = m_index.indexedSize();
    anchor = std::clamp<qsizetype>(anchor, 0, size);
    cursor = std::clamp<qsizetype>(cursor, 0, size);
    if (anchor == m_anchor && cursor == m_cursor)
        return;
    m_anchor = anchor;
    m_cursor = cursor;
    selectionUpdated();
}

void LogView::selectAll()
{
    setSelection(0, m_index.indexedSize());
}

void LogView::clearSelection()
{
    setSelection(m_cursor, m_cursor);
}

void LogView::selectionUpdated()
{
    viewport()->update();
    emit selectionChanged();
    if (QAccessible::isActive()) {
        QAccessibleTextSelectionEvent ev(this, clampToInt(charOffsetOf(selectionStart())),
                                               clampToInt(charOffsetOf(selectionEnd())));
        ev.setCursorPosition(clampToInt(charOffsetOf(m_cursor)));
        QAccessible::updateAccessibility(&ev);
    }
}

void LogView::moveCursorTo(qsizetype pos, bool extend)
{
    if (extend)
        setSelection(m_anchor, pos);
    else
        setSelection(pos, pos);
}

QString LogView::selectedText() const
{
    return textInRange(selectionStart(), selectionEnd());
}

QString LogView::textInRange(qsizetype from, qsizetype to) const
{
    QString out;
    if (!m_log)
        return out;
    from = std::clamp<qsizetype>(from, 0, m_index.indexedSize());
    to = std::clamp<qsizetype>(to, from, m_index.indexedSize());
    if (from == to)
        return out;
    // One pass, line by line, straight into a buffer of the largest size the
    // text can have (one character per byte at most).
    out.resize(to - from);
    char16_t *const begin = reinterpret_cast<char16_t *>(out.data());
    char16_t *dst = begin;
    QByteArray bytes;
    QList<StyledRun> runs;
    const qsizetype lines = m_index.lineCount();
    for (qsizetype line = m_index.lineAt(from); line < lines; ++line) {
        const qsizetype start = m_index.lineStart(line);
        if (start >= to)
            break;
        fetchStyledLine(line, bytes, runs);
        const qsizetype end = start + bytes.size();
        const qsizetype a = std::max(from, start);
        const qsizetype b = std::min(to, end);
        if (b > a)
            dst += Gbk::decodeInto(dst, bytes.constData() + (a - start), b - a);
        if (m_index.lineBreakLength(line) > 0 && from <= end && to > end)
            *dst++ = u'\n';
    }
    out.resize(dst - begin);
    return out;
}

void LogView::copy()
{
    if (!hasSelection())
        return;
    QGuiApplication::clipboard()->setText(selectedText());
}

void LogView::selectWordAt(qsizetype pos)
{
    if (!m_log)
        return;
    pos = std::clamp<qsizetype>(pos, 0, m_index.indexedSize());
    const qsizetype line = m_index.lineAt(pos);
    const qsizetype start = m_index.lineStart(line);
    fetchLine(line, m_lineBuffer);
    const char *p = m_lineBuffer.constData();
    const qsizetype n = m_lineBuffer.size();
    struct U
    {
        qsizetype offset;
        qsizetype end;
        int cls;
    };
    std::vector<U> units;
    for (qsizetype i = 0; i < n;) {
        const Gbk::Unit u = Gbk::unitAt(p + i, n - i);
        units.push_back({i, i + u.length, wordClass(p + i, u)});
        i += u.length;
    }
    if (units.empty()) {
        setSelection(start, start);
        return;
    }
    const qsizetype rel = pos - start;
    size_t k = 0;
    while (k + 1 < units.size() && units[k].end <= rel)
        ++k;
    size_t a = k, b = k;
    if (units[k].cls != 0) {
        while (a > 0 && units[a - 1].cls == units[k].cls)
            --a;
        while (b + 1 < units.size() && units[b + 1].cls == units[k].cls)
            ++b;
    }
    setSelection(start + units[a].offset, start + units[b].end);
}

void LogView::moveByRows(qsizetype delta, bool extend)
{
    if (!extend) {
        scrollToRow(firstVisibleRow() + delta);
        return;
    }
    const RowCell rc = rowCellOf(m_cursor);
    const qsizetype target = std::clamp<qsizetype>(rc.row + delta, 0, m_index.rowCount() - 1);
    const qsizetype pos = target == rc.row && delta > 0 ? m_index.indexedSize()
                          : target == rc.row && delta < 0 ? 0
                                                          : hitTest(target, rc.cell);
    moveCursorTo(pos, true);
    ensureRowVisible(target);
}

void LogView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const int page = visibleRowCount();
    switch (event->key()) {
    case Qt::Key_Up:
        moveByRows(-1, extend);
        break;
    case Qt::Key_Down:
        moveByRows(1, extend);
        break;
    case Qt::Key_PageUp:
        moveByRows(-page, extend);
        break;
    case Qt::Key_PageDown:
        moveByRows(page, extend);
        break;
    case Qt::Key_Home:
        if (extend)
            moveCursorTo(0, true);
        scrollToRow(0);
        break;
    case Qt::Key_End:
        if (extend)
            moveCursorTo(m_index.indexedSize(), true);
        scrollToEnd();
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void LogView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const qsizetype pos = positionAt(event->position().toPoint());
    moveCursorTo(pos, event->modifiers() & Qt::ShiftModifier);
    m_dragging = true;
    m_dragPoint = event->position().toPoint();
    event->accept();
}

void LogView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    m_dragPoint = event->position().toPoint();
    const int h = viewport()->height();
    if (m_dragPoint.y() < 0 || m_dragPoint.y() >= h) {
        if (!m_autoScroll.isActive())
            m_autoScroll.start(kAutoScrollInterval, this);
    } else {
        m_autoScroll.stop();
    }
    const QPoint inside(m_dragPoint.x(), std::clamp(m_dragPoint.y(), 0, std::max(0, h - 1)));
    moveCursorTo(positionAt(inside), true);
    event->accept();
}

void LogView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        m_autoScroll.stop();
        event->accept();
        return;
    }
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void LogView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    selectWordAt(positionAt(event->position().toPoint()));
    m_dragging = false;
    event->accept();
}

QMenu *LogView::createContextMenu()
{
    auto *menu = new QMenu(this);
    QAction *copyAction = menu->addAction(tr("Copy"), this, &LogView::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    QAction *all = menu->addAction(tr("Select All"), this, &LogView::selectAll);
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(m_index.indexedSize() > 0);
    return menu;
}

void LogView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}

// Character offsets: marks at line starts every kCharMarkSpacing bytes or so
// hold the decoded length of everything before them, so a conversion decodes
// at most the bytes from the nearest mark.
bool LogView::extendCharMarks() const
{
    if (m_charMarks.empty() || m_charMarksGeneration != m_index.generation()
        || m_charMarks.back().byte > m_index.indexedSize()) {
        m_charMarks.assign(1, CharMark());
        m_charMarksGeneration = m_index.generation();
    }
    const CharMark last = m_charMarks.back();
    const qsizetype target = last.byte + kCharMarkSpacing;
    // Only starts of lines that are followed by another line are final.
    const qsizetype closedLines = m_index.lineCount() - 1;
    if (closedLines <= 0)
        return false;
    qsizetype line = m_index.lineAt(target);
    if (line >= closedLines || m_index.lineStart(line) <= last.byte)
        ++line;
    if (line >= closedLines)
        return false;
    const qsizetype next = m_index.lineStart(line);
    if (next <= last.byte)
        return false;
    const QByteArray bytes = m_log->Slice(last.byte, next - last.byte);
    m_charMarks.push_back({next, last.chars + Gbk::decodedLength(bytes.constData(), bytes.size())});
    return true;
}

const LogView::CharMark &LogView::markBeforeByte(qsizetype bytePos) const
{
    extendCharMarks();
    while (m_charMarks.back().byte + kCharMarkSpacing <= bytePos && extendCharMarks()) {
    }
    auto it = std::upper_bound(m_charMarks.begin(), m_charMarks.end(), bytePos,
                               [](qsizetype v, const CharMark &m) { return v < m.byte; });
    return *(it - 1);
}

qsizetype LogView::charOffsetOf(qsizetype bytePos) const
{
    if (!m_log)
        return 0;
    bytePos = std::clamp<qsizetype>(bytePos, 0, m_index.indexedSize());
    const CharMark m = markBeforeByte(bytePos);
    const QByteArray bytes = m_log->Slice(m.byte, bytePos - m.byte);
    return m.chars + Gbk::decodedLength(bytes.constData(), bytes.size());
}

qsizetype LogView::byteOffsetOf(qsizetype charOffset) const
{
    if (!m_log || charOffset <= 0)
        return 0;
    extendCharMarks();
    while (m_charMarks.back().chars <= charOffset && extendCharMarks()) {
    }
    auto it = std::upper_bound(m_charMarks.begin(), m_charMarks.end(), charOffset,
                               [](qsizetype v, const CharMark &m) { return v < m.chars; });
    const size_t k = size_t(it - m_charMarks.begin()) - 1;
    const CharMark m = m_charMarks[k];
    const qsizetype end = k + 1 < m_charMarks.size() ? m_charMarks[k + 1].byte : m_index.indexedSize();
    const QByteArray bytes = m_log->Slice(m.byte, end - m.byte);
    return m.byte + Gbk::bytesForLength(bytes.constData(), bytes.size(), charOffset - m.chars);
}

qsizetype LogView::characterCount() const
{
    return charOffsetOf(m_index.indexedSize());
}

QString LogView::rawText(qsizetype from, qsizetype to) const
{
    if (!m_log)
        return QString();
    from = std::clamp<qsizetype>(from, 0, m_index.indexedSize());
    to = std::clamp<qsizetype>(to, from, m_index.indexedSize());
    const QByteArray bytes = m_log->Slice(from, to - from);
    return Gbk::decode(bytes.constData(), bytes.size());
}
