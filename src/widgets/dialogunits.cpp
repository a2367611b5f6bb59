#include "widgets/dialogunits.h"

#include <QFontMetrics>
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

QRect DialogUnits::FromPixels(const QRect &pixels) const
{
    // Pixels of a place are rounded from its units; the nearest units are
    // the ones they came from as long as a unit is at least one pixel.
    const auto x = [this](int px) { return int(std::lround(double(px) * 4 / baseX)); };
    const auto y = [this](int px) { return int(std::lround(double(px) * 8 / baseY)); };
    const int left = x(pixels.x()), top = y(pixels.y());
    return QRect(left, top, x(pixels.x() + pixels.width()) - left, y(pixels.y() + pixels.height()) - top);
}
