#include "widgets/dialoglayout.h"

#include <QComboBox>
#include <QLabel>
#include <QWidget>

DialogLayout::DialogLayout(QWidget *dialog)
    : QLayout(dialog)
{
    setContentsMargins(0, 0, 0, 0);
    setSpacing(0);
    const DialogUnits form; // the font the forms are drawn at
    m_units = DialogUnits::ForFont(dialog->font());
    m_formSize = m_units.ToPixels(form.FromPixels(QRect(QPoint(0, 0), dialog->size()))).size();
    const auto children = dialog->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        if (child->isWindow())
            continue;
        addWidget(child, m_units.ToPixels(form.FromPixels(child->geometry())),
                  ParseFollows(child->property("resize").toString()));
    }
    // The window opens at the form's size and never gets smaller.
    dialog->setMinimumSize(m_formSize);
    dialog->resize(m_formSize);
}

DialogLayout::~DialogLayout()
{
    for (Entry &e : m_entries)
        delete e.item;
}

DialogLayout::Follows DialogLayout::ParseFollows(const QString &text)
{
    Follows follows;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (word == QLatin1String("move-x"))
            follows |= MoveX;
        else if (word == QLatin1String("move-y"))
            follows |= MoveY;
        else if (word == QLatin1String("size-x"))
            follows |= SizeX;
        else if (word == QLatin1String("size-y"))
            follows |= SizeY;
        else
            qWarning("DialogLayout: unknown resize word \"%s\"", qPrintable(word));
    }
    return follows;
}

void DialogLayout::addWidget(QWidget *widget, const QRect &place, Follows follows)
{
    addChildWidget(widget);
    m_entries.push_back({ new QWidgetItem(widget), place, follows });
    invalidate();
}

void DialogLayout::addItem(QLayoutItem *item)
{
    // An item added the generic way stays where it is.
    const QRect place = item->widget() ? item->widget()->geometry() : item->geometry();
    m_entries.push_back({ item, place, {} });
    invalidate();
}

QLayoutItem *DialogLayout::itemAt(int index) const
{
    return index >= 0 && index < count() ? m_entries[size_t(index)].item : nullptr;
}

QLayoutItem *DialogLayout::takeAt(int index)
{
    if (index < 0 || index >= count())
        return nullptr;
    QLayoutItem *item = m_entries[size_t(index)].item;
    m_entries.erase(m_entries.begin() + index);
    return item;
}

QRect DialogLayout::formPlace(const QWidget *widget) const
{
    for (const Entry &e : m_entries)
        if (e.item->widget() == widget)
            return e.place;
    return QRect();
}

void DialogLayout::setGeometry(const QRect &rect)
{
    QLayout::setGeometry(rect);
    const int dx = std::max(0, rect.width() - m_formSize.width());
    const int dy = std::max(0, rect.height() - m_formSize.height());
    for (const Entry &e : m_entries) {
        QRect r = e.place.translated(rect.topLeft());
        r.translate(e.follows & MoveX ? dx : 0, e.follows & MoveY ? dy : 0);
        r.setSize(r.size() + QSize(e.follows & SizeX ? dx : 0, e.follows & SizeY ? dy : 0));
        QWidget *w = e.item->widget();
        if (!w) {
            e.item->setGeometry(r);
            continue;
        }
        // A drop-down list keeps its closed height (the form's height is the
        // open list's). A label whose text is a little wider in this font
        // than in the form's runs into the gap after it, not clipped.
        if (qobject_cast<QComboBox *>(w))
            r.setHeight(w->sizeHint().height());
        if (auto *label = qobject_cast<QLabel *>(w); label && !label->text().isEmpty())
            r.setWidth(std::max(r.width(), w->sizeHint().width()));
        // Straight to the widget: the form's sizes stand, whatever the
        // widgets' size policies would make of them.
        if (w->geometry() != r)
            w->setGeometry(r);
    }
}
