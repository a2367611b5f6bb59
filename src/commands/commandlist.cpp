#include "commands/commandlist.h"

namespace CommandList {
namespace {

void swapCommands(CommandRows &rows, int a, int b)
{
    const QByteArray bytesA = rows.commandBytes(a);
    const QByteArray bytesB = rows.commandBytes(b);
    rows.setCommandBytes(a, bytesB);
    rows.setCommandBytes(b, bytesA);
    RenumberIds(rows);
}

} // namespace

QString load(CommandRows &rows, const QString &folder, const QString &name)
{
    rows.setRowCount(0);
    const CommandSetContents set = ReadCommandSet(folder, name);
    if (!set.error.isEmpty())
        return set.error;
    rows.setRowCount(int(set.commands.size()));
    for (int k = 0; k < set.commands.size(); ++k) {
        rows.setId(k, k + 1);
        rows.setCommandBytes(k, set.commands[k]);
    }
    return QString();
}

QList<QByteArray> commands(const CommandRows &rows)
{
    QList<QByteArray> all;
    for (int row = 0; row < rows.rowCount(); ++row)
        all.append(rows.commandBytes(row));
    return all;
}

SaveResult save(const CommandRows &rows, const QString &folder, const QString &name)
{
    return SaveCommandSet(folder, name, commands(rows));
}

void moveUp(CommandRows &rows)
{
    const int s = rows.firstSelectedRow();
    if (s <= 0)
        return;
    swapCommands(rows, s, s - 1);
}

void moveDown(CommandRows &rows)
{
    const int s = rows.firstSelectedRow();
    if (s < 0 || s + 1 >= rows.rowCount())
        return;
    swapCommands(rows, s, s + 1);
}

void removeSelected(CommandRows &rows)
{
    const int s = rows.firstSelectedRow();
    if (s < 0)
        return;
    rows.removeRow(s);
    RenumberIds(rows);
}

void add(CommandRows &rows)
{
    const int n = rows.rowCount();
    rows.insertRow(n);
    rows.setId(n, n + 1);
}

void RenumberIds(CommandRows &rows)
{
    for (int row = 0; row < rows.rowCount(); ++row)
        rows.setId(row, row + 1);
}

} // namespace CommandList
