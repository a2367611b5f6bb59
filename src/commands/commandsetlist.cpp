// The main window's command sets: the Module Type box, loading a set into the
// AT command list, saving it back, and the list's Up, Down, Del and Add.

#include "commands/commandsetfiles.h"
#include "commands/commandtext.h"
#include "console/terminaldialog.h"
#include "ui_terminaldialog.h"

#include <QDateTime>
#include <QHeaderView>

namespace {

enum Column { ID_COLUMN = 0, COMMAND_COLUMN = 1 };

// A command cell keeps the command's bytes beside the text it shows, and the
// text shown for them, so that a cell whose text is still that one gives
// those bytes back exactly.
constexpr int kBytesRole = Qt::UserRole;
constexpr int kShownRole = Qt::UserRole + 1;

QTableWidgetItem *IdItem(int id)
{
    auto *item = new QTableWidgetItem(QString::number(id));
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

} // namespace

void TerminalDialog::SetupCommandList()
{
    EditableListCtrl *list = ui->commandList;
    list->setColumnCount(0);
    list->InsertColumn(ID_COLUMN, QStringLiteral("ID"), Qt::AlignLeft, 40, -1);
    list->InsertColumn(COMMAND_COLUMN, QStringLiteral("Command"), Qt::AlignLeft, 295, -1);
    list->SetCellMode(true);
    list->SetReadOnlyColumn(ID_COLUMN, true);
    list->horizontalHeader()->setStretchLastSection(false);
    list->verticalHeader()->setVisible(false);
    list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list->verticalHeader()->setDefaultSectionSize(20);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setWordWrap(false);
    list->setToolTip(QStringLiteral("Click a command to edit it, double-click a row to send it"));
    connect(list, &EditableListCtrl::CellGetChoices, this, &TerminalDialog::OnCellGetChoices);
    connect(list, &EditableListCtrl::CellEdited, this, &TerminalDialog::OnCellEdited);
}

// No cell of the command list is a drop-down: there are no choices to give.
void TerminalDialog::OnCellGetChoices(int, QStringList *) {}

// An edited command stays in the list until Save writes it.
void TerminalDialog::OnCellEdited(int, int, const QString &) {}

void TerminalDialog::ListModuleTypes()
{
    QSignalBlocker quiet(ui->moduleTypeList);
    ui->moduleTypeList->clear();
    ui->moduleTypeList->addItems(ListModuleFiles(ModuleDirectory()));
    // No entry is chosen until the user picks one.
    ui->moduleTypeList->setCurrentIndex(-1);
}

void TerminalDialog::LoadCommandSet()
{
    const QString name = ui->moduleTypeList->currentText();
    if (name.isEmpty())
        return;
    m_log.AppendLineBreak();
    m_log.Append(CommandSetSeparator(name, QDateTime::currentDateTime()));
    RefreshReceiveView(false);

    EditableListCtrl *list = ui->commandList;
    list->setRowCount(0);
    const CommandSetContents set = ReadCommandSet(ModuleDirectory(), name);
    if (!set.error.isEmpty()) {
        ShowMessage(set.error);
        return;
    }
    list->setRowCount(int(set.commands.size()));
    for (int k = 0; k < set.commands.size(); ++k) {
        list->setItem(k, ID_COLUMN, IdItem(k + 1));
        SetCommandBytes(k, set.commands[k]);
        list->AddCellEditor(k, COMMAND_COLUMN, EditableListCtrl::CELL_EDIT);
    }
}

void TerminalDialog::SaveCommandSet()
{
    const QString name = ui->moduleTypeList->currentText();
    if (name.isEmpty())
        return;
    QList<QByteArray> commands;
    for (int row = 0; row < ui->commandList->rowCount(); ++row)
        commands.append(CommandBytes(row));
    const SaveResult result = ::SaveCommandSet(ModuleDirectory(), name, commands);
    ShowMessage(result == SaveResult::Saved ? QStringLiteral("save success!") : QStringLiteral("save failed!"));
}

QByteArray TerminalDialog::CommandBytes(int row) const
{
    const QTableWidgetItem *cell = ui->commandList->item(row, COMMAND_COLUMN);
    if (!cell)
        return QByteArray();
    const QByteArray bytes = cell->data(kBytesRole).toByteArray();
    const QString text = cell->text();
    if (text == cell->data(kShownRole).toString())
        return bytes;
    // Edited since: what was typed, around the bytes it left alone.
    return EditedCommandBytes(bytes, text);
}

int TerminalDialog::FirstSelectedRow() const
{
    int first = -1;
    const auto ranges = ui->commandList->selectedRanges();
    for (const QTableWidgetSelectionRange &range : ranges)
        first = first < 0 ? range.topRow() : std::min(first, range.topRow());
    return first;
}

void TerminalDialog::RenumberIds()
{
    for (int row = 0; row < ui->commandList->rowCount(); ++row) {
        if (QTableWidgetItem *id = ui->commandList->item(row, ID_COLUMN))
            id->setText(QString::number(row + 1));
        else
            ui->commandList->setItem(row, ID_COLUMN, IdItem(row + 1));
    }
}

void TerminalDialog::SetCommandBytes(int row, const QByteArray &bytes)
{
    QTableWidgetItem *cell = ui->commandList->item(row, COMMAND_COLUMN);
    if (!cell) {
        cell = new QTableWidgetItem;
        ui->commandList->setItem(row, COMMAND_COLUMN, cell);
    }
    const QString shown = CommandDisplayText(bytes);
    cell->setData(kBytesRole, bytes);
    cell->setData(kShownRole, shown);
    cell->setText(shown);
}

// Swaps the commands of two rows; the selection stays where it was.
void TerminalDialog::SwapCommands(int a, int b)
{
    const QByteArray bytesA = CommandBytes(a);
    const QByteArray bytesB = CommandBytes(b);
    SetCommandBytes(a, bytesB);
    SetCommandBytes(b, bytesA);
    RenumberIds();
}

void TerminalDialog::UpClicked()
{
    const int s = FirstSelectedRow();
    if (s <= 0)
        return;
    SwapCommands(s, s - 1);
}

void TerminalDialog::DownClicked()
{
    const int s = FirstSelectedRow();
    if (s < 0 || s + 1 >= ui->commandList->rowCount())
        return;
    SwapCommands(s, s + 1);
}

void TerminalDialog::DelClicked()
{
    const int s = FirstSelectedRow();
    if (s < 0)
        return;
    ui->commandList->removeRow(s);
    RenumberIds();
}

void TerminalDialog::AddClicked()
{
    EditableListCtrl *list = ui->commandList;
    const int n = list->rowCount();
    list->insertRow(n);
    list->setItem(n, ID_COLUMN, IdItem(n + 1));
    SetCommandBytes(n, QByteArray());
    list->AddCellEditor(n, COMMAND_COLUMN, EditableListCtrl::CELL_EDIT);
}
