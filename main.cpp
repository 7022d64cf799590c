#include "app/CAlvetraApp.h"

int main(int argc, char *argv[])
{
    if (CAlvetraApp::IsJournalExport(argc, argv)) {
        QCoreApplication app(argc, argv);
        return CAlvetraApp::ExportJournal(app.arguments());
    }
    CAlvetraApp app(argc, argv);
    if (!app.InitInstance(app.arguments()))
        return app.ExitCode();
    return app.exec();
}
