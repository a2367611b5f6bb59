#include "widgets/hexview.h"

#include "session/sessionlog.h"
#include "text/gbk.h"
#include "widgets/logviewaccessible.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <limits>

namespace {

// How far back a row's first byte is looked at to learn whether it is the
// second byte of a character: to the last byte that is a whole character in
// any text. Binary data has such bytes every few bytes; a run longer than this
// without one is read from the window's start.
constexpr qsizetype kLookBack = 4096;
const QColor kMatchBack(255, 236, 130);
const QColor kCurrentBack(255, 170, 70);

QChar HexDigit(int v) { return QLatin1Char("0123456789ABCDEF"[v & 15]); }

} // namespace

HexView::HexView(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    InstallLogViewAccessibility();
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    setToolTip(tr("The log in hex: select with the mouse, Ctrl+C copies the rows"));
    updateMetrics();
}

void HexView::setLog(const SessionLog *log)
{
    m_log = log;
    m_size = -1;
    logChanged(false);
}

qsizetype HexView::rowCount() const
{
    return std::max<qsizetype>(1, (m_size + m_bytesPerRow - 1) / m_bytesPerRow);
}

int HexView::visibleRowCount() const { return std::max(1, viewport()->height() / m_lineHeight); }

qsizetype HexView::maxFirstRow() const { return std::max<qsizetype>(0, rowCount() - visibleRowCount()); }

int HexView::offsetDigits() const
{
    int digits = 8;
    while (digits < 16 && (quint64(std::max<qsizetype>(m_size, 1) - 1) >> (4 * digits)) != 0)
        ++digits;
    return digits;
}

int HexView::hexColumn(int i) const { return offsetDigits() + 2 + 3 * i + (i >= 8 ? 1 : 0); }

int HexView::rowLength() const { return textColumn() + m_bytesPerRow; }

qreal HexView::rowWidth(int bytes) const
{
    // The row's text column begins two cells after the last byte's digits.
    return (hexColumn(bytes - 1) + 4 + bytes + 1) * m_cellWidth;
}

void HexView::updateBytesPerRow()
{
    // Until the viewport has its size, its width says nothing.
    if (!m_laidOut)
        return;
    const int bytes = std::ceil(rowWidth(kBytesPerRow)) <= viewport()->width() ? kBytesPerRow : kNarrowBytesPerRow;
    if (bytes == m_bytesPerRow)
        return;
    const bool atEnd = m_firstRow >= maxFirstRow();
    const qsizetype first = m_firstRow * m_bytesPerRow;
    m_bytesPerRow = bytes;
    m_firstRow = atEnd ? maxFirstRow() : first / bytes;
    viewport()->update();
}

void HexView::logChanged(bool scrollToEnd)
{
    const qsizetype size = m_log ? m_log->size() : 0;
    const bool atEnd = m_firstRow >= maxFirstRow();
    if (size < m_size || m_size < 0) { // cleared, or a new log
        m_anchor = m_cursor = 0;
        m_firstRow = 0;
    }
    const qsizetype before = m_size;
    m_size = size;
    updateBytesPerRow(); // longer offsets past 4 GB
    if (before != size || scrollToEnd) {
        if (scrollToEnd || (atEnd && before >= 0))
            m_firstRow = maxFirstRow();
        m_anchor = std::min(m_anchor, m_size);
        m_cursor = std::min(m_cursor, m_size);
        syncScrollBar();
        viewport()->update();
    }
}

void HexView::updateMetrics()
{
    const QFontMetricsF metrics(font());
    m_cellWidth = metrics.horizontalAdvance(QLatin1Char('0'));
    m_lineHeight = std::max(1, int(std::ceil(metrics.height())));
    m_ascent = int(std::ceil(metrics.ascent()));
}

