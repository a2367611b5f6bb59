#include "widgets/dialogunits.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QWidget>
#include <cmath>

DialogUnits DialogUnits::ForFont(const QFont &font)
{
    const QFontMetrics metrics(font);
    DialogUnits units;
    const int width =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    units.baseX = std::max(1, (width / 26 + 1) / 2);
    units.baseY = std::max(1, metrics.height());
    return units;
}

int DialogUnits::ToPixelsX(int dlu) const
{
    // MulDiv(dlu, baseX, 4), rounding half away from zero.
    return int(std::lround(double(dlu) * baseX / 4.0));
}

int DialogUnits::ToPixelsY(int dlu) const
{
    return int(std::lround(double(dlu) * baseY / 8.0));
}

QRect DialogUnits::ToPixels(const QRect &dlu) const
{
    const int left = ToPixelsX(dlu.x()), top = ToPixelsY(dlu.y());
    return QRect(left, top, ToPixelsX(dlu.x() + dlu.width()) - left, ToPixelsY(dlu.y() + dlu.height()) - top);
}

DialogUnits DialogUnits::Apply(QWidget *dialog)
{
    const DialogUnits units = ForFont(dialog->font());
    const auto children = dialog->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        const QVariant dlu = child->property("dlu");
        if (!dlu.isValid())
            continue;
        QRect rect = units.ToPixels(dlu.toRect());
        if (qobject_cast<QComboBox *>(child))
            rect.setHeight(child->sizeHint().height());
        // A label whose text is a little wider in this font than in the one
        // the layout was drawn for runs into the gap after it, not clipped.
        if (auto *label = qobject_cast<QLabel *>(child); label && !label->text().isEmpty())
            rect.setWidth(std::max(rect.width(), child->sizeHint().width()));
        child->setGeometry(rect);
    }
    const QVariant own = dialog->property("dlu");
    if (own.isValid()) {
        const QRect rect = units.ToPixels(own.toRect());
        dialog->setFixedSize(rect.size());
    }
    return units;
}
