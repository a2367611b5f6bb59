#include "widgets/answertips.h"

#include "atinfo/atknowledge.h"
#include "atinfo/replydecoder.h"
#include "session/sessionlog.h"
#include "widgets/logview.h"

#include <QAccessible>
#include <QAction>
#include <QHelpEvent>
#include <QToolTip>

namespace {

bool StartsWithAt(const QByteArray &line)
{
    return line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') && (line[1] == 'T' || line[1] == 't');
}

bool IsPduHeader(const QByteArray &line)
{
    for (const char *prefix : {"+CMGR:", "+CMGL:", "+CMT:", "+CDS:"})
        if (line.startsWith(prefix))
            return true;
    return false;
}

bool IsHexText(const QByteArray &line)
{
    if (line.size() < 4 || line.size() % 2 != 0)
        return false;
    return std::all_of(line.begin(), line.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

// The command's entry in the table: its name, description and syntaxes.
QString CommandText(const QByteArray &line)
{
    const AtCommandInfo *info = AtKnowledge::Instance().Command(QString::fromLatin1(line));
    if (!info)
        return {};
    QStringList lines { info->DisplayName() + QStringLiteral(": ") + info->description };
    for (const AtForm &form : info->forms)
        if (!form.syntax.isEmpty())
            lines << form.syntax;
    return lines.join(u'\n');
}

} // namespace

AnswerTips::AnswerTips(LogView *view)
    : QObject(view)
    , m_view(view)
    , m_action(new QAction(QStringLiteral("Explain Answers"), this))
{
    m_action->setObjectName(QStringLiteral("explainAnswersAction"));
    m_action->setCheckable(true);
    m_action->setToolTip(QStringLiteral("Show what a line means when the mouse rests on it: signal in dBm, "
                                        "registration, errors in words, SMS read out"));
    view->viewport()->installEventFilter(this);
    connect(m_action, &QAction::toggled, this, [this](bool on) {
        if (!on) {
            QToolTip::hideText();
            m_view->setAccessibleDescription(QString());
        }
    });
    connect(view, &LogView::selectionChanged, this, [this] {
        if (isOn() && m_view->log())
            describe(m_view->lineIndex().lineAt(m_view->selectionCursor()));
    });
}

bool AnswerTips::isOn() const
{
    return m_action->isChecked();
}

QByteArray AnswerTips::lineBytes(qsizetype line) const
{
    const LineIndex &index = m_view->lineIndex();
    if (line < 0 || line >= index.lineCount() || !index.lineKnown(line))
        return {};
    QByteArray bytes = m_view->log()->Slice(index.lineStart(line), std::min<qsizetype>(index.lineLength(line), kMaxLineBytes));
    // Control bytes at either end (a CR the line break left, a SUB after a
    // message body) are no part of what is decoded.
    while (!bytes.isEmpty() && quint8(bytes.back()) < 0x20)
        bytes.chop(1);
    while (!bytes.isEmpty() && quint8(bytes.front()) < 0x20)
        bytes.remove(0, 1);
    return bytes;
}

QString AnswerTips::explainLine(qsizetype line) const
{
    if (!m_view->log())
        return {};
    const QByteArray text = lineBytes(line);
    if (text.isEmpty())
        return {};
    if (StartsWithAt(text))
        return CommandText(text);
    QByteArray command, previous;
    for (qsizetype l = line - 1; l >= 0 && l >= line - kContextLines; --l) {
        const QByteArray before = lineBytes(l);
        if (before.isEmpty())
            continue;
        if (previous.isEmpty())
            previous = before;
        if (StartsWithAt(before)) {
            command = before;
            break;
        }
    }
    const Decoded meaning = IsHexText(text) && IsPduHeader(previous)
        ? DecodeTransaction(command, { previous, text }, {})
        : DecodeReplyLine(text, command);
    return meaning.isEmpty() ? QString() : meaning.toText();
}

void AnswerTips::describe(qsizetype line)
{
    const QString text = explainLine(line);
    if (m_view->accessibleDescription() == text)
        return;
    m_view->setAccessibleDescription(text);
    QAccessibleEvent changed(m_view, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
}

bool AnswerTips::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::ToolTip || watched != m_view->viewport() || !isOn() || !m_view->log())
        return QObject::eventFilter(watched, event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const qsizetype line = m_view->lineIndex().lineAt(m_view->positionAt(help->pos()));
    const QString text = explainLine(line);
    if (text.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
    } else {
        // Plain text: the syntaxes' <da> and the like are no markup.
        QString html = text.toHtmlEscaped();
        html.replace(u'\n', QStringLiteral("<br>"));
        QToolTip::showText(help->globalPos(), QStringLiteral("<p style='white-space:pre'>%1</p>").arg(html),
                           m_view->viewport());
    }
    describe(line);
    return true;
}
