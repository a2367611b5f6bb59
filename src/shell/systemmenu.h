#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

// The window's system menu (the menu of its title bar's icon): Windows lets
// a program add items to it; elsewhere there is none to add to. One file for
// Windows, one for the other systems.

// Adds a separator and an item `text` that sends `command` (a multiple of
// 16 below 0xF000); false where the system has no such menu.
bool AddSystemMenuItem(QWidget *window, const QString &text, unsigned command);

// Whether a native message (as QWidget::nativeEvent has it) is the choice
// of the item that sends `command`.
bool IsSystemMenuCommand(const QByteArray &eventType, void *message, unsigned command);
