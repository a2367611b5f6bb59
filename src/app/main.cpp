#include "app/terminalapp.h"
#include "shell/webpanel.h"

#include <unistd.h>

int main(int argc, char **argv)
{
    if (WebPanel::WebViewAvailable()) {
        // Process-wide settings of the embedded web view, before the
        // application object: Chromium's engine refuses to run as root with
        // its sandbox on (as on build machines), and shares GL contexts.
        if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        WebPanel::EnableWebView(true);
    }
    TerminalApp app(argc, argv);
    return app.InitInstance() ? app.exec() : 0;
}
