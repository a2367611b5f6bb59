#pragma once

#include <QTimer>
#include <QWidget>

class LogView;
class QLabel;
class QPushButton;
class QTableView;
class TransactionLog;
class TransactionsModel;

// The session's AT transactions in a window of their own beside the
// terminal's: a row per command (time, command, echo, reply, result, time
// to the result, decoded meaning) and per unsolicited result code (in a
// column of its own), in time order. Its owner makes it when first asked
// for (the receive view's "Transactions"). Selecting a row selects its
// bytes in the receive view and shows them. While shown it follows the
// session four times a second; hidden, it costs nothing. "Save
// Transactions…" asks its owner to write them (saveRequested).
class TransactionsPane : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 1000;

    TransactionsPane(const TransactionLog &log, LogView *view, QWidget *parent = nullptr);

    QTableView *table() const { return m_table; }
    TransactionsModel *model() const { return m_model; }
    // Takes what the session got since the last refresh (the timer does).
    void refresh();

signals:
    void saveRequested();
    // Shown or hidden by the user or its owner (not by minimising).
    void shownChanged(bool shown);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void showRow(int row);

    const TransactionLog &m_log;
    LogView *m_view;
    TransactionsModel *m_model;
    QTableView *m_table;
    QLabel *m_counts;
    QPushButton *m_save;
    QTimer m_refresh;
};
