#include "widgets/transactionspane.h"

#include "session/transactionlog.h"
#include "widgets/logview.h"
#include "widgets/transactionsmodel.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QShowEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

TransactionsPane::TransactionsPane(const TransactionLog &log, LogView *view, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_log(log)
    , m_view(view)
    , m_model(new TransactionsModel(log, this))
    , m_table(new QTableView(this))
    , m_counts(new QLabel(this))
    , m_save(new QPushButton(QStringLiteral("Save Transactions…"), this))
{
    setObjectName(QStringLiteral("transactionsPane"));
    setWindowTitle(QStringLiteral("Transactions"));

    m_table->setObjectName(QStringLiteral("transactionsTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setWordWrap(false);
    m_table->setAlternatingRowColors(true);
    // Millions of rows: one height for all, no row header to lay out.
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->horizontalHeader()->setStretchLastSection(true);
    const int cell = m_table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    const int widths[TransactionsModel::ColumnCount] = { 13, 18, 5, 24, 18, 6, 36, 24 };
    for (int c = 0; c < TransactionsModel::ColumnCount; ++c)
        m_table->setColumnWidth(c, widths[c] * cell + 8);
    m_table->setAccessibleName(QStringLiteral("Transactions"));
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) { showRow(current.row()); });

    m_save->setObjectName(QStringLiteral("saveTransactionsButton"));
    m_save->setToolTip(QStringLiteral("Write the transactions as the command-line runner's JSON report"));
    connect(m_save, &QPushButton::clicked, this, &TransactionsPane::saveRequested);

    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_counts, 1);
    bottom->addWidget(m_save);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table, 1);
    layout->addLayout(bottom);
    resize(110 * cell, 30 * m_table->verticalHeader()->defaultSectionSize());

    m_refresh.setInterval(kRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &TransactionsPane::refresh);
}

void TransactionsPane::refresh()
{
    // New rows follow the end while the end is in view, as the log does.
    QScrollBar *bar = m_table->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    m_model->refresh();
    if (atEnd)
        m_table->scrollToBottom();
    const qsizetype rows = m_log.count();
    const qsizetype commands = m_log.commandCount();
    m_counts->setText(QStringLiteral("%1 commands, %2 unsolicited").arg(commands).arg(rows - commands));
}

void TransactionsPane::showRow(int row)
{
    const auto [from, to] = m_model->rangeOf(row);
    if (from < 0 || !m_view)
        return;
    m_view->setSelection(from, to);
    m_view->ensurePositionVisible(from);
}

void TransactionsPane::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    m_refresh.start();
    if (!event->spontaneous())
        emit shownChanged(true);
}

void TransactionsPane::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // Minimised with the terminal's window, it stays turned on.
    if (event->spontaneous())
        return;
    m_refresh.stop();
    emit shownChanged(false);
}
