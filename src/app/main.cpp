#include "app/simulatedport.h"
#include "app/terminalapp.h"
#include "shell/webpanel.h"

#include <cstring>

int main(int argc, char **argv)
{
    if (PrintUsageWithoutDisplay(argc, argv))
        return 0;
    // The web panel may embed the maker's page (see WebPanel) unless
    // --no-web-view.
    bool webView = true;
    for (int i = 1; i < argc; ++i)
        webView = webView && std::strcmp(argv[i], "--no-web-view") != 0;
    if (webView)
        WebPanel::PrepareApplication();
    UseSimulatedModule(0, false, SimulatedModuleLineFromEnvironment());
    TerminalApp app(argc, argv);
    return app.InitInstance() ? app.exec() : 0;
}
