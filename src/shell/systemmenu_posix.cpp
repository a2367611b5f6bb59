#include "shell/systemmenu.h"

// The window managers of X11 and Wayland keep the title bar's menu to
// themselves.

bool AddSystemMenuItem(QWidget *, const QString &, unsigned)
{
    return false;
}

bool IsSystemMenuCommand(const QByteArray &, void *, unsigned)
{
    return false;
}
