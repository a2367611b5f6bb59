#pragma once

#include <QTimer>
#include <QWidget>

class LogView;
class QLabel;
class QPushButton;
class QScrollBar;
class QTableView;
class TransactionLog;
class TransactionsModel;

// The session's AT transactions in a window of their own beside the
// terminal's: a row per command (time, command, echo, reply, result, time
// to the result, decoded meaning) and per unsolicited result code (in a
// column of its own), in time order. Its owner makes it when first asked
// for (the receive view's "Transactions"). Selecting a row selects its
// bytes in the receive view and shows them. While shown it follows the
// session once a second (the end stays in view while it is there); hidden,
// it costs nothing. The transactions are read from the session log while it
// is shown: a backlog (the pane opened after hours) in slices of kSliceMs,
// the window answering between them, its progress told. "Save
// Transactions…" asks its owner to write them (saveRequested).
//
// The table is given only the rows on screen (TransactionsModel's window);
// the pane's own scroll bar, the wheel and the keys (Up, Down, Page Up,
// Page Down, Ctrl+Home, Ctrl+End) move over all of them.
class TransactionsPane : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 1000;
    static constexpr int kSliceMs = 25;

    TransactionsPane(TransactionLog &log, LogView *view, QWidget *parent = nullptr);

    QTableView *table() const { return m_table; }
    TransactionsModel *model() const { return m_model; }
    QScrollBar *scrollBar() const { return m_bar; }
    // Reads what the session got since the last refresh, for a slice at
    // most (the timer does); true when nothing is left to read.
    bool refresh();
    // Selects the log's row `row`, scrolled to the middle, and shows its
    // bytes in the view; -1 while none is selected.
    void selectRow(qsizetype row);
    qsizetype selectedRow() const { return m_selected; }

signals:
    void saveRequested();
    // Shown or hidden by the user or its owner (not by minimising).
    void shownChanged(bool shown);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showRow(qsizetype row);
    // Rows wholly on screen.
    int visibleRows() const;
    void fitWindow();
    void updateBar();
    void scrollTo(qsizetype first);
    // The table's selection made that of m_selected in the window.
    void markSelected();
    bool moveByKey(int key, Qt::KeyboardModifiers modifiers);

    TransactionLog &m_log;
    LogView *m_view;
    TransactionsModel *m_model;
    QTableView *m_table;
    QScrollBar *m_bar;
    QLabel *m_counts;
    QPushButton *m_save;
    QTimer m_refresh;
    QTimer m_catchUp; // the next slice of a backlog
    qsizetype m_selected = -1;
    bool m_marking = false;
    bool m_followEnd = true; // the end is in view: new rows keep it there
};
