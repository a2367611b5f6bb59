// Tests of the editable list and its in-place editors, driven with mouse and
// key events through the window as a user's would come.

#include "widgets/editablelistctrl.h"
#include "widgets/inplaceeditors.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

namespace {

// A window with the list and one other control to take the focus.
struct Host
{
    QWidget window;
    QLineEdit *other = new QLineEdit(&window);
    EditableListCtrl *list = new EditableListCtrl(&window);

    explicit Host(int rows = 6)
    {
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(other);
        layout->addWidget(list);
        window.resize(420, 260);
        list->InsertColumn(0, "ID", Qt::AlignLeft, 40);
        list->InsertColumn(1, "Command", Qt::AlignLeft, 295);
        list->verticalHeader()->setVisible(false);
        list->verticalHeader()->setDefaultSectionSize(20);
        list->SetCellMode(true);
        list->SetReadOnlyColumn(0, true);
        for (int r = 0; r < rows; ++r) {
            list->insertRow(r);
            list->setItem(r, 0, new QTableWidgetItem(QString::number(r + 1)));
            list->setItem(r, 1, new QTableWidgetItem(QStringLiteral("AT+CMD%1").arg(r)));
            list->AddCellEditor(r, 1, EditableListCtrl::CELL_EDIT);
        }
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            qFatal("window not exposed");
    }
    // A point of the list's viewport as a point of the window.
    QPoint At(const QPoint &viewportPoint) const { return list->viewport()->mapTo(&window, viewportPoint); }
    QPoint CellCentre(int row, int column) const
    {
        return At(list->visualRect(list->model()->index(row, column)).center());
    }
    void Click(const QPoint &windowPoint, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(window.windowHandle(), Qt::LeftButton, modifiers, windowPoint);
    }
    QString Cell(int row, int column = 1) const { return list->item(row, column)->text(); }
    static InPlaceEdit *Editor() { return InPlaceEdit::OpenInstance(); }
};

} // namespace

class TestEditableList : public QObject
{
    Q_OBJECT

private slots:
    void clickOpensEditorEnterCommits();
    void escapeRestoresAndStillSignals();
    void focusLossCommits();
    void clicksThatOpenNothing();
    void clickOnNoCellKeepsFocus();
    void perCellTableAndDeletedRows();
    void cellRectScrolling();
    void comboHeightsAndChoice();
    void validCharsAndLineBreaks();
    void scrollingCommits();
    void doubleClickRule();
};

void TestEditableList::clickOpensEditorEnterCommits()
{
    Host h;
    QSignalSpy edited(h.list, &EditableListCtrl::CellEdited);
    QSignalSpy ended(h.list, &EditableListCtrl::CellEditEnd);
    h.Click(h.CellCentre(2, 1));
    InPlaceEdit *e = Host::Editor();
    QVERIFY(e);
    QCOMPARE(h.list->currentRow(), 2);
    QVERIFY(e->hasFocus());
    QCOMPARE(e->selectedText(), QString("AT+CMD2")); // all selected: typing replaces it
    QRect cell;
    h.list->GetCellRect(1, 2, &cell);
    QCOMPARE(e->geometry(), cell);
    QTest::keyClicks(e, "ATI");
    QTest::keyClick(e, Qt::Key_Return);
    QVERIFY(!Host::Editor());
    QVERIFY(!e->isVisible());
    QCOMPARE(h.Cell(2), QString("ATI"));
    QCOMPARE(edited.size(), 1);
    QCOMPARE(edited[0], QVariantList({2, 1, QString("ATI")}));
    QCOMPARE(ended.size(), 1);
    QVERIFY(h.list->hasFocus());

    // Emptied and committed: the cell is empty.
    h.Click(h.CellCentre(3, 1));
    QTest::keyClick(Host::Editor(), Qt::Key_Delete);
    QTest::keyClick(Host::Editor(), Qt::Key_Enter);
    QCOMPARE(h.Cell(3), QString());
}

