#pragma once

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QRect>
#include <QStringList>

class EditableListCtrl;

// The two editors that an EditableListCtrl places over one cell to edit its
// text in place. Each has one instance per process (GetInstance creates it
// without showing it; the list's destructor deletes both); the editor is
// shown for one edit and hidden again when the edit ends.
//
// An edit ends when the editor loses the keyboard focus, whatever the cause:
// Enter, Escape, a click elsewhere, Tab, the list scrolling, the drop-down
// closing. The editor then hands the list the cell's row, column and text
// (after Escape, the text the cell had when the edit started), which stores
// it and tells its parent, and hides itself at once.

// A borderless single-line edit box over a cell. It opens with the cell's
// whole text selected. Line breaks never get in: typed or pasted CR and LF
// are removed.
class InPlaceEdit : public QLineEdit
{
    Q_OBJECT

public:
    static InPlaceEdit *GetInstance();
    static void DeleteInstance();
    // The instance when it is open over a cell of `list` (any list when null).
    static InPlaceEdit *OpenInstance(const EditableListCtrl *list = nullptr);

    // Starts editing the cell (row, column) of `list` over `rect` (viewport
    // coordinates). validChars, when not empty, are the only characters that
    // typing may enter (Backspace and the clipboard keys always work; pasted
    // text is not filtered). False when no edit could start.
    bool ShowEditCtrl(const QRect &rect, EditableListCtrl *list, int row, int column, const QString &validChars,
                      const QString &text);

    bool IsOpen() const { return m_open; }
    int Row() const { return m_row; }
    int Column() const { return m_column; }
    bool Cancelled() const { return m_cancelled; }
    QString InitialText() const { return m_initialText; }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    InPlaceEdit();
    void EndEdit();
    void RemoveLineBreaks();

    int m_row = -1;
    int m_column = -1;
    bool m_cancelled = false;
    QString m_validChars;
    QString m_initialText;
    bool m_open = false;
    bool m_pressedSinceOpen = false;
    QElapsedTimer m_sinceOpen;
    QPointer<EditableListCtrl> m_list;
};

// A drop-down list of fixed choices over a cell: the closed box covers the
// cell, its list the cell heights below it that DropDownRect() gives.
// Choosing an item commits it at once.
class InPlaceCombo : public QComboBox
{
    Q_OBJECT

public:
    static InPlaceCombo *GetInstance();
    static void DeleteInstance();
    static InPlaceCombo *OpenInstance(const EditableListCtrl *list = nullptr);

    // Starts editing the cell (row, column) of `list`. `rect` is the cell
    // with the room for the drop-down list below it (viewport coordinates).
    // The initial text is the choice at `selection`, or `text` when
    // selection is -1; the box starts with that selection.
    bool ShowComboCtrl(const QRect &rect, EditableListCtrl *list, int row, int column, const QStringList &choices,
                       const QString &text, int selection);

    bool IsOpen() const { return m_open; }
    int Row() const { return m_row; }
    int Column() const { return m_column; }
    QStringList Choices() const { return m_choices; }
    QString InitialText() const { return m_initialText; }
    // The cell and the room for its drop-down list, as the list asked.
    QRect DropDownRect() const { return m_dropDownRect; }

    void hidePopup() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    InPlaceCombo();
    void EndEdit();

    int m_row = -1;
    int m_column = -1;
    bool m_cancelled = false;
    QString m_initialText;
    QStringList m_choices;
    QRect m_dropDownRect;
    bool m_open = false;
    QPointer<EditableListCtrl> m_list;
};
