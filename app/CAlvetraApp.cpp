#include "CAlvetraApp.h"

#include "Acknowledgements.h"
#include "CAboutBox.h"
#include "CAlvetraDoc.h"
#include "CAlvetraView.h"
#include "CMainFrame.h"
#include "Notifier.h"
#include "SignalHandler.h"
#include "SingleInstance.h"
#include "StationMonitor.h"
#include "TrayIcon.h"
#include "TroubleCommand.h"
#include "dispatch/PassedHook.h"
#include "dispatch/PrintQueue.h"
#include "dispatch/ProcessMessage.h"
#include "doors/Doors.h"
#include "hooks/HookRunner.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QMessageBox>
#include <QPrinter>
#include <QPrinterInfo>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// The framework's spellings of the print switches, /p and /pt, as options the parser knows;
// it would take them for file names otherwise.
QStringList WithPrintSwitchesAsOptions(QStringList arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i].compare(QLatin1String("/p"), Qt::CaseInsensitive) == 0)
            arguments[i] = QStringLiteral("--print");
        else if (arguments[i].compare(QLatin1String("/pt"), Qt::CaseInsensitive) == 0)
            arguments[i] = QStringLiteral("--print-to");
    }
    return arguments;
}

int PrintFailed(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
    return 1;
}

// Prints the log file `path` on the printer named `printerName`, or on the default printer,
// with no window and no dialog. The exit code: 0 once the job is handed to the printer, 1 with
// the reason on standard error otherwise. The ports stay closed: printing a file has no use
// for them, and another Alvetra may be holding them.
int PrintFromCommandLine(const QString &path, const QString &printerName)
{
    if (path.isEmpty())
        return PrintFailed(QStringLiteral("Alvetra: name the RTF log file to print."));
    const QPrinterInfo info = printerName.isEmpty() ? QPrinterInfo::defaultPrinter()
                                                    : QPrinterInfo::printerInfo(printerName);
    if (info.isNull()) {
        if (!printerName.isEmpty())
            return PrintFailed(
                QStringLiteral("Alvetra: there is no printer named %1.").arg(printerName));
        if (QPrinterInfo::availablePrinterNames().isEmpty())
            return PrintFailed(QStringLiteral("Alvetra: no printer is installed."));
        return PrintFailed(QStringLiteral("Alvetra: no default printer is set; name one with "
                                          "--print-to."));
    }
    CAlvetraDoc document;
    QString error;
    if (!document.OnOpenDocument(path, &error))
        return PrintFailed(error);
    document.SetTitle(QFileInfo(path).fileName());
    QPrinter printer(info, QPrinter::HighResolution);
    if (!document.Print(printer))
        return PrintFailed(QStringLiteral("Alvetra: %1 could not be printed on %2.")
                               .arg(path, info.printerName()));
    return 0;
}

// A window started minimized, or on a platform that never shows it, is not painted.
constexpr std::chrono::milliseconds kAfterFirstPaintAtLatest{1000};

// The running program, for the end at exit(); null before its windows and after its destructor.
CAlvetraApp *g_running = nullptr;

void EndAtExit()
{
    if (g_running)
        g_running->EndWithoutDisplay();
}

QtMessageHandler g_nextHandler = nullptr;

// Qt's X11 plugin says this just before its exit(1). Ending here, before exit() begins, has
// every static object of Qt and SQLite still alive; at exit the ones made after our atexit
// handler are gone before it runs.
void WatchForTheDisplayGoing(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // Never null: Qt hands back its default handler when no other was installed.
    if (g_nextHandler)
        g_nextHandler(type, context, text);
    if (type == QtWarningMsg && text.contains(QLatin1String("X11 connection broke")))
        EndAtExit();
}

} // namespace