void HexView::syncScrollBar()
{
    m_syncingBar = true;
    const qsizetype maxRow = maxFirstRow();
    m_barScale = 1 + maxRow / (std::numeric_limits<int>::max() / 2);
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, int(maxRow / m_barScale));
    bar->setPageStep(std::max(1, int(visibleRowCount() / m_barScale)));
    bar->setSingleStep(1);
    m_firstRow = std::clamp<qsizetype>(m_firstRow, 0, maxRow);
    bar->setValue(int(m_firstRow / m_barScale));
    QScrollBar *h = horizontalScrollBar();
    const int width = int(std::ceil(rowWidth(m_bytesPerRow)));
    h->setRange(0, std::max(0, width - viewport()->width()));
    h->setPageStep(viewport()->width());
    m_syncingBar = false;
}

void HexView::scrollContentsBy(int, int)
{
    if (m_syncingBar)
        return;
    const qsizetype value = qsizetype(verticalScrollBar()->value()) * m_barScale;
    m_firstRow = verticalScrollBar()->value() == verticalScrollBar()->maximum() ? maxFirstRow() : value;
    viewport()->update();
}

void HexView::scrollToRow(qsizetype row)
{
    m_firstRow = std::clamp<qsizetype>(row, 0, maxFirstRow());
    syncScrollBar();
    viewport()->update();
}

void HexView::ensurePositionVisible(qsizetype pos)
{
    const qsizetype row = pos / m_bytesPerRow;
    if (row < m_firstRow)
        scrollToRow(row);
    else if (row >= m_firstRow + visibleRowCount())
        scrollToRow(row - visibleRowCount() + 1);
}

HexView::Decoded HexView::decode(qsizetype from, qsizetype to) const
{
    Decoded out;
    if (!m_log || from >= to)
        return out;
    // Start at a position known to begin a character.
    const qsizetype back = std::min(from, kLookBack);
    bool whole = true;
    const QByteArray before = m_log->Slice(from - back, back, &whole);
    // Bytes before it that cannot be read back: from starts one as far as
    // can be told.
    qsizetype start = whole ? from - back : from;
    for (qsizetype i = whole ? before.size() - 1 : -1; i >= 0; --i) {
        if (GbkFinder::isBoundary(uchar(before[i]))) {
            start = from - back + i + 1;
            break;
        }
    }
    // One byte more than asked: the trail of a character that begins last.
    const QByteArray bytes = m_log->Slice(start, to + 1 - start);
    out.bytes = bytes.mid(from - start, to - from);
    out.complete = out.bytes.size() == to - from;
    out.cells.reserve(to - from);
    const char *p = bytes.constData();
    qsizetype i = 0;
    while (i < bytes.size() && start + i < to) {
        const Gbk::Unit u = Gbk::unitAt(p + i, bytes.size() - i);
        QString cell;
        const uchar b = uchar(p[i]);
        if (u.kind == Gbk::Kind::Double) {
            const char16_t c = Gbk::decodePair(b, uchar(p[i + 1]));
            cell = c == u'\uFFFD' ? QStringLiteral(".") : QString(QChar(c));
        } else if (u.kind == Gbk::Kind::Text) {
            cell = QChar(Gbk::decodeSingle(b));
        } else {
            cell = QStringLiteral(".");
        }
        for (int k = 0; k < u.length; ++k, ++i) {
            if (start + i >= from && start + i < to)
                out.cells.append(k == 0 ? cell : QString());
        }
    }
    return out;
}

QString HexView::rowText(qsizetype row) const
{
    if (row < 0 || row * m_bytesPerRow >= std::max<qsizetype>(m_size, 1))
        return QString();
    const qsizetype from = row * m_bytesPerRow;
    const qsizetype to = std::min(m_size, from + m_bytesPerRow);
    return formatRow(decode(from, to), from, from, to, from);
}

