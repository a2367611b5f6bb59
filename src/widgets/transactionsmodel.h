#pragma once

#include "session/transactionlog.h"

#include <QAbstractTableModel>
#include <QCache>

// The rows of a TransactionLog as a table: time, command, echo, reply,
// result (an error code in words), time to the result, decoded meaning,
// and the unsolicited result codes in a column of their own. Text is made
// for the rows shown only (a few hundred are kept), so a session of
// millions of rows costs the view no more than the log's records.
//
// The model follows the log when refresh() is called (the pane does it on a
// timer while shown): new rows are inserted, the rows still open are made
// again, and a cleared log resets the model.
class TransactionsModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Time, Command, Echo, Reply, Result, Ms, Meaning, Unsolicited, ColumnCount };

    explicit TransactionsModel(const TransactionLog &log, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void refresh();
    // Where row's bytes are in the session log: [from, to); {-1, -1} when
    // it cannot be read back.
    std::pair<qint64, qint64> rangeOf(int row) const;
    // The row's decoded meaning in full (its tooltip).
    QString explain(int row) const;

private:
    struct Texts
    {
        QString cells[ColumnCount];
        QString tip;
        bool urc = false;
        bool failed = false;
    };
    const Texts *textsOf(int row) const;

    const TransactionLog &m_log;
    int m_rows = 0;
    quint64 m_generation = 0;
    qsizetype m_open = -1;
    mutable QCache<int, Texts> m_cache { 512 };
};