CAlvetraApp::CAlvetraApp(int &argc, char **argv)
    : QApplication(argc, argv)
    , m_receiver([](const QByteArray &message, const QDateTime &receivedAt) {
        // Passed or filtered, the line brings what it should; a malformed frame may be noise.
        if (ProcessMessage(message, receivedAt).m_fate != JournalFate::Malformed)
            if (CAlvetraView *view = CAlvetraApp::Instance()->View())
                view->Watch().OnMessageFramed();
    })
    , m_notifier(std::make_unique<Notifier>())
    , m_acknowledgements(std::make_unique<Acknowledgements>(*m_notifier, m_troubles))
{
    m_receiver.SetDropHandler(&RecordDroppedMessage);
    setApplicationName(QStringLiteral("Alvetra"));
    setApplicationVersion(QStringLiteral(ALVETRA_VERSION));
}

CAlvetraApp::~CAlvetraApp()
{
    g_running = nullptr;
    // STOPPING to systemd, and no more answers from a program that is taking itself down.
    m_monitor.reset();
    // The outputs of messages that waited for their row run now, while the doors still answer
    // them and their results can still be kept; then the print jobs that will not be printed
    // are kept as such; then the journal writes what it holds.
    // Never waits for the network: a batch in flight is sent again by the next run.
    m_shipper.reset();
    if (m_journal)
        m_journal->RunHeldOutputs();
    StopPrinting();
    m_journal.reset();
    // The windows and the services go after this; whatever they log on the way goes to
    // standard error, not to a log that is being taken down.
    InstallDoors(nullptr);
}

CAlvetraApp *CAlvetraApp::Instance()
{
    return static_cast<CAlvetraApp *>(QCoreApplication::instance());
}

CAlvetraView *CAlvetraApp::View() const
{
    return m_frame && !m_displayGone ? m_frame->View() : nullptr;
}

