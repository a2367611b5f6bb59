#include "widgets/inplaceeditors.h"

#include "widgets/editablelistctrl.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <limits>

namespace {

InPlaceEdit *s_edit = nullptr;
InPlaceCombo *s_combo = nullptr;

// Gives the focus back to the list, which ends the edit through the focus
// loss; ends it directly when the list cannot take the focus.
template<class Editor>
void ReturnFocus(Editor *editor, EditableListCtrl *list, void (Editor::*end)())
{
    if (list)
        list->setFocus(Qt::OtherFocusReason);
    if (editor->IsOpen())
        (editor->*end)();
}

// Shows an editor widget over a rectangle of the list's viewport.
void PlaceOver(QWidget *editor, EditableListCtrl *list, const QRect &rect)
{
    if (editor->parentWidget() != list->viewport())
        editor->setParent(list->viewport());
    editor->setFont(list->font());
    editor->setGeometry(rect);
}

} // namespace

// ---- InPlaceEdit ----

InPlaceEdit::InPlaceEdit()
{
    setFrame(false);
    // A cell's text of any length is edited whole (QLineEdit cuts at 32767
    // characters by default, and the cut text would be stored).
    setMaxLength(std::numeric_limits<int>::max());
    hide();
    connect(this, &QLineEdit::textChanged, this, &InPlaceEdit::RemoveLineBreaks);
}

InPlaceEdit *InPlaceEdit::GetInstance()
{
    if (!s_edit)
        s_edit = new InPlaceEdit;
    return s_edit;
}

void InPlaceEdit::DeleteInstance()
{
    delete s_edit;
    s_edit = nullptr;
}

InPlaceEdit *InPlaceEdit::OpenInstance(const EditableListCtrl *list)
{
    return s_edit && s_edit->m_open && (!list || s_edit->m_list == list) ? s_edit : nullptr;
}

bool InPlaceEdit::ShowEditCtrl(const QRect &rect, EditableListCtrl *list, int row, int column,
                               const QString &validChars, const QString &text)
{
    if (!list)
        return false;
    if (m_open)
        EndEdit(); // one cell at a time: the open edit ends first
    m_row = row;
    m_column = column;
    m_validChars = validChars;
    m_initialText = text;
    m_cancelled = false;
    m_list = list;
    PlaceOver(this, list, rect);
    setText(text);
    selectAll();
    m_open = true;
    m_pressedSinceOpen = false;
    m_sinceOpen.start();
    show();
    raise();
    setFocus(Qt::MouseFocusReason);
    return true;
}

void InPlaceEdit::RemoveLineBreaks()
{
    const QString now = text();
    if (!now.contains(QLatin1Char('\r')) && !now.contains(QLatin1Char('\n')))
        return;
    int cursor = cursorPosition();
    cursor -= int(now.left(cursor).count(QLatin1Char('\r')) + now.left(cursor).count(QLatin1Char('\n')));
    QString cleaned = now;
    cleaned.remove(QLatin1Char('\r'));
    cleaned.remove(QLatin1Char('\n'));
    setText(cleaned);
    setCursorPosition(cursor);
}

void InPlaceEdit::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        m_cancelled = true;
        ReturnFocus(this, m_list.data(), &InPlaceEdit::EndEdit);
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        ReturnFocus(this, m_list.data(), &InPlaceEdit::EndEdit);
        event->accept();
        return;
    default:
        break;
    }
    if (!m_validChars.isEmpty() && !event->text().isEmpty() && event->key() != Qt::Key_Backspace
        && !event->matches(QKeySequence::Copy) && !event->matches(QKeySequence::Paste)
        && !event->matches(QKeySequence::Cut)) {
        const QString typed = event->text();
        for (const QChar c : typed) {
            if (c.isPrint() && !m_validChars.contains(c)) {
                event->accept(); // dropped
                return;
            }
        }
    }
    QLineEdit::keyPressEvent(event);
}

void InPlaceEdit::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    // The line edit's own context menu takes the focus for a moment.
    if (event->reason() != Qt::PopupFocusReason && m_open)
        EndEdit();
}

