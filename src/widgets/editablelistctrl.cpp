#include "widgets/editablelistctrl.h"

#include "widgets/inplaceeditors.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

EditableListCtrl::EditableListCtrl(QWidget *parent) : QTableWidget(parent)
{
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Tab leaves the list (and ends an edit) as it leaves any control.
    setTabKeyNavigation(false);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // A click takes the focus only when it lands on a cell (mousePressEvent);
    // Qt would give it before the press is seen, also for a click on no cell.
    setFocusPolicy(Qt::TabFocus);
}

EditableListCtrl::~EditableListCtrl()
{
    InPlaceCombo::DeleteInstance();
    InPlaceEdit::DeleteInstance();
}

int EditableListCtrl::InsertColumn(int index, const QString &heading, Qt::Alignment format, int width, int)
{
    if (index < 0 || index > columnCount())
        return -1;
    insertColumn(index);
    auto *header = new QTableWidgetItem(heading);
    header->setTextAlignment(format | Qt::AlignVCenter);
    setHorizontalHeaderItem(index, header);
    setColumnWidth(index, width);
    return index;
}

void EditableListCtrl::SetReadOnlyColumn(int column, bool add)
{
    if (add && !m_readOnlyColumns.contains(column))
        m_readOnlyColumns.append(column);
    else if (!add)
        m_readOnlyColumns.removeAll(column);
}

void EditableListCtrl::SetComboColumn(int column, bool add)
{
    if (add && !m_comboColumns.contains(column))
        m_comboColumns.append(column);
    else if (!add)
        m_comboColumns.removeAll(column);
}

void EditableListCtrl::AddCellEditor(int row, int column, CellEditorKind kind)
{
    // The first entry of a cell decides, so a cell already entered needs no
    // second one: loading a set again does not grow the table.
    if (m_cellEditorKinds.contains({row, column}))
        return;
    m_cellEditors.push_back({row, column, quint8(kind)});
    m_cellEditorKinds.insert({row, column}, quint8(kind));
}

void EditableListCtrl::SetValidChars(int column, const QString &chars)
{
    if (column >= 0 && column < kMaxEditColumns)
        m_validChars[size_t(column)] = chars;
}

bool EditableListCtrl::HitTestCell(const QPoint &point, int *row, int *column) const
{
    if (!row || !column)
        return false;
    *row = rowAt(point.y());
    *column = 0;
    const int n = columnCount();
    if (*row < 0 || n <= 0)
        return false;
    // The row's rectangle across all columns, right end excluded.
    int total = 0;
    for (int c = 0; c < n; ++c)
        total += columnWidth(c);
    const int rowLeft = -horizontalOffset();
    if (point.x() < rowLeft || point.x() >= rowLeft + total)
        return false;
    int left = rowLeft;
    for (int c = 0; c < n; ++c) {
        const int w = columnWidth(c);
        if (left <= point.x() && point.x() <= left + w) {
            *column = c;
            return true;
        }
        left += w;
    }
    return false;
}

void EditableListCtrl::GetCellRect(int column, int row, QRect *rect)
{
    const int top = rowViewportPosition(row);
    const int height = rowHeight(row);
    const QRect client = viewport()->rect();
    const int w = columnWidth(column);
    int offset = 0;
    for (int c = 0; c < column; ++c)
        offset += columnWidth(c);
    const int left = -horizontalOffset() + offset;
    const int right = client.left() + client.width(); // one past the last pixel
    int dx = 0;
    if (left < client.left() || left > right)
        dx = left;
    else if (left + w > right)
        dx = left + w - right;
    // The bar may not go as far as asked (at the end of its range): the
    // rectangle follows the scroll that was actually made.
    QScrollBar *bar = horizontalScrollBar();
    const int before = bar->value();
    m_placingEditor = true;
    bar->setValue(before + dx);
    m_placingEditor = false;
    const int moved = bar->value() - before;
    *rect = QRect(left - moved, top, w, height);
}

InPlaceEdit *EditableListCtrl::ShowInPlaceEdit(int row, int column, const QString &text)
{
    InPlaceEdit *editor = InPlaceEdit::GetInstance();
    QRect rect;
    GetCellRect(column, row, &rect);
    const QString valid = column >= 0 && column < kMaxEditColumns ? m_validChars[size_t(column)] : QString();
    editor->ShowEditCtrl(rect, this, row, column, valid, text);
    return editor;
}

