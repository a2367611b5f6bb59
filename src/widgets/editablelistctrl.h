#pragma once

#include <QHash>
#include <QPair>
#include <QStringList>
#include <QTableWidget>
#include <array>
#include <vector>

class InPlaceEdit;
class InPlaceCombo;

// A report list (header, full-row selection, several rows selectable) whose
// cells can be edited in place: a plain click on an editable cell of a row
// makes it the current row and opens an editor exactly over the cell
// (InPlaceEdit, or InPlaceCombo for a drop-down cell). Shift- and Ctrl-clicks
// only change the selection; a click on no cell changes nothing.
//
// Which cells are editable: in per-cell mode a table of (row, column, kind)
// entries decides, the first entry for a cell winning (entries keep their row
// numbers when rows are inserted, deleted or moved); in per-column mode, combo
// columns get the drop-down, read-only columns nothing, the others the edit
// box. Only columns 0..99 are ever edited.
//
// Qt's own item editing is off: the list's editors are the only way in.
class EditableListCtrl : public QTableWidget
{
    Q_OBJECT

public:
    enum CellEditorKind : quint8 { CELL_NO_EDIT = 0, CELL_EDIT = 1, CELL_COMBO = 2 };
    static constexpr int kMaxEditColumns = 100;

    explicit EditableListCtrl(QWidget *parent = nullptr);
    ~EditableListCtrl() override;

    // Inserts a column with its heading, alignment and width in pixels; the
    // index of the new column, or -1.
    int InsertColumn(int index, const QString &heading, Qt::Alignment format, int width, int subItem = -1);
    void SetCellMode(int cellMode) { m_cellMode = cellMode != 0; }
    bool CellMode() const { return m_cellMode; }
    void SetReadOnlyColumn(int column, bool add);
    void SetComboColumn(int column, bool add);
    // Enters a cell for in-place editing; a cell already entered keeps its
    // first kind.
    void AddCellEditor(int row, int column, CellEditorKind kind);
    qsizetype CellEditorCount() const { return qsizetype(m_cellEditors.size()); }
    bool IsReadOnlyColumn(int column) const { return m_readOnlyColumns.contains(column); }
    bool IsComboColumn(int column) const { return m_comboColumns.contains(column); }
    // Characters the edit box accepts in a column (empty: all).
    void SetValidChars(int column, const QString &chars);

    // The cell under a point of the viewport. Column edges are inclusive, so
    // the pixel where one column ends and the next begins belongs to the
    // left-hand one; a point right of the last column or below the last row
    // is no cell.
    bool HitTestCell(const QPoint &point, int *row, int *column) const;
    // The cell's rectangle in viewport coordinates, after scrolling the list
    // horizontally: a column that starts outside the view is brought to its
    // left edge, one cut off at the right is scrolled just far enough to show
    // its right edge, a visible one stays.
    void GetCellRect(int column, int row, QRect *rect);
    InPlaceEdit *ShowInPlaceEdit(int row, int column, const QString &text);
    // Nullptr when the row cannot be shown, the column does not exist or is
    // narrower than 10 pixels.
    InPlaceCombo *ShowInPlaceCombo(int row, int column, const QStringList &choices, const QString &text,
                                   int selection);

    // From the editors: an edit of (row, column) ended with `text`. Stores it
    // (without line breaks) and emits CellEdited, then CellEditEnd.
    void EndCellEdit(int row, int column, const QString &text);
    // From the edit box: a double-click whose first click opened it counts as
    // a double-click on the cell (the edit has been cancelled).
    void EditorDoubleClicked(int row, int column);

signals:
    // Before a drop-down editor opens: the receiver fills the choices.
    void CellGetChoices(int column, QStringList *choices);
    // After an ended edit's text has been stored in the cell.
    void CellEdited(int row, int column, const QString &text);
    // An editor has ended its edit.
    void CellEditEnd();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct CellEditorEntry
    {
        int row;
        int column;
        quint8 kind;
    };
    CellEditorKind EditorKindFor(int row, int column) const;

    QList<int> m_comboColumns;
    QList<int> m_readOnlyColumns;
    // The cells entered, in order, and the kind of each by (row, column).
    std::vector<CellEditorEntry> m_cellEditors;
    QHash<QPair<int, int>, quint8> m_cellEditorKinds;
    bool m_cellMode = false;
    std::array<QString, kMaxEditColumns> m_validChars;
    bool m_placingEditor = false; // our own scroll while an editor is being placed
};
