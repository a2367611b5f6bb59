#include "widgets/logview.h"

#include "session/sessionlog.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QIODevice>
#include <QPainter>
#include <QPaintEvent>

// Timestamps: the gutter left of the text and the copy with times.

namespace {

constexpr int kTimeOfDayCells = 13;    // "hh:mm:ss.mmm" and a cell of space
constexpr int kSincePreviousCells = 9; // "+12.345" and room to grow
constexpr int kGutterMargin = 2;

} // namespace

// Paints the times of the lines whose first row is on screen, in the
// view's font, beside the view's viewport.
class LogViewGutter : public QWidget
{
public:
    explicit LogViewGutter(LogView *view)
        : QWidget(view)
        , m_view(view)
    {
        setObjectName(QStringLiteral("timestampGutter"));
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const QPalette &pal = m_view->palette();
        p.fillRect(rect(), pal.color(QPalette::AlternateBase));
        p.setFont(m_view->font());
        p.setPen(pal.color(QPalette::PlaceholderText));
        const LineIndex &index = m_view->m_index;
        const qsizetype first = m_view->firstVisibleRow();
        const int rows = m_view->visibleRowCount() + 1;
        const int h = m_view->m_lineHeight;
        for (int r = 0; r < rows && first + r < index.rowCount(); ++r) {
            const LineIndex::RowPos rp = index.rowToLine(first + r);
            if (rp.rowInLine != 0)
                continue;
            const QString text = m_view->timestampText(rp.line);
            if (!text.isEmpty())
                p.drawText(QRect(0, r * h, width() - int(m_view->m_cellWidth), h), Qt::AlignRight | Qt::AlignVCenter,
                           text);
        }
    }

private:
    LogView *m_view;
};

void LogView::setTimestamps(Timestamps mode)
{
    m_timestamps = mode;
    if (mode == Timestamps::Off) {
        delete m_gutter;
        m_gutter = nullptr;
    } else if (!m_gutter) {
        m_gutter = new LogViewGutter(this);
        m_gutter->show();
    }
    placeOverlays();
}

// As wide as a time at the view's font.
int LogView::gutterWidth() const
{
    if (m_timestamps == Timestamps::Off)
        return 0;
    const int cells = m_timestamps == Timestamps::TimeOfDay ? kTimeOfDayCells : kSincePreviousCells;
    return int(cells * m_cellWidth) + kGutterMargin;
}

QString LogView::timestampText(qsizetype line, Timestamps mode) const
{
    if (!m_log || line < 0 || line >= m_index.lineCount() || mode == Timestamps::Off)
        return QString();
    const qint64 ms = m_log->TimeAt(m_index.lineStart(line));
    if (ms < 0)
        return QString();
    if (mode == Timestamps::TimeOfDay)
        return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("hh:mm:ss.zzz"));
    const qint64 before = line > 0 ? m_log->TimeAt(m_index.lineStart(line - 1)) : ms;
    const qint64 delta = std::max<qint64>(0, ms - std::max<qint64>(before, 0));
    return QStringLiteral("+%1.%2").arg(delta / 1000).arg(delta % 1000, 3, 10, QLatin1Char('0'));
}

QString LogView::selectedTextWithTimestamps(bool *complete) const
{
    if (complete)
        *complete = true;
    QString out;
    const qsizetype from = selectionStart();
    const qsizetype to = std::min(selectionEnd(), m_index.indexedSize());
    if (!m_log || from >= to)
        return out;
    for (qsizetype line = m_index.lineAt(from); line < m_index.lineCount(); ++line) {
        const qsizetype start = m_index.lineStart(line);
        if (start >= to)
            break;
        const qsizetype end = start + m_index.lineLength(line) + m_index.lineBreakLength(line);
        QString stamp = timestampText(line);
        if (stamp.isEmpty() && m_timestamps != Timestamps::Off)
            stamp = QStringLiteral("-");
        bool read = true;
        out += (stamp.isEmpty() ? QString() : stamp + u' ') + textInRange(std::max(start, from), std::min(end, to), &read);
        if (!(read && m_index.lineKnown(line)) && complete)
            *complete = false;
    }
    return out;
}

