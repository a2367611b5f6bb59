#include "widgets/findbar.h"

#include "session/logsearch.h"
#include "text/codepage936.h"
#include "widgets/logview.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

FindBar::FindBar(LogView *view)
    : QWidget(view)
    , m_view(view)
{
    setObjectName(QStringLiteral("findBar"));
    // The bar keeps the window's font when the view's is zoomed.
    QFont f = QApplication::font();
    f.setFamilies(f.families().isEmpty() ? QStringList {f.family()} : f.families());
    if (f.pointSizeF() > 0)
        f.setPointSizeF(f.pointSizeF());
    else
        f.setPixelSize(f.pixelSize());
    setFont(f);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 3, 4, 3);
    layout->setSpacing(3);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("findEdit"));
    m_edit->setPlaceholderText(tr("Find"));
    m_edit->setToolTip(tr("Find in the log (Enter: next, Shift+Enter: previous, Esc: close)"));
    m_edit->setClearButtonEnabled(true);
    m_edit->installEventFilter(this);
    layout->addWidget(m_edit, 1);
    m_case = new QToolButton(this);
    m_case->setObjectName(QStringLiteral("findCase"));
    m_case->setText(QStringLiteral("Aa"));
    m_case->setCheckable(true);
    m_case->setToolTip(tr("Match case"));
    layout->addWidget(m_case);
    auto *previous = new QToolButton(this);
    previous->setObjectName(QStringLiteral("findPrevious"));
    previous->setArrowType(Qt::UpArrow);
    previous->setToolTip(tr("Previous match (Shift+F3)"));
    layout->addWidget(previous);
    auto *next = new QToolButton(this);
    next->setObjectName(QStringLiteral("findNext"));
    next->setArrowType(Qt::DownArrow);
    next->setToolTip(tr("Next match (F3)"));
    layout->addWidget(next);
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("findCount"));
    m_count->setMinimumWidth(m_count->fontMetrics().horizontalAdvance(QStringLiteral("00000000 matches…")));
    layout->addWidget(m_count);
    auto *closeButton = new QToolButton(this);
    closeButton->setText(QStringLiteral("\u2715"));
    closeButton->setToolTip(tr("Close (Esc)"));
    layout->addWidget(closeButton);

    connect(m_edit, &QLineEdit::textChanged, this, &FindBar::restart);
    connect(m_case, &QToolButton::toggled, this, &FindBar::restart);
    connect(previous, &QToolButton::clicked, this, &FindBar::findPrevious);
    connect(next, &QToolButton::clicked, this, &FindBar::findNext);
    connect(closeButton, &QToolButton::clicked, this, &FindBar::close);
    connect(m_view, &LogView::logUpdated, this, &FindBar::onLogUpdated);
    hide();
}

FindBar::~FindBar() = default;

void FindBar::open()
{
    const SessionLog *log = m_view->log();
    if (log && (!m_search || &m_search->log() != log)) {
        m_search = std::make_unique<LogSearch>(*log);
        connect(m_search.get(), &LogSearch::firstFound, this, [this](qsizetype at) {
            if (m_awaitingFirst)
                show(at);
        });
        connect(m_search.get(), &LogSearch::countChanged, this, &FindBar::showCount);
    }
    QWidget::show();
    raise();
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
    restart();
}

void FindBar::close()
{
    hide();
    m_view->placeOverlays();
    if (m_search)
        m_search->stop();
    m_current = -1;
    m_view->setFindHighlight(GbkFinder());
    m_view->setFocus(Qt::OtherFocusReason);
}

QString FindBar::text() const
{
    return m_edit->text();
}

void FindBar::setText(const QString &text)
{
    m_edit->setText(text);
}

void FindBar::setCaseSensitive(bool on)
{
    m_case->setChecked(on);
}

qsizetype FindBar::count() const
{
    return m_search ? m_search->count() : 0;
}

bool FindBar::isCounted() const
{
    return m_search && m_search->isCounted();
}

QString FindBar::countText() const
{
    return m_count->text();
}

void FindBar::restart()
{
    if (!isVisible() || !m_search)
        return;
    m_finder = GbkFinder(ToCodePage936(m_edit->text()), m_case->isChecked());
    m_current = -1;
    m_awaitingFirst = !m_finder.isEmpty();
    // From the top of the screen, as the eye reads.
    m_search->start(m_finder, m_view->firstVisiblePosition());
    m_view->setFindHighlight(m_finder);
    m_count->clear();
}

void FindBar::show(qsizetype match)
{
    m_awaitingFirst = false;
    m_current = match;
    m_view->setFindHighlight(m_finder, match);
    if (match >= 0)
        m_view->ensurePositionVisible(match);
}

void FindBar::showCount()
{
    if (m_finder.isEmpty() || !m_search) {
        m_count->clear();
        return;
    }
    const qsizetype n = m_search->count();
    const bool counted = m_search->isCounted();
    if (n == 0 && counted)
        m_count->setText(tr("No matches"));
    else
        m_count->setText((n == 1 ? tr("1 match") : tr("%1 matches").arg(n)) + (counted ? QString() : QStringLiteral("…")));
}

void FindBar::findNext()
{
    // Nothing to go to when the count says there is nothing.
    if (!m_search || m_finder.isEmpty() || (m_search->isCounted() && m_search->count() == 0))
        return;
    const qsizetype from = m_current >= 0 ? m_current + m_finder.length() : m_view->firstVisiblePosition();
    const qsizetype at = m_search->next(from);
    if (at >= 0)
        show(at);
}

void FindBar::findPrevious()
{
    // Nothing to go to when the count says there is nothing.
    if (!m_search || m_finder.isEmpty() || (m_search->isCounted() && m_search->count() == 0))
        return;
    const qsizetype from = m_current >= 0 ? m_current : m_view->firstVisiblePosition();
    const qsizetype at = m_search->previous(from);
    if (at >= 0)
        show(at);
}

void FindBar::onLogUpdated()
{
    if (!m_search || !m_search->isActive())
        return;
    // A cleared log takes its matches with it.
    if (m_current >= m_view->log()->size()) {
        m_current = -1;
        m_awaitingFirst = true;
        m_view->setFindHighlight(m_finder);
    }
    m_search->logChanged();
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier)
                findPrevious();
            else
                findNext();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FindBar::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_F3) {
        if (event->modifiers() & Qt::ShiftModifier)
            findPrevious();
        else
            findNext();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
