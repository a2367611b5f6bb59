#pragma once

#include <QRect>

class QFont;

// Dialog units, the font-relative measure in which the windows are laid out:
// x units are a quarter of the font's average character width, y units an
// eighth of its height, converted as Windows does for a dialog's font.
struct DialogUnits
{
    int baseX = 6;  // average character width in pixels
    int baseY = 12; // character height in pixels

    static DialogUnits ForFont(const QFont &font);
    int ToPixelsX(int dlu) const;
    int ToPixelsY(int dlu) const;
    QRect ToPixels(const QRect &dlu) const;
    // The dialog units of a place given in this font's pixels (as the
    // Designer forms are, at the standard font).
    QRect FromPixels(const QRect &pixels) const;
};
