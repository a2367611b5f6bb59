#include "widgets/logviewaccessible.h"

#include "session/sessionlog.h"
#include "widgets/hexview.h"
#include "widgets/logview.h"
#include "widgets/logviewlayout.h"

#include <QAccessible>
#include <QAccessibleWidget>

using LogViewLayout::clampToInt;

namespace {

constexpr qsizetype kAccessibleValueLimit = 1 << 20; // bytes of log given as the accessible value

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

using Helper = QString (QAccessibleTextInterface::*)(int, QAccessible::TextBoundaryType, int *, int *) const;

// Runs a boundary search of QAccessibleTextInterface's default helpers on a
// window of the text that begins at character offset `base`.
QString SearchWindow(const QString &windowText, int base, int offset, QAccessible::TextBoundaryType boundary,
                     int *startOffset, int *endOffset, Helper helper)
{
    WindowText window(windowText);
    const QString result = (window.*helper)(offset - base, boundary, startOffset, endOffset);
    if (*startOffset >= 0)
        *startOffset += base;
    if (*endOffset >= 0)
        *endOffset += base;
    return result;
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
            return size <= kAccessibleValueLimit ? view()->accessibleText(0, view()->accessibleLength()) : QString();
        }
        return QAccessibleWidget::text(t);
    }

    // QAccessibleTextInterface
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !view()->hasSelection())
            return;
        *startOffset = clampToInt(view()->accessibleOffsetOf(view()->selectionStart()));
        *endOffset = clampToInt(view()->accessibleOffsetOf(view()->selectionEnd()));
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
            view()->setSelection(view()->byteOfAccessibleOffset(startOffset), view()->byteOfAccessibleOffset(endOffset));
    }
    int cursorPosition() const override
    {
        return clampToInt(view()->accessibleOffsetOf(view()->selectionCursor()));
    }
    void setCursorPosition(int position) override
    {
        const qsizetype pos = view()->byteOfAccessibleOffset(position);
        view()->setSelection(pos, pos);
    }
    QString text(int startOffset, int endOffset) const override
    {
        if (endOffset <= startOffset)
            return QString();
        return view()->accessibleText(startOffset, endOffset);
    }
    int characterCount() const override { return clampToInt(view()->accessibleLength()); }

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
        const qsizetype pos = v->byteOfAccessibleOffset(offset);
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
        return clampToInt(v->accessibleOffsetOf(v->positionAt(local)));
    }
    void scrollToSubstring(int startIndex, int) override
    {
        LogView *v = view();
        v->ensurePositionVisible(v->byteOfAccessibleOffset(startIndex));
    }
    // Text the terminal added, while it is marked, has the background it is
    // shown on; everything else no attributes. The runs end at line ends.
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        LogView *v = view();
        if (offset < 0 || offset >= characterCount() || !v->log())
            return QString();
        const LineIndex &index = v->lineIndex();
        const qsizetype pos = v->byteOfAccessibleOffset(offset);
        const qsizetype line = index.lineAt(pos);
        const qsizetype lineStart = index.lineStart(line);
        const qsizetype lineEnd = lineStart + index.lineLength(line) + index.lineBreakLength(line);
        const qsizetype textStart = v->accessibleOffsetOf(lineStart);
        const qsizetype nextLine = line + 1 < index.lineCount() ? v->accessibleLineStart(line + 1) : characterCount();
        if (offset < textStart) { // the time field
            *startOffset = clampToInt(v->accessibleLineStart(line));
            *endOffset = clampToInt(textStart);
            return QString();
        }
        qsizetype from = lineStart, to = lineEnd;
        bool marked = false;
        if (v->marksTerminalText()) {
            for (const SessionLog::Range &r : v->log()->TerminalRanges(lineStart, lineEnd)) {
                if (r.to <= pos) {
                    from = r.to;
                } else if (r.from <= pos) {
                    from = r.from;
                    to = r.to;
                    marked = true;
                    break;
                } else {
                    to = r.from;
                    break;
                }
            }
        }
        *startOffset = clampToInt(v->accessibleOffsetOf(from));
        *endOffset = clampToInt(to == lineEnd ? nextLine : v->accessibleOffsetOf(to));
        if (!marked)
            return QString();
        const QColor c = v->terminalTextBackground();
        return QStringLiteral("background-color:rgb(%1,%2,%3);").arg(c.red()).arg(c.green()).arg(c.blue());
    }