QString HexView::dumpText(qsizetype from, qsizetype to, bool *complete) const
{
    if (complete)
        *complete = true;
    from = std::clamp<qsizetype>(from, 0, m_size);
    to = std::clamp<qsizetype>(to, from, m_size);
    QString out;
    if (from == to && m_size > 0)
        return out;
    const Decoded d = decode(from, to);
    if (complete)
        *complete = d.complete;
    const qsizetype end = std::max<qsizetype>(to, 1);
    for (qsizetype base = from / m_bytesPerRow * m_bytesPerRow; base < end; base += m_bytesPerRow) {
        out += formatRow(d, from, from, to, base);
        out += u'\n';
    }
    return out;
}

QString HexView::formatRow(const Decoded &d, qsizetype dataFrom, qsizetype from, qsizetype to, qsizetype base) const
{
    const int digits = offsetDigits();
    QString line(rowLength(), u' ');
    for (int k = 0; k < digits; ++k)
        line[k] = HexDigit(int(quint64(base) >> (4 * (digits - 1 - k))));
    QString cells;
    for (int i = 0; i < m_bytesPerRow; ++i) {
        const qsizetype pos = base + i;
        if (pos < from || pos >= to || pos - dataFrom >= d.bytes.size()) {
            cells += u' ';
            continue;
        }
        const uchar b = uchar(d.bytes[pos - dataFrom]);
        line[hexColumn(i)] = HexDigit(b >> 4);
        line[hexColumn(i) + 1] = HexDigit(b);
        // The second byte of a character adds nothing where its character
        // stands on this row; a blank where that is the row before (it shows
        // past that row's end) or outside the range.
        const QString &cell = d.cells[pos - dataFrom];
        cells += cell.isEmpty() && (i == 0 || pos == from) ? QStringLiteral(" ") : cell;
    }
    line.replace(textColumn(), m_bytesPerRow, cells.leftJustified(m_bytesPerRow, u' ').left(m_bytesPerRow));
    return line;
}

void HexView::setSelection(qsizetype anchor, qsizetype cursor)
{
    anchor = std::clamp<qsizetype>(anchor, 0, m_size);
    cursor = std::clamp<qsizetype>(cursor, 0, m_size);
    if (anchor == m_anchor && cursor == m_cursor)
        return;
    m_anchor = anchor;
    m_cursor = cursor;
    viewport()->update();
    emit selectionChanged();
}

void HexView::selectAll() { setSelection(0, m_size); }

void HexView::copy()
{
    if (!hasSelection())
        return;
    bool complete = true;
    const QString text = dumpText(selectionStart(), selectionEnd(), &complete);
    // Not a part of it as if it were the whole.
    if (complete)
        QApplication::clipboard()->setText(text);
}

void HexView::setFindHighlight(const GbkFinder &finder, qsizetype current)
{
    m_finder = finder;
    m_currentMatch = current;
    viewport()->update();
}

void HexView::setTerminalBackground(const QColor &color)
{
    m_terminalBackground = color;
    viewport()->update();
}

qsizetype HexView::positionAt(const QPoint &point) const
{
    const qsizetype row = m_firstRow + std::max(0, point.y()) / m_lineHeight;
    const qreal x = point.x() + horizontalScrollBar()->value();
    const int cell = int(x / m_cellWidth);
    int i;
    if (cell >= textColumn() - 1) {
        i = std::clamp(int((x - textColumn() * m_cellWidth) / m_cellWidth + 0.5), 0, m_bytesPerRow);
    } else {
        // The byte whose two digits (and the space after them) hold the cell.
        i = 0;
        while (i < m_bytesPerRow && cell > hexColumn(i) + 1)
            ++i;
        if (i < m_bytesPerRow && x >= (hexColumn(i) + 1) * m_cellWidth)
            ++i; // past the middle of the digits: the byte after
    }
    return std::clamp<qsizetype>(row * m_bytesPerRow + i, 0, m_size);
}

QRect HexView::byteRect(qsizetype pos) const
{
    const qsizetype row = pos / m_bytesPerRow - m_firstRow;
    const int i = int(pos % m_bytesPerRow);
    const int left = int(hexColumn(i) * m_cellWidth) - horizontalScrollBar()->value();
    return QRect(left, int(row * m_lineHeight), int(std::ceil(2 * m_cellWidth)), m_lineHeight);
}

