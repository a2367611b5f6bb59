#pragma once

#include "commands/commandsetfiles.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The AT command list as the command-set operations see it: numbered rows,
// each holding one command's bytes. The window's list implements it over its
// table; the operations below need nothing else of the window.
class CommandRows
{
public:
    virtual ~CommandRows() = default;
    virtual int rowCount() const = 0;
    // Rows [0, count): rows beyond it go, new rows are empty.
    virtual void setRowCount(int count) = 0;
    // A new, empty, editable row at `row`.
    virtual void insertRow(int row) = 0;
    virtual void removeRow(int row) = 0;
    // A row's command, byte for byte; set from bytes.
    virtual QByteArray commandBytes(int row) const = 0;
    virtual void setCommandBytes(int row, const QByteArray &bytes) = 0;
    // The row's ID cell.
    virtual void setId(int row, int id) = 0;
    // The first selected row, -1 without a selection.
    virtual int firstSelectedRow() const = 0;
};

// Load, Save, Up, Down, Del and Add of the command list, and the numbering of
// its IDs, on any CommandRows.
namespace CommandList {

// Fills the rows with the set `name` of folder, numbered from 1; the rows are
// emptied first. The set's error (a refused file) is returned, with no rows.
QString load(CommandRows &rows, const QString &folder, const QString &name);
// Every row's command, in order.
QList<QByteArray> commands(const CommandRows &rows);
SaveResult save(const CommandRows &rows, const QString &folder, const QString &name);
// The first selected row's command swapped with the one above (Up) or below
// (Down); the selection stays where it was. Nothing at the list's ends.
void moveUp(CommandRows &rows);
void moveDown(CommandRows &rows);
// The first selected row removed, the rest renumbered.
void removeSelected(CommandRows &rows);
// An empty row added at the end, numbered.
void add(CommandRows &rows);
// IDs 1..n in row order.
void RenumberIds(CommandRows &rows);

} // namespace CommandList