void InPlaceEdit::mousePressEvent(QMouseEvent *event)
{
    // A press right after the click that opened the box may be the second
    // click of a double-click on the row: that one does not count.
    if (m_sinceOpen.isValid() && m_sinceOpen.elapsed() >= QApplication::doubleClickInterval())
        m_pressedSinceOpen = true;
    QLineEdit::mousePressEvent(event);
}

void InPlaceEdit::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (m_open && !m_pressedSinceOpen && event->button() == Qt::LeftButton) {
        // The first click of this double-click opened the box: it is a
        // double-click on the row. The edit is cancelled (the cell keeps its
        // text) and the list reports the double-click.
        const QPointer<EditableListCtrl> list = m_list;
        const int row = m_row, column = m_column;
        m_cancelled = true;
        ReturnFocus(this, list.data(), &InPlaceEdit::EndEdit);
        if (list)
            list->EditorDoubleClicked(row, column);
        event->accept();
        return;
    }
    QLineEdit::mouseDoubleClickEvent(event);
}

void InPlaceEdit::EndEdit()
{
    if (!m_open)
        return;
    m_open = false;
    QString result = m_cancelled ? m_initialText : text();
    hide();
    if (EditableListCtrl *list = m_list.data())
        list->EndCellEdit(m_row, m_column, result);
}

// ---- InPlaceCombo ----

InPlaceCombo::InPlaceCombo()
{
    setEditable(false);
    hide();
}

InPlaceCombo *InPlaceCombo::GetInstance()
{
    if (!s_combo)
        s_combo = new InPlaceCombo;
    return s_combo;
}

void InPlaceCombo::DeleteInstance()
{
    delete s_combo;
    s_combo = nullptr;
}

InPlaceCombo *InPlaceCombo::OpenInstance(const EditableListCtrl *list)
{
    return s_combo && s_combo->m_open && (!list || s_combo->m_list == list) ? s_combo : nullptr;
}

bool InPlaceCombo::ShowComboCtrl(const QRect &rect, EditableListCtrl *list, int row, int column,
                                 const QStringList &choices, const QString &text, int selection)
{
    if (!list)
        return false;
    if (m_open)
        EndEdit();
    m_row = row;
    m_column = column;
    m_cancelled = false;
    m_choices = choices;
    m_initialText = selection >= 0 && selection < choices.size() ? choices[selection] : text;
    m_dropDownRect = rect;
    m_list = list;
    // The closed box covers the cell; its list opens below it.
    const int cellHeight = list->rowHeight(row) > 0 ? list->rowHeight(row) : rect.height();
    PlaceOver(this, list, QRect(rect.topLeft(), QSize(rect.width(), std::min(rect.height(), cellHeight))));
    clear();
    addItems(choices);
    setMaxVisibleItems(std::max<int>(1, std::min<int>(int(choices.size()), 10)));
    setCurrentIndex(selection >= 0 && selection < choices.size() ? selection : -1);
    m_open = true;
    show();
    raise();
    setFocus(Qt::MouseFocusReason);
    return true;
}

void InPlaceCombo::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        m_cancelled = true;
        ReturnFocus(this, m_list.data(), &InPlaceCombo::EndEdit);
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        ReturnFocus(this, m_list.data(), &InPlaceCombo::EndEdit);
        event->accept();
        return;
    default:
        QComboBox::keyPressEvent(event);
    }
}

void InPlaceCombo::hidePopup()
{
    QComboBox::hidePopup();
    // The list closed up (a choice made or the list dismissed): the edit
    // ends, once the choice (reported right after the list hides) is made.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_open)
                ReturnFocus(this, m_list.data(), &InPlaceCombo::EndEdit);
        },
        Qt::QueuedConnection);
}

void InPlaceCombo::focusOutEvent(QFocusEvent *event)
{
    QComboBox::focusOutEvent(event);
    // While the drop-down list is open the focus moves into it: the edit
    // ends when the list closes (hidePopup), not here.
    if (event->reason() == Qt::PopupFocusReason || QApplication::activePopupWidget())
        return;
    if (m_open)
        EndEdit();
}

void InPlaceCombo::EndEdit()
{
    if (!m_open)
        return;
    m_open = false;
    const QString result = m_cancelled ? m_initialText : currentText();
    hide();
    if (EditableListCtrl *list = m_list.data())
        list->EndCellEdit(m_row, m_column, result);
}
