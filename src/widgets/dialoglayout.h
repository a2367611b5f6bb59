#pragma once

#include "widgets/dialogunits.h"

#include <QFlags>
#include <QLayout>
#include <QRect>
#include <vector>

// Lays a dialog out as its Designer form draws it, in dialog units, and lets
// chosen controls follow the window when it grows.
//
// The form is drawn at the standard dialog font (DialogUnits' defaults); each
// direct child's geometry there is its place in dialog units, and the window
// puts it at that place in the font it really got, so that a larger font
// makes a larger window with everything where the form has it. That form
// size is the window's default and minimum size. What the window gains past
// it goes, per control, by the child's "resize" property: any of "move-x",
// "move-y" (the control moves with the right or bottom edge), "size-x",
// "size-y" (it grows with it), separated by spaces. Without the property a
// control keeps its place.
//
// A hand-written layout rather than boxes and grids: the places are those
// of a dialog template, irregular by a unit here and there, and they scale
// with the font's dialog units, which Qt's layouts do not know.
class DialogLayout : public QLayout
{
public:
    enum Follow { MoveX = 1, MoveY = 2, SizeX = 4, SizeY = 8 };
    Q_DECLARE_FLAGS(Follows, Follow)

    // Adopts the direct children of `dialog` that its form placed; call it
    // right after setupUi(), before anything moves them.
    explicit DialogLayout(QWidget *dialog);
    ~DialogLayout() override;

    // Adds a control placed in pixels of the window's default size.
    void addWidget(QWidget *widget, const QRect &place, Follows follows);

    DialogUnits units() const { return m_units; }
    // The form's size in the window's font: the default and minimum size.
    QSize formSize() const { return m_formSize; }
    // Where the form puts a child, in pixels of the default size (an empty
    // rectangle for one the layout does not hold).
    QRect formPlace(const QWidget *widget) const;

    static Follows ParseFollows(const QString &text);

    void addItem(QLayoutItem *item) override;
    QLayoutItem *itemAt(int index) const override;
    QLayoutItem *takeAt(int index) override;
    int count() const override { return int(m_entries.size()); }
    QSize sizeHint() const override { return m_formSize; }
    QSize minimumSize() const override { return m_formSize; }
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal | Qt::Vertical; }
    void setGeometry(const QRect &rect) override;

private:
    struct Entry
    {
        QLayoutItem *item;
        QRect place;
        Follows follows;
    };
    std::vector<Entry> m_entries;
    DialogUnits m_units;
    QSize m_formSize;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(DialogLayout::Follows)