void TestEditableList::escapeRestoresAndStillSignals()
{
    Host h;
    QSignalSpy edited(h.list, &EditableListCtrl::CellEdited);
    h.Click(h.CellCentre(1, 1));
    QTest::keyClicks(Host::Editor(), "garbage");
    QTest::keyClick(Host::Editor(), Qt::Key_Escape);
    QVERIFY(!Host::Editor());
    QCOMPARE(h.Cell(1), QString("AT+CMD1"));
    QCOMPARE(edited.size(), 1);
    QCOMPARE(edited[0], QVariantList({1, 1, QString("AT+CMD1")}));
    QVERIFY(h.window.isVisible()); // Escape never reached the window
}

void TestEditableList::focusLossCommits()
{
    Host h;
    // Clicking another control commits.
    h.Click(h.CellCentre(0, 1));
    QTest::keyClicks(Host::Editor(), "AT+CSQ");
    h.Click(h.other->geometry().center());
    QVERIFY(!Host::Editor());
    QCOMPARE(h.Cell(0), QString("AT+CSQ"));
    // Tab commits.
    h.Click(h.CellCentre(1, 1));
    QTest::keyClicks(Host::Editor(), "ATE0");
    QTest::keyClick(Host::Editor(), Qt::Key_Tab);
    QVERIFY(!Host::Editor());
    QCOMPARE(h.Cell(1), QString("ATE0"));
    // Clicking the next cell commits this one and opens that one.
    h.Click(h.CellCentre(2, 1));
    QTest::keyClicks(Host::Editor(), "X");
    h.Click(h.CellCentre(4, 1));
    QCOMPARE(h.Cell(2), QString("X"));
    QVERIFY(Host::Editor());
    QCOMPARE(Host::Editor()->Row(), 4);
}

void TestEditableList::clicksThatOpenNothing()
{
    Host h(3);
    h.Click(h.CellCentre(0, 0)); // an ID cell: selected, no editor
    QVERIFY(!Host::Editor());
    QCOMPARE(h.list->currentRow(), 0);
    h.list->setFocus();

    // Right of the last column, below the last row: nothing changes.
    const int right = h.list->columnViewportPosition(1) + h.list->columnWidth(1);
    QVERIFY(right + 5 < h.list->viewport()->width());
    h.Click(h.At(QPoint(right + 5, h.list->rowViewportPosition(1) + 5)));
    h.Click(h.At(QPoint(60, h.list->rowViewportPosition(2) + 45)));
    QVERIFY(!Host::Editor());
    QCOMPARE(h.list->currentRow(), 0);
    QCOMPARE(h.list->selectionModel()->selectedRows().size(), 1);
    QVERIFY(h.list->hasFocus());

    // The pixel where ID ends and Command begins belongs to ID.
    const int divider = h.list->columnViewportPosition(1);
    int row = -1, column = -1;
    QVERIFY(h.list->HitTestCell(QPoint(divider, 5), &row, &column));
    QCOMPARE(column, 0);
    QVERIFY(h.list->HitTestCell(QPoint(divider + 1, 5), &row, &column));
    QCOMPARE(column, 1);
    h.Click(h.At(QPoint(divider, h.list->rowViewportPosition(1) + 5)));
    QVERIFY(!Host::Editor());
    QCOMPARE(h.list->currentRow(), 1);

    // Shift- and Ctrl-clicks change the selection only.
    h.Click(h.CellCentre(2, 1), Qt::ShiftModifier);
    QVERIFY(!Host::Editor());
    QCOMPARE(h.list->selectionModel()->selectedRows().size(), 2);
    h.Click(h.CellCentre(0, 1), Qt::ControlModifier);
    QVERIFY(!Host::Editor());
    QCOMPARE(h.list->selectionModel()->selectedRows().size(), 3);
}

// A click on no cell is dropped whole: the focus stays where it was, and an
// open edit stays open with what was typed.
void TestEditableList::clickOnNoCellKeepsFocus()
{
    Host h(3);
    const QPoint belowRows = h.At(QPoint(60, h.list->rowViewportPosition(2) + 45));
    h.other->setFocus();
    QVERIFY(h.other->hasFocus());
    h.Click(belowRows);
    QVERIFY(h.other->hasFocus());
    QCOMPARE(h.list->currentRow(), -1);

    h.Click(h.CellCentre(1, 1));
    QVERIFY(Host::Editor());
    QTest::keyClicks(Host::Editor(), "AT+CSQ");
    h.Click(belowRows);
    QVERIFY(Host::Editor());
    QVERIFY(Host::Editor()->hasFocus());
    QCOMPARE(Host::Editor()->text(), QString("AT+CSQ"));
    QCOMPARE(h.Cell(1), QString("AT+CMD1"));
    // A click on a cell still takes the focus and ends the edit.
    h.Click(h.CellCentre(0, 0));
    QVERIFY(!Host::Editor());
    QVERIFY(h.list->hasFocus());
    QCOMPARE(h.Cell(1), QString("AT+CSQ"));
}