QRect HexView::cellRect(qsizetype row, int column) const
{
    const int left = int(column * m_cellWidth) - horizontalScrollBar()->value();
    return QRect(left, int((row - m_firstRow) * m_lineHeight), int(std::ceil(m_cellWidth)), m_lineHeight);
}

qsizetype HexView::charOffsetOf(qsizetype pos) const
{
    pos = std::clamp<qsizetype>(pos, 0, m_size);
    return pos / m_bytesPerRow * (rowLength() + 1) + hexColumn(int(pos % m_bytesPerRow));
}

qsizetype HexView::byteOffsetOf(qsizetype charOffset) const
{
    const qsizetype line = rowLength() + 1;
    charOffset = std::clamp<qsizetype>(charOffset, 0, characterCount());
    const qsizetype row = charOffset / line;
    const int column = int(charOffset % line);
    int i = 0;
    if (column >= textColumn())
        i = std::min(column - textColumn(), m_bytesPerRow);
    else
        while (i + 1 < m_bytesPerRow && column >= hexColumn(i + 1))
            ++i;
    return std::clamp<qsizetype>(row * m_bytesPerRow + i, 0, m_size);
}

QString HexView::text(qsizetype from, qsizetype to) const
{
    const qsizetype line = rowLength() + 1;
    from = std::clamp<qsizetype>(from, 0, characterCount());
    to = std::clamp<qsizetype>(to, from, characterCount());
    QString out;
    for (qsizetype row = from / line; row * line < to; ++row)
        out += rowText(row) + u'\n';
    return out.mid(from % line, to - from);
}