bool CAlvetraApp::InitInstance(const QStringList &arguments)
{
    InstallDoors(&m_doors);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Alvetra filters EDIS alert messages arriving on a serial line."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("An RTF file to open as the log, or to print."),
                                 QStringLiteral("[file]"));
    // -pt must stay one option, not -p and -t.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption printOption(
        {QStringLiteral("p"), QStringLiteral("print")},
        QStringLiteral("Print the file on the default printer without a dialog, then end "
                       "(also /p)."));
    const QCommandLineOption printToOption(
        {QStringLiteral("pt"), QStringLiteral("print-to")},
        QStringLiteral("Print the file on <printer> without a dialog, then end (also /pt)."),
        QStringLiteral("printer"));
    const QCommandLineOption minimizedOption(
        QStringLiteral("minimized"),
        QStringLiteral("Start with the window minimized, as when started at log-in."));
    parser.addOption(printOption);
    parser.addOption(printToOption);
    parser.addOption(minimizedOption);
    // Taken by main() before this application is made; here for --help to list them.
    parser.addOption({QStringLiteral("export-journal"),
                      QStringLiteral("Write the journal as CSV to <file>, then end; no window "
                                     "system is needed."),
                      QStringLiteral("file")});
    parser.addOption({QStringLiteral("since"),
                      QStringLiteral("With --export-journal: rows received at or after <when>, "
                                     "an ISO 8601 date or date-time, local unless it has an "
                                     "offset."),
                      QStringLiteral("when")});
    parser.addOption({QStringLiteral("until"),
                      QStringLiteral("With --export-journal: rows received before <when>."),
                      QStringLiteral("when")});
    parser.addOption({QStringLiteral("central"),
                      QStringLiteral("With --export-journal: export from the central journal, "
                                     "every station's rows, with the station first.")});
    parser.addOption({QStringLiteral("station"),
                      QStringLiteral("With --export-journal --central: only the rows of the "
                                     "station <name>."),
                      QStringLiteral("name")});
    parser.addOption({QStringLiteral("spreadsheet"),
                      QStringLiteral("With --export-journal: write for a spreadsheet, as the "
                                     "History window's export does: a field that begins as a "
                                     "formula (=, +, -, @, tab, carriage return) gets a leading "
                                     "'. Without it values are written as they are.")});
    // --help and --version print and end the program before anything is loaded.
    parser.process(WithPrintSwitchesAsOptions(arguments));

    // Printing a file needs neither the settings nor the filter criteria, nor any window.
    if (parser.isSet(printOption) || parser.isSet(printToOption)) {
        m_exitCode = PrintFromCommandLine(parser.positionalArguments().value(0),
                                          parser.value(printToOption));
        return false;
    }

    // No OLE on this platform: nothing can fail before the settings.
    setOrganizationName(QStringLiteral("Dorvane"));

    // Before anything opens a port or a file that a running copy holds.
    if (!m_instance) {
        m_instance = std::make_unique<SingleInstance>();
        QString error;
        switch (m_instance->Claim(&error)) {
        case SingleInstance::Outcome::Raised:
            m_exitCode = 0;
            return false;
        case SingleInstance::Outcome::NotAnswering:
            std::fprintf(stderr, "%s\n", qPrintable(error));
            m_exitCode = 1;
            return false;
        case SingleInstance::Outcome::First:
        case SingleInstance::Outcome::NoBus:
            break;
        }
        connect(m_instance.get(), &SingleInstance::RaiseRequested, this, &CAlvetraApp::RaiseWindow);
    }

    m_generalSettings.Load();
    // Said in the log once it exists: the program runs on the values read either way.
    const QString settingsFailure = m_generalSettings.Save();

    // Counts every frame and every run of the command from the first.
    if (!m_monitor) {
        m_monitor = std::make_unique<StationMonitor>();
        m_receiver.SetMessageHandler([this](const QByteArray &message, const QDateTime &at) {
            const FrameOutcome outcome = ProcessMessage(message, at);
            // Passed or filtered, the line brings what it should; a malformed frame may be noise.
            if (outcome.m_fate != JournalFate::Malformed)
                if (CAlvetraView *view = View())
                    view->Watch().OnMessageFramed();
            // Gone at the end, while the ports hand over what they read last.
            if (m_monitor)
                m_monitor->CountFrame(outcome.m_fate, outcome.m_handling);
        });
        m_receiver.SetDropHandler([this](const QByteArray &partial,
                                         MessageReceiver::DropReason reason, const QDateTime &at) {
            const JournalFate fate = RecordDroppedMessage(partial, reason, at);
            if (m_monitor)
                m_monitor->CountFrame(fate, 0);
        });
        connect(this, &QCoreApplication::aboutToQuit, m_monitor.get(), &StationMonitor::Stopping);
    }

    // Before the ports open: a signal from now on ends the program in order, not on the spot.
    if (!m_signals) {
        m_signals = std::make_unique<SignalHandler>();
        connect(m_signals.get(), &SignalHandler::EndRequested, this, &CAlvetraApp::EndInOrder);
    }

    // Before the ports open, so that the line's first events are kept.
    m_journalSettings = LoadJournalSettings(GetProgramFolder());
    if (!m_troubleCommand)
        m_troubleCommand = std::make_unique<TroubleCommand>(m_troubles);
    if (m_journalSettings.m_enabled) {
        m_journal = std::make_unique<Journal>();
        WatchJournal();
        if (m_generalSettings.m_central.IsSet())
            m_journal->KeepUnshippedRows(CentralShipper::kUnshippedExtraDays);
        m_journal->Start(m_journalSettings.m_path, m_journalSettings.m_keepDays);
        StartShipping();
    }
    // Before the writer reads back what an earlier run left waiting.
    m_acknowledgements->SetJournal(m_journal.get());
    // Each run of the station's command joins its message's row.
    SetPassedHookResultHandler([](const HookResult &result) {
        if (StationMonitor *monitor = Instance()->Monitor())
            monitor->CountHookRun(result.m_outcome);
        Journal *journal = ::GetJournal();
        if (journal == nullptr || result.m_tag == 0)
            return;
        const bool ok = result.m_outcome == HookOutcome::Succeeded;
        journal->RecordOutput({result.m_tag, JournalOutputKind::Hook,
                               result.m_endedAt.isValid() ? result.m_endedAt.toUTC()
                                                          : QDateTime::currentDateTimeUtc(),
                               ok, ok ? QStringLiteral("exit code 0") : result.m_failure});
    });

    // So does each print job's outcome.
    SetPrintResultHandler(
        [](quint64 tag, bool printed, const QString &result, const QDateTime &at) {
            RecordOutputResult({tag, JournalOutputKind::Printer, at, printed, result});
        });

    // The user must know the criteria are not what was saved; start-up goes on with what could
    // be read, and says so once the log exists.
    const QString filterFailure = m_filterSettings.Load();

    const QStringList files = parser.positionalArguments();
    m_doc = std::make_unique<CAlvetraDoc>();
    if (!files.isEmpty()) {
        // The log is read before any window exists; the view then opens the ports as usual.
        QString error;
        if (!m_doc->OnOpenDocument(files.first(), &error)) {
            m_doc.reset();
            std::fprintf(stderr, "%s\n", qPrintable(error));
            QMessageBox::critical(nullptr, QStringLiteral("Alvetra"), error);
            m_exitCode = 1;
            return false;
        }
    }

    if (!CreateWindows())
        return false;
    // From here on a running program has lines, a journal and held outputs to end in order,
    // whoever calls exit().
    g_running = this;
    static const bool endsAtExit = std::atexit(EndAtExit) == 0;
    Q_UNUSED(endsAtExit);
    if (!g_nextHandler)
        g_nextHandler = qInstallMessageHandler(WatchForTheDisplayGoing);
    // The tray asks the window system and the session bus whether there is one, and draws its
    // icon: none of it is needed for the window's first paint, which it would delay.
    m_frame->View()->viewport()->installEventFilter(this);
    QTimer::singleShot(kAfterFirstPaintAtLatest, this, &CAlvetraApp::StartAfterFirstPaint);
    if (!settingsFailure.isEmpty())
        LogError(settingsFailure);
    if (parser.isSet(minimizedOption))
        m_frame->showMinimized();
    else
        m_frame->showNormal();
    // The window is up and the lines are open or being tried: ready, for systemd.
    m_monitor->Start();
    if (!filterFailure.isEmpty()) {
        ReportStartUpFailure(filterFailure);
        const FilterSettings &criteria = m_filterSettings;
        if (criteria.m_handling.isEmpty() || criteria.m_regions.isEmpty()
            || (criteria.m_sources.isEmpty() && criteria.m_anySource == 0))
            LogWarning(QStringLiteral("No filter criteria could be read from flt.dat: no message "
                                      "will pass until they are set in Filter Settings."));
    }
    return true;
}