void TestEditableList::perCellTableAndDeletedRows()
{
    Host h(4);
    // The first entry for a cell wins: a drop-down here.
    h.list->AddCellEditor(3, 0, EditableListCtrl::CELL_COMBO);
    h.list->AddCellEditor(3, 0, EditableListCtrl::CELL_EDIT);
    // ... and the second adds no entry to the table.
    const qsizetype entries = h.list->CellEditorCount();
    h.list->AddCellEditor(3, 0, EditableListCtrl::CELL_COMBO);
    QCOMPARE(h.list->CellEditorCount(), entries);
    QObject::connect(h.list, &EditableListCtrl::CellGetChoices, [](int, QStringList *choices) {
        *choices << "1" << "2" << "3" << "4";
    });
    h.Click(h.CellCentre(3, 0));
    QVERIFY(!Host::Editor());
    InPlaceCombo *combo = InPlaceCombo::OpenInstance(h.list);
    QVERIFY(combo);
    QCOMPARE(combo->currentText(), QString("4")); // the choice the cell's text begins with
    QSignalSpy edited(h.list, &EditableListCtrl::CellEdited);
    // Escape after the choice was moved gives the cell back its start text.
    QTest::keyClick(combo, Qt::Key_Up);
    QTest::keyClick(combo, Qt::Key_Up);
    QCOMPARE(combo->currentText(), QString("2"));
    QTest::keyClick(combo, Qt::Key_Escape);
    QVERIFY(!InPlaceCombo::OpenInstance());
    QCOMPARE(h.Cell(3, 0), QString("4"));
    QCOMPARE(edited.size(), 1);
    QCOMPARE(edited.first().at(2).toString(), QString("4"));

    // Entries keep their row numbers: after deleting row 0, row index 2 is
    // still editable in column 1 (and row 3 no longer exists).
    h.list->removeRow(0);
    h.Click(h.CellCentre(2, 1));
    QVERIFY(Host::Editor());
    QCOMPARE(Host::Editor()->Row(), 2);
    QCOMPARE(Host::Editor()->text(), QString("AT+CMD3"));
}

void TestEditableList::cellRectScrolling()
{
    Host h(3);
    h.list->setColumnWidth(1, 600); // wider than the view
    QCoreApplication::processEvents(); // the scroll bar's range follows
    const int view = h.list->viewport()->width();
    QRect r;
    // Cut off at the right: scrolled just far enough to show its right edge.
    h.list->GetCellRect(1, 0, &r);
    QCOMPARE(r.width(), 600);
    QCOMPARE(r.left(), h.list->columnViewportPosition(1));
    QCOMPARE(r.left() + r.width(), view);
    // A column that starts left of the view comes to its left edge.
    h.list->horizontalScrollBar()->setValue(h.list->horizontalScrollBar()->maximum());
    h.list->GetCellRect(0, 1, &r);
    QCOMPARE(r.left(), 0);
    QCOMPARE(h.list->columnViewportPosition(0), 0);
    QCOMPARE(r.top(), h.list->rowViewportPosition(1));
    QCOMPARE(r.height(), h.list->rowHeight(1));
    // A visible column stays where it is.
    h.list->setColumnWidth(1, 100);
    QCoreApplication::processEvents();
    h.list->horizontalScrollBar()->setValue(0);
    h.list->GetCellRect(1, 0, &r);
    QCOMPARE(r, QRect(40, 0, 100, h.list->rowHeight(0)));
    QCOMPARE(h.list->horizontalScrollBar()->value(), 0);
}

