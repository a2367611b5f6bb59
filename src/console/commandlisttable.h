#pragma once

#include "commands/commandlist.h"

class EditableListCtrl;

// The AT command list's table as CommandRows: column 0 the ID, column 1 the
// command. A command cell keeps the command's bytes beside the text shown for
// them, so that a cell whose text is still that one gives those bytes back
// exactly; every row's command cell is entered for in-place editing.
class CommandListTable : public CommandRows
{
public:
    enum Column { ID_COLUMN = 0, COMMAND_COLUMN = 1 };

    explicit CommandListTable(EditableListCtrl *list) : m_list(list) {}

    int rowCount() const override;
    void setRowCount(int count) override;
    void insertRow(int row) override;
    void removeRow(int row) override;
    QByteArray commandBytes(int row) const override;
    void setCommandBytes(int row, const QByteArray &bytes) override;
    void setId(int row, int id) override;
    int firstSelectedRow() const override;

private:
    EditableListCtrl *m_list;
};
