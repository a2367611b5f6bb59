#include "widgets/commandcompleter.h"

#include "atinfo/atknowledge.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCompleter>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QToolTip>

#include <algorithm>

namespace {

// What choosing an entry puts in the box.
constexpr int kInsertRole = Qt::UserRole + 1;

// A form's syntax up to its first parameter: "AT+CMGS=<da>[,<toda>]" gives
// "AT+CMGS=", "ATD<dial string>[;]" gives "ATD".
QString Insertion(const QString &syntax)
{
    const qsizetype cut = syntax.indexOf(QRegularExpression(QStringLiteral("[<\\[]")));
    return (cut < 0 ? syntax : syntax.left(cut)).trimmed();
}

} // namespace

CommandCompleter::CommandCompleter(QLineEdit *box, Commands more)
    : QObject(box)
    , m_box(box)
    , m_more(std::move(more))
    , m_model(new QStandardItemModel(this))
    , m_completer(new QCompleter(m_model, this))
    , m_asYouType(new QAction(QStringLiteral("Complete as You Type"), this))
{
    m_completer->setWidget(box);
    m_completer->setCompletionRole(kInsertRole);
    m_completer->setCaseSensitivity(Qt::CaseInsensitive);
    m_completer->setFilterMode(Qt::MatchStartsWith);
    m_completer->setCompletionMode(QCompleter::PopupCompletion);
    m_completer->setMaxVisibleItems(12);
    m_completer->popup()->setAccessibleName(QStringLiteral("AT commands"));
    connect(m_completer, qOverload<const QModelIndex &>(&QCompleter::activated), this,
            [this](const QModelIndex &index) { insert(index.data(kInsertRole).toString()); });
    m_asYouType->setObjectName(QStringLiteral("completeAsYouTypeAction"));
    m_asYouType->setCheckable(true);
    m_asYouType->setToolTip(QStringLiteral("Offer the commands that complete what is typed after AT"));
    connect(box, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_asYouType->isChecked() && text.size() >= 3 && text.startsWith(QLatin1String("AT"), Qt::CaseInsensitive))
            offer();
    });
    box->installEventFilter(this);
}

void CommandCompleter::fill(const QString &prefix)
{
    m_model->clear();
    QStringList seen;
    // A command typed whole (AT+CMGS=1) completes no form: its own forms
    // are offered then.
    const AtCommandInfo *typed = AtKnowledge::Instance().Command(prefix);
    const auto add = [&](const QString &shown, const QString &inserted, const QString &tip) {
        auto *item = new QStandardItem(shown);
        item->setData(inserted, kInsertRole);
        item->setToolTip(tip);
        item->setEditable(false);
        m_model->appendRow(item);
    };
    // The set's and the history's commands first: what this module is sent.
    if (m_more) {
        for (const QString &command : m_more()) {
            if (command.isEmpty() || seen.contains(command, Qt::CaseInsensitive)
                || !command.startsWith(prefix, Qt::CaseInsensitive))
                continue;
            seen << command;
            add(command, command, QString());
        }
    }
    for (const AtCommandInfo &info : AtKnowledge::Instance().Commands()) {
        for (const AtForm &form : info.forms) {
            if (form.syntax.isEmpty())
                continue;
            const QString inserted = Insertion(form.syntax);
            if (!inserted.startsWith(prefix, Qt::CaseInsensitive) && !(typed && typed->name == info.name))
                continue;
            add(form.syntax + QStringLiteral("  ") + info.description, inserted, info.description);
        }
    }
}

bool CommandCompleter::offer()
{
    const QString prefix = m_box->text().left(m_box->cursorPosition());
    fill(prefix);
    m_completer->setCompletionPrefix(prefix);
    if (m_completer->completionCount() == 0) {
        // What was typed is no prefix of the typed command's forms: all
        // of them.
        m_completer->setCompletionPrefix(QString());
        if (m_model->rowCount() == 0) {
            m_completer->popup()->hide();
            return false;
        }
    }
    // Wide enough for the syntax and most of the description, at most
    // three times the box.
    QAbstractItemView *popup = m_completer->popup();
    const int wanted = popup->sizeHintForColumn(0) + popup->verticalScrollBar()->sizeHint().width() + 8;
    m_completer->complete(QRect(0, 0, std::clamp(wanted, m_box->width(), 3 * m_box->width()), m_box->height()));
    popup->setCurrentIndex(m_completer->completionModel()->index(0, 0));
    return true;
}

void CommandCompleter::insert(const QString &text)
{
    m_box->setText(text);
    m_box->setCursorPosition(int(text.size()));
}

QString CommandCompleter::entryText() const
{
    const AtCommandInfo *info = AtKnowledge::Instance().Command(m_box->text().trimmed());
    if (!info)
        return {};
    QStringList lines { info->DisplayName() + QStringLiteral(": ") + info->description };
    for (const AtForm &form : info->forms) {
        if (form.syntax.isEmpty())
            continue;
        lines << AtKnowledge::FormName(form.kind) + QStringLiteral(": ") + form.syntax
                + (form.response.isEmpty() ? QString() : QStringLiteral("  →  ") + form.response);
    }
    for (const AtParameter &p : info->parameters)
        lines << QStringLiteral("<%1> %2").arg(p.name, p.meaning);
    if (!info->source.isEmpty())
        lines << info->source;
    return lines.join(u'\n');
}

bool CommandCompleter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_box)
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Space && (key->modifiers() & Qt::ControlModifier)) {
            offer();
            return true;
        }
        if (key->key() == Qt::Key_F1) {
            const QString entry = entryText();
            if (!entry.isEmpty()) {
                QString html = entry.toHtmlEscaped();
                html.replace(u'\n', QStringLiteral("<br>"));
                QToolTip::showText(m_box->mapToGlobal(QPoint(0, m_box->height())),
                                   QStringLiteral("<p style='white-space:pre'>%1</p>").arg(html), m_box);
                m_box->setAccessibleDescription(entry);
            }
            return true;
        }
    } else if (event->type() == QEvent::ContextMenu) {
        // The box's own menu, with the completion's choice after it.
        QMenu *menu = m_box->createStandardContextMenu();
        menu->addSeparator();
        menu->addAction(m_asYouType);
        menu->exec(static_cast<QContextMenuEvent *>(event)->globalPos());
        delete menu;
        return true;
    }
    return QObject::eventFilter(watched, event);
}