void TestEditableList::comboHeightsAndChoice()
{
    Host h(2);
    const int cell = h.list->rowHeight(0);
    for (const auto &[choices, heights] : std::vector<std::pair<int, int>>{{0, 2}, {9, 11}, {10, 12}, {25, 12}}) {
        QStringList list;
        for (int i = 0; i < choices; ++i)
            list << QString::number(i);
        InPlaceCombo *combo = h.list->ShowInPlaceCombo(0, 1, list, QString(), -1);
        QVERIFY(combo);
        QCOMPARE(combo->DropDownRect().height(), heights * cell);
        QCOMPARE(combo->height(), cell);
        h.list->setFocus();
        QVERIFY(!InPlaceCombo::OpenInstance());
    }
    // Choosing an item commits it at once.
    QSignalSpy edited(h.list, &EditableListCtrl::CellEdited);
    InPlaceCombo *combo = h.list->ShowInPlaceCombo(1, 1, {"AT", "ATI", "AT+CSQ"}, QString(), -1);
    combo->showPopup();
    QAbstractItemView *popup = combo->view();
    QTRY_VERIFY(popup->isVisible());
    const QPoint item = popup->visualRect(popup->model()->index(2, 0)).center();
    QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, item);
    QTRY_VERIFY(!InPlaceCombo::OpenInstance());
    QCOMPARE(h.Cell(1), QString("AT+CSQ"));
    QCOMPARE(edited.size(), 1);
    // A narrow column or a missing one gets no drop-down.
    h.list->horizontalHeader()->setMinimumSectionSize(1);
    h.list->setColumnWidth(1, 9);
    QVERIFY(!h.list->ShowInPlaceCombo(1, 1, {"AT"}, QString(), -1));
    QVERIFY(!h.list->ShowInPlaceCombo(1, 5, {"AT"}, QString(), -1));
}

void TestEditableList::validCharsAndLineBreaks()
{
    Host h(2);
    h.list->SetValidChars(1, "0123456789");
    h.Click(h.CellCentre(0, 1));
    InPlaceEdit *e = Host::Editor();
    QTest::keyClicks(e, "12a3");
    QCOMPARE(e->text(), QString("123"));
    QTest::keyClick(e, Qt::Key_Backspace);
    QCOMPARE(e->text(), QString("12"));
    // Pasted text is not filtered, but never brings a line break in.
    QGuiApplication::clipboard()->setText("AT\r\nI");
    QTest::keySequence(e, QKeySequence::Paste);
    QCOMPARE(e->text(), QString("12ATI"));
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(h.Cell(0), QString("12ATI"));
    // The list never stores a line break either.
    h.list->EndCellEdit(1, 1, "AT\rE0\n");
    QCOMPARE(h.Cell(1), QString("ATE0"));
}

void TestEditableList::scrollingCommits()
{
    Host h(40);
    h.Click(h.CellCentre(0, 1));
    QTest::keyClicks(Host::Editor(), "AT+CGMI");
    h.list->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QVERIFY(!Host::Editor());
    QCOMPARE(h.Cell(0), QString("AT+CGMI"));
}

// A double-click whose first click opened the box is a double-click on the
// row: the edit is cancelled and the list reports it. A double-click in a box
// that was open before selects a word and reports nothing.
void TestEditableList::doubleClickRule()
{
    Host h(3);
    QSignalSpy doubleClicks(h.list, &QTableWidget::cellDoubleClicked);
    QSignalSpy edited(h.list, &EditableListCtrl::CellEdited);
    QTest::mouseDClick(h.window.windowHandle(), Qt::LeftButton, {}, h.CellCentre(1, 1));
    QVERIFY(!Host::Editor());
    QCOMPARE(doubleClicks.size(), 1);
    QCOMPARE(doubleClicks[0], QVariantList({1, 1}));
    QCOMPARE(h.Cell(1), QString("AT+CMD1"));
    QCOMPARE(edited.size(), 1);

    h.Click(h.CellCentre(2, 1));
    QVERIFY(Host::Editor());
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseDClick(h.window.windowHandle(), Qt::LeftButton, {}, h.CellCentre(2, 1) + QPoint(-100, 0));
    QVERIFY(Host::Editor());
    QCOMPARE(doubleClicks.size(), 1);
    QVERIFY(Host::Editor()->hasSelectedText());
}

QTEST_MAIN(TestEditableList)
#include "test_editablelist.moc"
