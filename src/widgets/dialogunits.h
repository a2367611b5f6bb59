#pragma once

#include <QRect>

class QFont;
class QWidget;

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

    // Places `dialog` and every child that carries a "dlu" rectangle property
    // from the dialog's font; the dialog gets a fixed size. Drop-down lists
    // keep their natural closed height (their dlu height is the open list's).
    static DialogUnits Apply(QWidget *dialog);
};