bool CAlvetraApp::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint && m_frame && watched == m_frame->View()->viewport()) {
        watched->removeEventFilter(this);
        // Once this paint is done and shown.
        QTimer::singleShot(0, this, &CAlvetraApp::StartAfterFirstPaint);
    }
    return QApplication::eventFilter(watched, event);
}

void CAlvetraApp::StartAfterFirstPaint()
{
    if (m_tray || m_ending || !m_frame)
        return;
    m_tray = std::make_unique<TrayIcon>(*m_notifier);
    connect(m_tray.get(), &TrayIcon::Activated, this, &CAlvetraApp::RaiseWindow);
    connect(m_tray.get(), &TrayIcon::AcknowledgeAllRequested, this,
            [this] { m_acknowledgements->AcknowledgeAll(AcknowledgedFrom::Tray); });
}

void CAlvetraApp::ReportStartUpFailure(const QString &text)
{
    LogError(text);
    // Shown, not run: a station that restarts unattended must not stay deaf until someone
    // clicks. A child of the window, so that it goes when the window is closed.
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Alvetra"), text,
                                QMessageBox::Ok, m_frame.get());
    box->setObjectName(QStringLiteral("startUpFailure"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void CAlvetraApp::RaiseWindow()
{
    if (!m_frame)
        return;
    if (m_frame->isMinimized() || !m_frame->isVisible())
        m_frame->showNormal();
    m_frame->raise();
    m_frame->activateWindow();
}

void CAlvetraApp::EndInOrder()
{
    if (m_ending)
        return;
    m_ending = true;
    if (m_monitor)
        m_monitor->Stopping();
    // Closing the window stops the ports, which hand over what they read before they go.
    if (m_frame)
        m_frame->close();
    GetInPort().StopThread();
    GetOutPort().StopThread();
    // Ends any dialog's loop as well as the main one: nobody is there to answer it.
    exit(0);
}

void CAlvetraApp::EndWithoutDisplay()
{
    // exit() on another thread: the window's thread runs on meanwhile and owns all of this.
    if (QThread::currentThread() != thread())
        return;
    g_running = nullptr;
    m_ending = true;
    m_displayGone = true;
    m_monitor.reset();
    // As the window's close and the destructor do it, in their order.
    m_inPort.StopThread();
    m_outPort.StopThread();
    m_shipper.reset();
    if (m_journal)
        m_journal->RunHeldOutputs();
    StopPrinting();
    m_journal.reset();
    InstallDoors(nullptr);
}

bool CAlvetraApp::CreateWindows()
{
    if (!m_doc)
        m_doc = std::make_unique<CAlvetraDoc>();
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    m_frame->View()->OnInitialUpdate();
    return true;
}

void CAlvetraApp::WatchJournal()
{
    Journal *journal = m_journal.get();
    connect(journal, &Journal::WritingStopped, this, [this](const QString &line) {
        // The row waits with the others and tells, once written, where the gap began.
        const quint64 row = RecordLineEvent(0, JournalLineEvent::JournalStopped);
        m_troubles.Begin(
            {TroubleKind::Journal, QDateTime::currentDateTime(), 0, m_journal->Path(), line, row});
    });
    connect(journal, &Journal::WritingAgain, this, [this](const QString &line) {
        m_troubles.End(TroubleKind::Journal, line,
                       RecordLineEvent(0, JournalLineEvent::JournalWritingAgain));
    });
    connect(journal, &Journal::UncleanRunFound, this, [this](const JournalUncleanRun &run) {
        const QDateTime last = run.m_lastRow.isValid() ? run.m_lastRow : run.m_started;
        const QString line
            = QStringLiteral(
                  "Alvetra did not end in order when it last ran (started %1, process "
                  "%2): a crash, a kill, the watchdog or a power cut. Its last row in the journal "
                  "was kept at %3; what the line brought after that until this start "
                  "may be lost.")
                  .arg(run.m_started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
                  .arg(run.m_pid)
                  .arg(last.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        LogError(line);
        const quint64 row = RecordLineEvent(
            0, JournalLineEvent::UncleanEnd,
            QStringLiteral("last row at %1").arg(last.toLocalTime().toString(Qt::ISODate)));
        m_troubles.Begin({TroubleKind::UncleanEnd, last, 0, QString(), line, row});
        m_troubles.End(TroubleKind::UncleanEnd, line);
    });
}

void CAlvetraApp::StartShipping()
{
    const CentralSettings &central = m_generalSettings.m_central;
    if (!central.IsSet() || m_shipper || !m_journal)
        return;
    m_shipper = std::make_unique<CentralShipper>();
    connect(m_journal.get(), &Journal::RowsCommitted, m_shipper.get(), &CentralShipper::Wake);
    connect(m_shipper.get(), &CentralShipper::ShippingStopped, this, [this](const QString &line) {
        m_troubles.Begin(
            Trouble{TroubleKind::Shipping, QDateTime::currentDateTimeUtc(), 0, {}, line});
    });
    connect(m_shipper.get(), &CentralShipper::ShippingResumed, this,
            [this](const QString &line) { m_troubles.End(TroubleKind::Shipping, line); });
    m_shipper->Start(central, m_journalSettings.m_path, m_generalSettings.m_stationName,
                     CentralShipper::DefaultHolder());
}

Journal *CAlvetraApp::GetJournal() const
{
    // Also while its file cannot be written: the rows wait for it, and the outputs of passed
    // messages keep their order through its AfterCommit.
    return m_journal.get();
}

void CAlvetraApp::OnAppAbout()
{
    CAboutBox about;
    about.exec();
}
