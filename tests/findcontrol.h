#pragma once

#include <QWidget>

// A named control of a window; a missing one ends the test run at once.
template <typename T> T *FindControl(QWidget &w, const char *name)
{
    T *child = w.findChild<T *>(QLatin1String(name));
    if (!child)
        qFatal("no control %s", name);
    return child;
}
