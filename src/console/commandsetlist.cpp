// The main window's command sets: the Module Type box, loading a set into the
// AT command list, saving it back, and the list's Up, Down, Del and Add.

#include "commands/commandlist.h"
#include "commands/commandtext.h"
#include "console/commandlisttable.h"
#include "console/terminaldialog.h"
#include "ui_terminaldialog.h"

#include <QDateTime>
#include <QHeaderView>

namespace {

// Item data roles of a command cell: its bytes, and the text shown for them.
constexpr int kBytesRole = Qt::UserRole;
constexpr int kShownRole = Qt::UserRole + 1;

} // namespace

int CommandListTable::rowCount() const
{
    return m_list->rowCount();
}

void CommandListTable::setRowCount(int count)
{
    const int before = m_list->rowCount();
    m_list->setRowCount(count);
    for (int row = before; row < count; ++row)
        m_list->AddCellEditor(row, COMMAND_COLUMN, EditableListCtrl::CELL_EDIT);
}

void CommandListTable::insertRow(int row)
{
    m_list->insertRow(row);
    setCommandBytes(row, QByteArray());
    m_list->AddCellEditor(row, COMMAND_COLUMN, EditableListCtrl::CELL_EDIT);
}

void CommandListTable::removeRow(int row)
{
    m_list->removeRow(row);
}

QByteArray CommandListTable::commandBytes(int row) const
{
    const QTableWidgetItem *cell = m_list->item(row, COMMAND_COLUMN);
    if (!cell)
        return QByteArray();
    const QByteArray bytes = cell->data(kBytesRole).toByteArray();
    const QString text = cell->text();
    if (text == cell->data(kShownRole).toString())
        return bytes;
    // Edited since: what was typed, around the bytes it left alone.
    return EditedCommandBytes(bytes, text);
}

void CommandListTable::setCommandBytes(int row, const QByteArray &bytes)
{
    QTableWidgetItem *cell = m_list->item(row, COMMAND_COLUMN);
    if (!cell) {
        cell = new QTableWidgetItem;
        m_list->setItem(row, COMMAND_COLUMN, cell);
    }
    const QString shown = CommandDisplayText(bytes);
    cell->setData(kBytesRole, bytes);
    cell->setData(kShownRole, shown);
    cell->setText(shown);
}

void CommandListTable::setId(int row, int id)
{
    if (QTableWidgetItem *item = m_list->item(row, ID_COLUMN)) {
        item->setText(QString::number(id));
        return;
    }
    auto *item = new QTableWidgetItem(QString::number(id));
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    m_list->setItem(row, ID_COLUMN, item);
}

int CommandListTable::firstSelectedRow() const
{
    int first = -1;
    const auto ranges = m_list->selectedRanges();
    for (const QTableWidgetSelectionRange &range : ranges)
        first = first < 0 ? range.topRow() : std::min(first, range.topRow());
    return first;
}

void TerminalDialog::SetupCommandList()
{
    EditableListCtrl *list = ui->commandList;
    list->setColumnCount(0);
    list->InsertColumn(CommandListTable::ID_COLUMN, QStringLiteral("ID"), Qt::AlignLeft, 40, -1);
    list->InsertColumn(CommandListTable::COMMAND_COLUMN, QStringLiteral("Command"), Qt::AlignLeft, 295, -1);
    list->SetCellMode(true);
    list->SetReadOnlyColumn(CommandListTable::ID_COLUMN, true);
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
    m_commands = std::make_unique<CommandListTable>(list);
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
    m_log.Append(CommandSetSeparator(name, QDateTime::currentDateTime()), SessionLog::Origin::Terminal);
    RefreshReceiveView(false);
    if (const QString error = CommandList::load(*m_commands, ModuleDirectory(), name); !error.isEmpty())
        ShowMessage(error);
}

void TerminalDialog::SaveCommandSet()
{
    const QString name = ui->moduleTypeList->currentText();
    if (name.isEmpty())
        return;
    const SaveResult result = CommandList::save(*m_commands, ModuleDirectory(), name);
    ShowMessage(result == SaveResult::Saved ? QStringLiteral("save success!") : QStringLiteral("save failed!"));
}

void TerminalDialog::RenumberIds()
{
    CommandList::RenumberIds(*m_commands);
}

void TerminalDialog::UpClicked()
{
    CommandList::moveUp(*m_commands);
}

void TerminalDialog::DownClicked()
{
    CommandList::moveDown(*m_commands);
}

void TerminalDialog::DelClicked()
{
    CommandList::removeSelected(*m_commands);
}

void TerminalDialog::AddClicked()
{
    CommandList::add(*m_commands);
}
