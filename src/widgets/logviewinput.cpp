#include "widgets/logview.h"

#include "widgets/findbar.h"
#include "widgets/hexview.h"

#include "session/sessionlog.h"
#include "text/gbk.h"
#include "widgets/logviewlayout.h"

#include <QAccessible>
#include <QActionGroup>
#include <QGuiApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

// The view's hit tests, selection, copying, keyboard and mouse, and its
// context menu.

using LogViewLayout::clampToInt;
using LogViewLayout::kMargin;
using LogViewLayout::layoutLine;
using LogViewLayout::Piece;

namespace {

constexpr int kAutoScrollInterval = 40; // ms between auto-scroll steps

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

} // namespace

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
    layoutLine(m_lineBuffer.constData(), n, m_index.columns(), m_index.tabWidth(), [&](const Piece &pc) {
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
    layoutLine(m_lineBuffer.constData(), m_lineBuffer.size(), m_index.columns(), m_index.tabWidth(), [&](const Piece &pc) {
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
    syncHexSelection();
    emit selectionChanged();
    if (QAccessible::isActive()) {
        QAccessibleTextSelectionEvent ev(this, clampToInt(accessibleOffsetOf(selectionStart())),
                                               clampToInt(accessibleOffsetOf(selectionEnd())));
        ev.setCursorPosition(clampToInt(accessibleOffsetOf(m_cursor)));
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

void LogView::copy()
{
    if (!hasSelection())
        return;
    if (showsHex())
        return m_hex->copy();
    bool complete = true;
    const QString text = textInRange(selectionStart(), selectionEnd(), &complete);
    // Not a part of it as if it were the whole.
    if (complete)
        QGuiApplication::clipboard()->setText(text);
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
    refineAround(m_cursor);
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
    // Ctrl+plus however it is typed: Ctrl+= (the same key without Shift on
    // most layouts), and Ctrl+Shift+= (which arrives as Ctrl+Shift+plus).
    if (event->matches(QKeySequence::ZoomIn)
        || ((event->key() == Qt::Key_Equal || event->key() == Qt::Key_Plus)
            && (event->modifiers() & Qt::ControlModifier))) {
        zoomIn();
        return;
    }
    if (event->matches(QKeySequence::ZoomOut)) {
        zoomOut();
        return;
    }
    if (event->key() == Qt::Key_0 && (event->modifiers() & Qt::ControlModifier)) {
        resetZoom();
        return;
    }
    if (event->matches(QKeySequence::Find)) {
        openFindBar();
        return;
    }
    if (event->key() == Qt::Key_F3 && m_findBar && m_findBar->isVisible()) {
        if (event->modifiers() & Qt::ShiftModifier)
            m_findBar->findPrevious();
        else
            m_findBar->findNext();
        return;
    }
    if (event->key() == Qt::Key_Escape && m_findBar && m_findBar->isVisible()) {
        m_findBar->close();
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

void LogView::setZoom(int steps)
{
    if (m_zoom == 0)
        m_unzoomedPointSize = font().pointSizeF();
    if (m_unzoomedPointSize <= 0)
        return; // a font sized in pixels: left as it is
    steps = std::clamp(steps, int(std::ceil(kMinPointSize - m_unzoomedPointSize)), kMaxZoom);
    if (steps == m_zoom)
        return;
    m_zoom = steps;
    QFont f = font();
    f.setPointSizeF(m_unzoomedPointSize + steps);
    setFont(f);
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
    // Always in the menu, greyed until the view shows times.
    QAction *stamped = menu->addAction(tr("Copy with Timestamps"), this, &LogView::copyWithTimestamps);
    stamped->setEnabled(hasSelection() && m_timestamps != Timestamps::Off);
    if (m_timestamps == Timestamps::Off)
        stamped->setToolTip(tr("Turn Timestamps on to copy each line after its time"));
    QAction *all = menu->addAction(tr("Select All"), this, &LogView::selectAll);
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(m_index.indexedSize() > 0);
    menu->addSeparator();
    menu->addAction(tr("Zoom In"), this, &LogView::zoomIn)->setShortcut(QKeySequence::ZoomIn);
    menu->addAction(tr("Zoom Out"), this, &LogView::zoomOut)->setShortcut(QKeySequence::ZoomOut);
    QAction *reset = menu->addAction(tr("Reset Zoom"), this, &LogView::resetZoom);
    reset->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    reset->setEnabled(m_zoom != 0);
    menu->addSeparator();
    QMenu *stamps = menu->addMenu(tr("Timestamps"));
    stamps->setObjectName(QStringLiteral("timestampsMenu"));
    auto *group = new QActionGroup(stamps);
    const std::pair<QString, Timestamps> modes[] = {{tr("Off"), Timestamps::Off},
                                                    {tr("Time of Day"), Timestamps::TimeOfDay},
                                                    {tr("Since Previous Line"), Timestamps::SincePrevious}};
    for (const auto &[label, mode] : modes) {
        QAction *a = stamps->addAction(label, this, [this, mode = mode] { setTimestamps(mode); });
        a->setCheckable(true);
        a->setChecked(m_timestamps == mode);
        group->addAction(a);
    }
    QAction *marks = menu->addAction(tr("Mark Sent Text"), this, &LogView::setMarkTerminalText);
    marks->setCheckable(true);
    marks->setChecked(m_markTerminal);
    marks->setToolTip(tr("Show what the terminal sent or added on a tinted background"));
    QAction *hex = menu->addAction(tr("Hex"), this, &LogView::setHexView);
    hex->setCheckable(true);
    hex->setChecked(showsHex());
    hex->setToolTip(tr("Show the log as offsets, hex bytes and text"));
    menu->addAction(tr("Find…"), this, &LogView::openFindBar)->setShortcut(QKeySequence::Find);
    if (!m_contextActions.isEmpty()) {
        menu->addSeparator();
        menu->addActions(m_contextActions);
    }
    return menu;
}

void LogView::openFindBar()
{
    if (!m_findBar)
        m_findBar = new FindBar(this);
    m_findBar->open();
    placeOverlays();
}

void LogView::setMarkTerminalText(bool on)
{
    m_markTerminal = on;
    viewport()->update();
    if (m_hex)
        m_hex->setTerminalBackground(on ? terminalTextBackground() : QColor());
}

QColor LogView::terminalTextBackground() const
{
    // A tint of the selection colour on the base: the keyword colours stay
    // readable on it.
    const QColor base = palette().color(QPalette::Base);
    const QColor tint = palette().color(QPalette::Highlight);
    const auto mix = [](int a, int b) { return (a * 85 + b * 15) / 100; };
    return QColor(mix(base.red(), tint.red()), mix(base.green(), tint.green()), mix(base.blue(), tint.blue()));
}

void LogView::setFindHighlight(const GbkFinder &finder, qsizetype current)
{
    m_findHighlight = finder;
    m_currentMatch = finder.isEmpty() ? -1 : current;
    viewport()->update();
    if (m_hex)
        m_hex->setFindHighlight(m_findHighlight, m_currentMatch);
}

qsizetype LogView::firstVisiblePosition() const
{
    if (showsHex())
        return m_hex->firstVisiblePosition();
    if (m_index.lineCount() == 0)
        return 0;
    return m_index.lineStart(m_index.rowToLine(std::min(m_firstRow, std::max<qsizetype>(0, m_index.rowCount() - 1))).line);
}

void LogView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}
