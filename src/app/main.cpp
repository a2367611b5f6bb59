#include "app/simulatedport.h"
#include "app/terminalapp.h"
#include "shell/webpanel.h"

#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    // The web panel embeds the maker's page (see WebPanel) unless
    // --no-web-view. The web engine's process-wide settings come before the
    // application object: Chromium's engine refuses to run as root with its
    // sandbox on (as on build machines), and shares GL contexts.
    bool webView = true;
    for (int i = 1; i < argc; ++i)
        webView = webView && std::strcmp(argv[i], "--no-web-view") != 0;
    if (webView && WebPanel::WebViewAvailable()) {
        if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        WebPanel::EnableWebView(true);
    }
    UseSimulatedModule();
    TerminalApp app(argc, argv);
    return app.InitInstance() ? app.exec() : 0;
}
