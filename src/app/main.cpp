#include "app/terminalapp.h"
#include "shell/webpanel.h"

#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    // --web-view embeds the web page in the panel (see WebPanel). Its
    // process-wide settings come before the application object: Chromium's
    // engine refuses to run as root with its sandbox on (as on build
    // machines), and shares GL contexts.
    bool webView = false;
    for (int i = 1; i < argc; ++i)
        webView = webView || std::strcmp(argv[i], "--web-view") == 0;
    if (webView && WebPanel::WebViewAvailable()) {
        if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        WebPanel::EnableWebView(true);
    }
    TerminalApp app(argc, argv);
    return app.InitInstance() ? app.exec() : 0;
}
