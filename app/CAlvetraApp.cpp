#include "CAlvetraApp.h"

#include "CAboutBox.h"
#include "CAlvetraDoc.h"
#include "CAlvetraView.h"
#include "CMainFrame.h"
#include "doors/Doors.h"
#include "receiver/ProcessMessage.h"

#include <QCommandLineParser>
#include <QMessageBox>

#include <cstdio>

CAlvetraApp::CAlvetraApp(int &argc, char **argv)
    : QApplication(argc, argv)
    , m_receiver(&ProcessMessage)
{
    setApplicationName(QStringLiteral("Alvetra"));
    setApplicationVersion(QStringLiteral(ALVETRA_VERSION));
}

CAlvetraApp::~CAlvetraApp() = default;

CAlvetraApp *CAlvetraApp::Instance()
{
    return static_cast<CAlvetraApp *>(QCoreApplication::instance());
}

CAlvetraView *CAlvetraApp::View() const
{
    return m_frame ? m_frame->View() : nullptr;
}

bool CAlvetraApp::InitInstance(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Alvetra filters EDIS alert messages arriving on a serial line."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("An RTF log to open as the log."),
                                 QStringLiteral("[file]"));
    // --help and --version print and end the program before anything is loaded.
    parser.process(arguments);

    // No OLE on this platform: nothing can fail before the settings.
    setOrganizationName(QStringLiteral("Dorvane"));

    m_generalSettings.Load();
    m_generalSettings.Save();

    // Before any window: the user must know the criteria are not what was saved. Start-up goes
    // on with what could be read.
    const QString filterFailure = m_filterSettings.Load();
    if (!filterFailure.isEmpty())
        QMessageBox::warning(nullptr, QStringLiteral("Alvetra"), filterFailure);

    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty()) {
        const QString message
            = QStringLiteral("Cannot open %1: this build of Alvetra cannot read log files yet.")
                  .arg(files.first());
        std::fprintf(stderr, "%s\n", qPrintable(message));
        QMessageBox::critical(nullptr, QStringLiteral("Alvetra"), message);
        m_exitCode = 1;
        return false;
    }

    if (!CreateWindows())
        return false;
    m_frame->showNormal();
    return true;
}

bool CAlvetraApp::CreateWindows()
{
    m_doc = std::make_unique<CAlvetraDoc>();
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    m_frame->View()->OnInitialUpdate();
    return true;
}

void CAlvetraApp::OnAppAbout()
{
    CAboutBox about;
    about.exec();
}

MessageReceiver &GetReceiver()
{
    return CAlvetraApp::Instance()->m_receiver;
}

FilterSettings &GetFilterSettings()
{
    return CAlvetraApp::Instance()->m_filterSettings;
}

SerialPort &GetInPort()
{
    return CAlvetraApp::Instance()->m_inPort;
}

SerialPort &GetOutPort()
{
    return CAlvetraApp::Instance()->m_outPort;
}

GeneralSettings &GetGeneralSettings()
{
    return CAlvetraApp::Instance()->m_generalSettings;
}