InPlaceCombo *EditableListCtrl::ShowInPlaceCombo(int row, int column, const QStringList &choices, const QString &text,
                                                 int selection)
{
    if (row < 0 || row >= rowCount())
        return nullptr;
    m_placingEditor = true;
    scrollToItem(item(row, column) ? item(row, column) : item(row, 0), QAbstractItemView::EnsureVisible);
    m_placingEditor = false;
    if (column < 0 || column >= columnCount())
        return nullptr;
    if (columnWidth(column) < 10)
        return nullptr;
    QRect rect;
    GetCellRect(column, row, &rect);
    const int h = rect.height();
    const int n = int(choices.size());
    rect.setBottom(rect.bottom() + h * (std::min(n, 10) + 1));
    InPlaceCombo *editor = InPlaceCombo::GetInstance();
    if (!editor->ShowComboCtrl(rect, this, row, column, choices, text, selection))
        return nullptr;
    return editor;
}

EditableListCtrl::CellEditorKind EditableListCtrl::EditorKindFor(int row, int column) const
{
    if (column < 0 || column >= kMaxEditColumns)
        return CELL_NO_EDIT;
    if (m_cellMode) {
        if (const auto it = m_cellEditorKinds.constFind({row, column}); it != m_cellEditorKinds.constEnd()) {
            const quint8 kind = it.value();
            return kind == CELL_EDIT || kind == CELL_COMBO ? CellEditorKind(kind) : CELL_NO_EDIT;
        }
        return CELL_NO_EDIT;
    }
    if (IsComboColumn(column))
        return CELL_COMBO;
    if (IsReadOnlyColumn(column))
        return CELL_NO_EDIT;
    return CELL_EDIT;
}

void EditableListCtrl::mousePressEvent(QMouseEvent *event)
{
    int row = -1, column = -1;
    if (!HitTestCell(event->position().toPoint(), &row, &column)) {
        // No cell: the click changes nothing at all.
        event->accept();
        return;
    }
    // Takes the keyboard focus, which ends (and commits) an edit that was
    // open, then selects and focuses the row.
    setFocus(Qt::MouseFocusReason);
    QTableWidget::mousePressEvent(event);
    if (event->button() != Qt::LeftButton || (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)))
        return;
    if (currentRow() != row)
        return;
    const QTableWidgetItem *cell = item(row, column);
    const QString text = cell ? cell->text() : QString();
    switch (EditorKindFor(row, column)) {
    case CELL_EDIT:
        ShowInPlaceEdit(row, column, text);
        break;
    case CELL_COMBO: {
        QStringList choices;
        emit CellGetChoices(column, &choices);
        if (InPlaceCombo *combo = ShowInPlaceCombo(row, column, choices, text, -1)) {
            const int index = combo->findText(text, Qt::MatchStartsWith);
            if (index >= 0)
                combo->setCurrentIndex(index);
        }
        break;
    }
    default:
        break;
    }
}

void EditableListCtrl::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // An editor still open over this list ends with the focus coming back.
        if (InPlaceEdit::OpenInstance(this) || InPlaceCombo::OpenInstance(this))
            setFocus(Qt::OtherFocusReason);
    }
    QTableWidget::keyPressEvent(event);
}

void EditableListCtrl::scrollContentsBy(int dx, int dy)
{
    // Scrolling (the bars, the wheel, the keys) ends an open edit before the
    // cells move, so no editor stays over a cell that has moved away.
    if (!m_placingEditor && (InPlaceEdit::OpenInstance(this) || InPlaceCombo::OpenInstance(this)))
        setFocus(Qt::OtherFocusReason);
    QTableWidget::scrollContentsBy(dx, dy);
}

void EditableListCtrl::EndCellEdit(int row, int column, const QString &text)
{
    QString stored = text;
    stored.remove(QLatin1Char('\r'));
    stored.remove(QLatin1Char('\n'));
    if (row >= 0 && row < rowCount() && column >= 0 && column < columnCount()) {
        if (QTableWidgetItem *cell = item(row, column))
            cell->setText(stored);
        else
            setItem(row, column, new QTableWidgetItem(stored));
    }
    emit CellEdited(row, column, stored);
    emit CellEditEnd();
}

void EditableListCtrl::EditorDoubleClicked(int row, int column)
{
    emit cellDoubleClicked(row, column);
}
