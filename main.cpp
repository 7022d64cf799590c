#include "app/CAlvetraApp.h"

int main(int argc, char *argv[])
{
    CAlvetraApp app(argc, argv);
    if (!app.InitInstance(app.arguments()))
        return app.ExitCode();
    return app.exec();
}
