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
//
// It shows a window of the log's rows, [first(), first() + rowCount()), at
// most windowSize() of them: a view keeps memory per row it is given (Qt's
// header, about 13 bytes each), which for a session of millions of rows
// would be more than the rows themselves. The pane moves the window with
// its own scroll bar. Model row r is the log's row first() + r.
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

    // The log's rows (the window's rows are fewer).
    qsizetype total() const { return m_total; }
    qsizetype first() const { return m_first; }
    // Moves the window to start at log row `row` (clamped so that it is
    // full where the log has rows enough).
    void setFirst(qsizetype row);
    int windowSize() const { return m_window; }
    void setWindowSize(int rows);
    // Where the log row's bytes are in the session log: [from, to); {-1, -1}
    // when it cannot be read back.
    std::pair<qint64, qint64> rangeOf(qsizetype row) const;
    // The log row's decoded meaning in full (its tooltip).
    QString explain(qsizetype row) const;

private:
    struct Texts
    {
        QString cells[ColumnCount];
        QString tip;
        bool urc = false;
        bool failed = false;
    };
    const Texts *textsOf(qsizetype row) const;
    // Makes the model's rows those of the window over m_total rows.
    void fitRows();

    const TransactionLog &m_log;
    int m_rows = 0;          // the model's rows: the window's
    qsizetype m_total = 0;   // the log's rows taken so far
    qsizetype m_first = 0;
    int m_window = 1000;
    quint64 m_generation = 0;
    qsizetype m_open = -1;
    mutable QCache<qsizetype, Texts> m_cache { 512 };
};