bool LogView::writeWithTimestamps(QIODevice &out, Timestamps mode) const
{
    if (!m_log)
        return true;
    // Line by line, so that a long log is never copied whole.
    QByteArray line;
    for (qsizetype i = 0; i < m_index.lineCount(); ++i) {
        const qsizetype start = m_index.lineStart(i);
        const qsizetype length = m_index.lineLength(i) + m_index.lineBreakLength(i);
        if (length == 0 && start >= m_log->size())
            break; // the empty line after the last break
        // A line that cannot be read back ends the save, which fails.
        bool read = m_index.lineKnown(i);
        const QByteArray bytes = read ? m_log->Slice(start, length, &read) : QByteArray();
        if (!read)
            return false;
        const QString stamp = timestampText(i, mode);
        line = (stamp.isEmpty() ? QByteArrayLiteral("-") : stamp.toLatin1()) + ' ' + bytes;
        if (out.write(line) != line.size())
            return false;
    }
    return true;
}

void LogView::copyWithTimestamps()
{
    if (!hasSelection())
        return;
    bool complete = true;
    const QString text = selectedTextWithTimestamps(&complete);
    if (complete)
        QGuiApplication::clipboard()->setText(text);
}

qsizetype LogView::accessibleLineStart(qsizetype line) const
{
    line = std::clamp<qsizetype>(line, 0, m_index.lineCount() - 1);
    return charOffsetOf(m_index.lineStart(line)) + accessibleStampWidth() * line;
}

qsizetype LogView::accessibleLength() const
{
    return characterCount() + accessibleStampWidth() * m_index.lineCount();
}

qsizetype LogView::accessibleOffsetOf(qsizetype bytePos) const
{
    const int field = accessibleStampWidth();
    if (field == 0)
        return charOffsetOf(bytePos);
    bytePos = std::clamp<qsizetype>(bytePos, 0, m_index.indexedSize());
    return charOffsetOf(bytePos) + field * (m_index.lineAt(bytePos) + 1);
}

namespace {

// The last line whose field begins at or before offset.
template<class Start> qsizetype LineAtOffset(qsizetype lines, qsizetype offset, Start start)
{
    qsizetype lo = 0, hi = lines - 1;
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo + 1) / 2;
        if (start(mid) <= offset)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

} // namespace

qsizetype LogView::byteOfAccessibleOffset(qsizetype offset) const
{
    const int field = accessibleStampWidth();
    if (field == 0)
        return byteOffsetOf(offset);
    const qsizetype line = LineAtOffset(m_index.lineCount(), offset,
                                        [this](qsizetype l) { return accessibleLineStart(l); });
    const qsizetype chars = offset - field * (line + 1);
    const qsizetype lineStart = m_index.lineStart(line);
    // In the time field: the line's first byte.
    return chars <= charOffsetOf(lineStart) ? lineStart : byteOffsetOf(chars);
}

QString LogView::accessibleText(qsizetype from, qsizetype to) const
{
    const int field = accessibleStampWidth();
    to = std::min(to, accessibleLength());
    if (to <= from)
        return QString();
    if (field == 0)
        return shownText(byteOffsetOf(from), byteOffsetOf(to));
    qsizetype line = LineAtOffset(m_index.lineCount(), from, [this](qsizetype l) { return accessibleLineStart(l); });
    const qsizetype base = accessibleLineStart(line);
    QString out;
    for (; line < m_index.lineCount() && base + out.size() < to; ++line) {
        const qsizetype start = m_index.lineStart(line);
        out += timestampText(line).rightJustified(field - 1, u' ', true) + u' ';
        out += shownText(start, start + m_index.lineLength(line) + m_index.lineBreakLength(line));
    }
    return out.mid(from - base, to - from);
}