private:
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
        const qsizetype line = index.lineAt(v->byteOfAccessibleOffset(offset));
        const qsizetype first = std::max<qsizetype>(0, line - 1);
        const qsizetype from = v->accessibleLineStart(first);
        const qsizetype to = line + 2 < index.lineCount() ? v->accessibleLineStart(line + 2) : v->accessibleLength();
        return SearchWindow(v->accessibleText(from, to), clampToInt(from), offset, boundary, startOffset, endOffset,
                            helper);
    }
};

// The hex dump's text as it is shown: its rows, each ended by a line break.
class HexViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit HexViewAccessible(HexView *view) : QAccessibleWidget(view, QAccessible::EditableText) {}

    HexView *view() const { return static_cast<HexView *>(widget()); }

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
        if (t == QAccessible::Value)
            return view()->characterCount() <= kAccessibleValueLimit ? view()->text(0, view()->characterCount())
                                                                     : QString();
        if (t == QAccessible::Name)
            return QStringLiteral("Hex");
        return QAccessibleWidget::text(t);
    }

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
            view()->setSelection(view()->selectionCursor(), view()->selectionCursor());
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override
    {
        if (selectionIndex == 0)
            view()->setSelection(view()->byteOffsetOf(startOffset), view()->byteOffsetOf(endOffset));
    }
    int cursorPosition() const override { return clampToInt(view()->charOffsetOf(view()->selectionCursor())); }
    void setCursorPosition(int position) override
    {
        const qsizetype pos = view()->byteOffsetOf(position);
        view()->setSelection(pos, pos);
    }
    QString text(int startOffset, int endOffset) const override { return view()->text(startOffset, endOffset); }
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
        HexView *v = view();
        const qsizetype line = v->rowLength() + 1;
        const qsizetype row = offset / line;
        if (row < v->firstVisibleRow() || row > v->firstVisibleRow() + v->visibleRowCount())
            return QRect();
        const QRect r = v->cellRect(row, int(offset % line));
        return QRect(v->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        HexView *v = view();
        const QPoint local = v->viewport()->mapFromGlobal(point);
        if (!v->viewport()->rect().contains(local))
            return -1;
        return clampToInt(v->charOffsetOf(v->positionAt(local)));
    }
    void scrollToSubstring(int startIndex, int) override
    {
        view()->ensurePositionVisible(view()->byteOffsetOf(startIndex));
    }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return QString();
    }

private:
    // The default helpers on the row of the offset and those beside it.
    QString windowed(int offset, QAccessible::TextBoundaryType boundary, int *startOffset, int *endOffset,
                     Helper helper) const
    {
        HexView *v = view();
        if (boundary == QAccessible::NoBoundary) {
            *startOffset = 0;
            *endOffset = characterCount();
            return text(0, *endOffset);
        }
        const qsizetype line = v->rowLength() + 1;
        const qsizetype row = offset / line;
        const qsizetype from = std::max<qsizetype>(0, row - 1) * line;
        const qsizetype to = std::min(v->characterCount(), (row + 2) * line);
        return SearchWindow(v->text(from, to), clampToInt(from), offset, boundary, startOffset, endOffset, helper);
    }
};

QAccessibleInterface *logViewAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("LogView") && object && object->isWidgetType())
        return new LogViewAccessible(static_cast<LogView *>(object));
    if (className == QLatin1String("HexView") && object && object->isWidgetType())
        return new HexViewAccessible(static_cast<HexView *>(object));
    return nullptr;
}

} // namespace

void InstallLogViewAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(logViewAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
