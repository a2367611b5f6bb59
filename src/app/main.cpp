#include "app/terminalapp.h"

int main(int argc, char **argv)
{
    TerminalApp app(argc, argv);
    return app.InitInstance() ? app.exec() : 0;
}
