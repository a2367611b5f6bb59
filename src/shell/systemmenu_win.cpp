#include "shell/systemmenu.h"

#include <QWidget>

#include <windows.h>

bool AddSystemMenuItem(QWidget *window, const QString &text, unsigned command)
{
    const HMENU menu = ::GetSystemMenu(HWND(window->winId()), FALSE);
    if (!menu || text.isEmpty())
        return false;
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    return ::AppendMenuW(menu, MF_STRING, command, reinterpret_cast<LPCWSTR>(text.utf16()));
}

bool IsSystemMenuCommand(const QByteArray &, void *message, unsigned command)
{
    const MSG *msg = static_cast<const MSG *>(message);
    return msg->message == WM_SYSCOMMAND && (msg->wParam & 0xFFF0) == command;
}
