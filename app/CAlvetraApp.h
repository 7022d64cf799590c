#pragma once

#include "AppDoors.h"
#include "Troubles.h"
#include "central/CentralShipper.h"
#include "journal/Journal.h"
#include "journal/JournalSettings.h"
#include "receiver/MsgReciever.h"
#include "serial/SerialPort.h"
#include "settings/FilterSettings.h"
#include "settings/GeneralSettings.h"

#include <QApplication>
#include <QPointer>

#include <memory>

class CAlvetraDoc;
class CMainFrame;
class CAlvetraView;
class SignalHandler;
class SingleInstance;
class Notifier;
class TrayIcon;
class TroubleCommand;
class Acknowledgements;
class StationMonitor;

// The one application object. It owns the service objects for the whole run; the rest of the
// program reaches them through the five accessors of doors/Doors.h, which it fills in with
// AppDoors. GUI thread only.
class CAlvetraApp : public QApplication
{
    Q_OBJECT

public:
    CAlvetraApp(int &argc, char **argv);
    ~CAlvetraApp() override;

    // Start-up: the doors first, then settings, filter criteria, the command line, then the
    // document, the main window and the log view. False when the program should end at once with
    // ExitCode().
    bool InitInstance(const QStringList &arguments);
    int ExitCode() const { return m_exitCode; }

    // True when the command line asks for the journal's export, which needs no window system:
    // main() then makes a plain QCoreApplication and calls ExportJournal, never this class.
    static bool IsJournalExport(int argc, char **argv);
    // Writes the journal's rows as CSV, as `arguments` say (--export-journal FILE [--since WHEN]
    // [--until WHEN] [--spreadsheet] [--central [--station NAME]]: the central journal's rows).
    // The exit code: 0, or 1 with the reason on standard error.
    static int ExportJournal(const QStringList &arguments);

    static CAlvetraApp *Instance();
    CMainFrame *MainFrame() const { return m_frame.get(); }
    CAlvetraDoc *Document() const { return m_doc.get(); }
    // Null once the display is gone: log lines then go to standard error.
    CAlvetraView *View() const;
    // True while the program ends without its display (EndWithoutDisplay): nothing may touch a
    // window or the session bus any more.
    bool IsDisplayGone() const { return m_displayGone; }

    void OnAppAbout();

    // Ends the program as closing the window does, with exit code 0: every byte already read
    // from the input line is handled, the ports are stopped and their lock files removed.
    // What SIGTERM, SIGHUP and SIGINT do.
    void EndInOrder();
    // True once EndInOrder has begun: a command whose box was up when it came does nothing more.
    bool IsEnding() const { return m_ending; }
    // The orderly end for a program that exit() ends behind its back, as Qt's X11 plugin does
    // when the display's connection breaks: no destructor of this object will run, so the lines
    // are stopped, what they read handled, the held outputs run and the journal ended here,
    // touching no window and no bus. Run on the window's thread when Qt says the display's
    // connection broke, or by std::atexit for any other exit().
    void EndWithoutDisplay();
    // Shows the window, out of the tray or the task bar, in front of the others.
    void RaiseWindow();
    // Desktop notifications; always there, silent without a session bus.
    Notifier &Notifications() { return *m_notifier; }
    // The station's troubles on now, and the word of each as it begins and ends.
    Troubles &GetTroubles() { return m_troubles; }
    // The passed messages waiting for an operator's acknowledgement.
    Acknowledgements &GetAcknowledgements() { return *m_acknowledgements; }
    // The journal, or null when it is turned off; it may be unable to write for a while.
    Journal *GetJournal() const;
    const JournalSettings &GetJournalSettings() const { return m_journalSettings; }
    // The word to systemd and the monitoring served over HTTP; null before start-up.
    StationMonitor *Monitor() const { return m_monitor.get(); }
    // The shipper of the journal to the central database, or null when [Central] names none (or
    // no journal is kept): its State(), Waiting() rows and StateText() for whoever shows them.
    CentralShipper *GetShipper() const { return m_shipper.get(); }

private:
    // Before the services, so it outlives the port threads that may still be logging through
    // it when the application ends.
    AppDoors m_doors;

public:
    // Constructed in this order and destroyed in reverse; the order binds.
    MessageReceiver m_receiver;
    FilterSettings m_filterSettings;
    SerialPort m_inPort;
    SerialPort m_outPort;
    GeneralSettings m_generalSettings;

private:
    // After the services it records, before the windows that show it.
    JournalSettings m_journalSettings;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<CentralShipper> m_shipper;
    // Before the window, which tells it of troubles until it is gone.
    Troubles m_troubles;
    // The station's command for them: after them, before the window.
    std::unique_ptr<TroubleCommand> m_troubleCommand;

    bool CreateWindows();
    // Starts shipping the journal when [Central] names a server.
    void StartShipping();
    // What the window's first paint need not wait for: the tray. After that paint, or a second
    // after start-up at the latest.
    void StartAfterFirstPaint();
    bool eventFilter(QObject *watched, QEvent *event) override;

    // Start-up says what went wrong without waiting for anyone: a box to read when someone is
    // there, and the same text in the log for when nobody was.
    void ReportStartUpFailure(const QString &text);
    // The journal's troubles: writing stopped and again, and a run before this one that did
    // not end in order.
    void WatchJournal();

    // Declared after the services, so the windows go first when the application ends.
    std::unique_ptr<CAlvetraDoc> m_doc;
    std::unique_ptr<CMainFrame> m_frame;
    std::unique_ptr<SignalHandler> m_signals;
    std::unique_ptr<SingleInstance> m_instance;
    std::unique_ptr<Notifier> m_notifier;
    std::unique_ptr<Acknowledgements> m_acknowledgements;
    std::unique_ptr<TrayIcon> m_tray;
    // Its server's thread reads the ports' counters: it goes before them.
    std::unique_ptr<StationMonitor> m_monitor;
    int m_exitCode = 0;
    bool m_ending = false;
    bool m_displayGone = false;
};
