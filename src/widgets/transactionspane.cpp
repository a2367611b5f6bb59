#include "widgets/transactionspane.h"

#include "session/transactionlog.h"
#include "widgets/logview.h"
#include "widgets/transactionsmodel.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTableView>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <limits>

TransactionsPane::TransactionsPane(TransactionLog &log, LogView *view, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_log(log)
    , m_view(view)
    , m_model(new TransactionsModel(log, this))
    , m_table(new QTableView(this))
    , m_bar(new QScrollBar(Qt::Vertical, this))
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
    m_table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->horizontalHeader()->setStretchLastSection(true);
    const int cell = m_table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    const int widths[TransactionsModel::ColumnCount] = { 12, 16, 4, 22, 16, 5, 34, 24 };
    for (int c = 0; c < TransactionsModel::ColumnCount; ++c)
        m_table->setColumnWidth(c, widths[c] * cell + 8);
    m_table->setAccessibleName(QStringLiteral("Transactions"));
    m_table->installEventFilter(this);
    m_table->viewport()->installEventFilter(this);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex &current) {
        if (m_marking || !current.isValid())
            return;
        m_selected = m_model->first() + current.row();
        showRow(m_selected);
    });

    m_bar->setObjectName(QStringLiteral("transactionsScrollBar"));
    m_bar->setAccessibleName(QStringLiteral("Transactions position"));
    connect(m_bar, &QScrollBar::valueChanged, this, [this](int value) {
        m_model->setFirst(value);
        m_followEnd = value >= m_bar->maximum();
        markSelected();
    });

    m_save->setObjectName(QStringLiteral("saveTransactionsButton"));
    m_save->setToolTip(QStringLiteral("Write the transactions as the command-line runner's JSON report"));
    connect(m_save, &QPushButton::clicked, this, &TransactionsPane::saveRequested);

    auto *rows = new QHBoxLayout;
    rows->setSpacing(0);
    rows->addWidget(m_table, 1);
    rows->addWidget(m_bar);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_counts, 1);
    bottom->addWidget(m_save);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(rows, 1);
    layout->addLayout(bottom);
    resize(145 * cell, 30 * m_table->verticalHeader()->defaultSectionSize());

    m_refresh.setInterval(kRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &TransactionsPane::refresh);
    // A short pause between slices lets the window take input and paint.
    m_catchUp.setSingleShot(true);
    m_catchUp.setInterval(10);
    connect(&m_catchUp, &QTimer::timeout, this, &TransactionsPane::refresh);
}

int TransactionsPane::visibleRows() const
{
    const int row = std::max(m_table->verticalHeader()->defaultSectionSize(), 1);
    return std::max(m_table->viewport()->height() / row, 1);
}

void TransactionsPane::fitWindow()
{
    // The rows on screen, the last one in part too.
    const int row = std::max(m_table->verticalHeader()->defaultSectionSize(), 1);
    m_model->setWindowSize((m_table->viewport()->height() + row - 1) / row);
    updateBar();
}

void TransactionsPane::updateBar()
{
    const qsizetype last = std::max<qsizetype>(m_model->total() - visibleRows(), 0);
    QSignalBlocker block(m_bar);
    m_bar->setRange(0, int(std::min<qsizetype>(last, std::numeric_limits<int>::max())));
    m_bar->setPageStep(visibleRows());
    m_bar->setValue(int(std::min<qsizetype>(m_model->first(), std::numeric_limits<int>::max())));
}

void TransactionsPane::scrollTo(qsizetype first)
{
    first = std::clamp<qsizetype>(first, 0, std::max<qsizetype>(m_model->total() - visibleRows(), 0));
    m_model->setFirst(first);
    updateBar();
    m_followEnd = m_bar->value() >= m_bar->maximum();
    markSelected();
}

bool TransactionsPane::refresh()
{
    const bool caughtUp = m_log.CatchUp(kSliceMs);
    if (!caughtUp && isVisible())
        m_catchUp.start();
    // New rows follow the end while the end is in view, as the log does.
    m_model->refresh();
    if (m_followEnd)
        scrollTo(m_model->total());
    else
        updateBar();
    if (m_selected >= m_model->total())
        m_selected = -1;
    const qsizetype rows = m_log.count();
    const qsizetype commands = m_log.commandCount();
    QString counts = QStringLiteral("%1 commands, %2 unsolicited").arg(commands).arg(rows - commands);
    if (!caughtUp)
        counts += QStringLiteral(" (reading the session: %1 left)").arg(QLocale::system().formattedDataSize(m_log.unreadBytes()));
    m_counts->setText(counts);
    return caughtUp;
}

void TransactionsPane::markSelected()
{
    m_marking = true;
    const qsizetype row = m_selected - m_model->first();
    if (m_selected >= 0 && row >= 0 && row < m_model->rowCount())
        m_table->selectionModel()->setCurrentIndex(m_model->index(int(row), 0),
                                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    else
        m_table->selectionModel()->clear();
    m_marking = false;
}

void TransactionsPane::selectRow(qsizetype row)
{
    if (row < 0 || row >= m_model->total())
        return;
    m_selected = row;
    scrollTo(row - visibleRows() / 2);
    showRow(row);
}

void TransactionsPane::showRow(qsizetype row)
{
    const auto [from, to] = m_model->rangeOf(row);
    if (from < 0 || !m_view)
        return;
    m_view->setSelection(from, to);
    m_view->ensurePositionVisible(from);
}

bool TransactionsPane::moveByKey(int key, Qt::KeyboardModifiers modifiers)
{
    const qsizetype total = m_model->total();
    if (total == 0)
        return false;
    const qsizetype page = std::max(visibleRows() - 1, 1);
    const qsizetype at = m_selected >= 0 ? m_selected : m_model->first();
    qsizetype to = at;
    switch (key) {
    case Qt::Key_Up: to = at - 1; break;
    case Qt::Key_Down: to = m_selected >= 0 ? at + 1 : at; break;
    case Qt::Key_PageUp: to = at - page; break;
    case Qt::Key_PageDown: to = at + page; break;
    case Qt::Key_Home:
        if (!(modifiers & Qt::ControlModifier))
            return false;
        to = 0;
        break;
    case Qt::Key_End:
        if (!(modifiers & Qt::ControlModifier))
            return false;
        to = total - 1;
        break;
    default:
        return false;
    }
    to = std::clamp<qsizetype>(to, 0, total - 1);
    m_selected = to;
    const qsizetype first = m_model->first();
    if (to < first)
        scrollTo(to);
    else if (to >= first + visibleRows())
        scrollTo(to - visibleRows() + 1);
    else
        markSelected();
    showRow(to);
    return true;
}

bool TransactionsPane::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table->viewport()) {
        if (event->type() == QEvent::Resize)
            fitWindow();
        if (event->type() == QEvent::Wheel) {
            // The table has no rows beyond the screen: the pane's bar scrolls.
            QCoreApplication::sendEvent(m_bar, event);
            return true;
        }
    } else if (watched == m_table && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (moveByKey(key->key(), key->modifiers()))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TransactionsPane::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    fitWindow();
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
    m_catchUp.stop();
    emit shownChanged(false);
}