void HexView::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const QPalette pal = palette();
    painter.fillRect(viewport()->rect(), pal.base());
    const qsizetype first = m_firstRow;
    const qsizetype rows = std::min<qsizetype>(visibleRowCount() + 1, rowCount() - first);
    if (rows <= 0)
        return;
    const qsizetype from = first * m_bytesPerRow;
    const qsizetype to = std::min(m_size, (first + rows) * m_bytesPerRow);
    const Decoded d = decode(from, to);

    // Each byte's background: 0 none, 1 sent by the terminal, 2 a match,
    // 3 the current match, 4 selected.
    QByteArray kind(to - from, 0);
    if (m_terminalBackground.isValid() && m_log) {
        for (const SessionLog::Range &r : m_log->TerminalRanges(from, to))
            std::fill(kind.begin() + (r.from - from), kind.begin() + (r.to - from), char(1));
    }
    if (!m_finder.isEmpty() && m_log) {
        // Matches that begin up to a pattern's length before the screen.
        const qsizetype lead = std::min<qsizetype>(from, m_finder.length() - 1 + kLookBack);
        const QByteArray window = m_log->Slice(from - lead, to - from + lead);
        qsizetype start = 0;
        for (qsizetype i = std::min(lead, window.size()) - 1; i >= 0; --i)
            if (GbkFinder::isBoundary(uchar(window[i]))) {
                start = i + 1;
                break;
            }
        const QByteArray data = window.mid(start);
        const qsizetype base = from - lead + start;
        m_finder.forEach(data.constData(), data.size(), data.size(), [&](qsizetype at) {
            const qsizetype a = std::max(base + at, from), b = std::min(base + at + m_finder.length(), to);
            const char k = base + at == m_currentMatch ? 3 : 2;
            for (qsizetype p = a; p < b; ++p)
                kind[p - from] = std::max(kind[p - from], k);
            return true;
        });
    }
    for (qsizetype p = std::max(from, selectionStart()); p < std::min(to, selectionEnd()); ++p)
        kind[p - from] = 4;
    const QColor backs[] = { QColor(), m_terminalBackground, kMatchBack, kCurrentBack, pal.highlight().color() };

    const int scrollX = horizontalScrollBar()->value();
    const int textX = int(textColumn() * m_cellWidth) - scrollX;
    QRegion selected;
    for (qsizetype r = 0; r < rows; ++r) {
        const int y = int(r * m_lineHeight);
        const qsizetype base = (first + r) * m_bytesPerRow;
        for (int i = 0; i < m_bytesPerRow && base + i < to; ++i) {
            const char k = kind[base + i - from];
            if (k == 0)
                continue;
            // Hex digits, and the gap after them when the next byte looks the same.
            const bool joined = i + 1 < m_bytesPerRow && base + i + 1 < to && kind[base + i + 1 - from] == k;
            const int left = int(hexColumn(i) * m_cellWidth) - scrollX;
            const int right = int((joined ? hexColumn(i + 1) : hexColumn(i) + 2) * m_cellWidth) - scrollX;
            const QRect hex(left, y, right - left, m_lineHeight);
            const QRect text(textX + int(i * m_cellWidth), y, int(std::ceil(m_cellWidth)), m_lineHeight);
            painter.fillRect(hex, backs[int(k)]);
            painter.fillRect(text, backs[int(k)]);
            if (k == 4)
                selected += QRegion(hex) + text;
        }
    }
    // The text: plain where not selected, in the selection's colour where it is.
    const auto drawRows = [&](const QColor &color, const QColor &offsetColor) {
        for (qsizetype r = 0; r < rows; ++r) {
            const int baseline = int(r * m_lineHeight) + m_ascent;
            const qsizetype base = (first + r) * m_bytesPerRow;
            const QString line = formatRow(d, from, from, to, base);
            const int digits = offsetDigits();
            painter.setPen(offsetColor);
            painter.drawText(QPointF(-scrollX, baseline), line.left(digits));
            painter.setPen(color);
            painter.drawText(QPointF(digits * m_cellWidth - scrollX, baseline), line.mid(digits, textColumn() - digits));
            // Each text cell at its own place: a wide character covers two.
            for (int i = 0; i < m_bytesPerRow && base + i - from < d.cells.size(); ++i) {
                const QString &cell = d.cells[base + i - from];
                if (!cell.isEmpty())
                    painter.drawText(QPointF(textX + i * m_cellWidth, baseline), cell);
            }
        }
    };
    painter.save();
    painter.setClipRegion(QRegion(viewport()->rect()) - selected);
    drawRows(pal.text().color(), pal.placeholderText().color());
    painter.restore();
    if (!selected.isEmpty()) {
        painter.setClipRegion(selected);
        drawRows(pal.highlightedText().color(), pal.highlightedText().color());
    }
}

void HexView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_laidOut = true;
    updateBytesPerRow();
    syncScrollBar();
}

void HexView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        updateBytesPerRow();
        syncScrollBar();
        viewport()->update();
    }
}

void HexView::setCursorPos(qsizetype pos, bool extend)
{
    setSelection(extend ? m_anchor : pos, pos);
}

void HexView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Up:
        scrollToRow(m_firstRow - 1);
        return;
    case Qt::Key_Down:
        scrollToRow(m_firstRow + 1);
        return;
    case Qt::Key_PageUp:
        scrollToRow(m_firstRow - visibleRowCount());
        return;
    case Qt::Key_PageDown:
        scrollToRow(m_firstRow + visibleRowCount());
        return;
    case Qt::Key_Home:
        scrollToRow(0);
        return;
    case Qt::Key_End:
        scrollToRow(maxFirstRow());
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void HexView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    setCursorPos(positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void HexView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint p = event->position().toPoint();
    // Dragged past the top or the bottom: a row further each move.
    if (p.y() < 0)
        scrollToRow(m_firstRow - 1);
    else if (p.y() >= viewport()->height())
        scrollToRow(m_firstRow + 1);
    setCursorPos(positionAt(QPoint(p.x(), std::clamp(p.y(), 0, viewport()->height() - 1))), true);
}

void HexView::contextMenuEvent(QContextMenuEvent *event) { emit contextMenuWanted(event->globalPos()); }
