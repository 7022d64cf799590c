#include "StationMonitor.h"

#include "Acknowledgements.h"
#include "CAlvetraApp.h"
#include "CAlvetraView.h"
#include "central/CentralShipper.h"
#include "dispatch/PrintQueue.h"
#include "doors/Doors.h"
#include "journal/Journal.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <QDateTime>

namespace {

// By JournalFate, the frames' fates only.
constexpr const char *kFateWords[]
    = {"passed",          "filtered", "malformed", "dropped_by_bound", "dropped_after_silence",
       "cut_by_lost_line"};
// By HookOutcome.
constexpr const char *kOutcomeWords[]
    = {"succeeded", "failed", "killed", "not_started", "timed_out", "refused", "flooded"};

// The shipper's states by number, as the metrics name them.
static_assert(std::size(StationFigures::kCentralStates)
              == std::size_t(CentralShipper::State::ShippedElsewhere) + 1);

QByteArray TroubleWord(TroubleKind kind)
{
    switch (kind) {
    case TroubleKind::InputLine:
        return "input_line";
    case TroubleKind::Silence:
        return "silence";
    case TroubleKind::NoFrames:
        return "no_frames";
    case TroubleKind::OutputDraining:
        return "output_draining";
    case TroubleKind::Journal:
        return "journal";
    case TroubleKind::UncleanEnd:
        return "unclean_end";
    case TroubleKind::AlertsWaiting:
        return "alerts_waiting";
    case TroubleKind::Shipping:
        return "shipping";
    }
    return "other";
}

constexpr TroubleKind kTroubleKinds[]
    = {TroubleKind::InputLine,      TroubleKind::Silence, TroubleKind::NoFrames,
       TroubleKind::OutputDraining, TroubleKind::Journal, TroubleKind::UncleanEnd,
       TroubleKind::AlertsWaiting,  TroubleKind::Shipping};

double Seconds(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

} // namespace

StationMonitor::StationMonitor(QObject *parent)
    : QObject(parent)
    , m_startMSecs(QDateTime::currentMSecsSinceEpoch())
    , m_version(QCoreApplication::applicationVersion())
    , m_input(GetInPort())
{
    m_pulse.setInterval(kPulse);
    connect(&m_pulse, &QTimer::timeout, this, &StationMonitor::OnPulse);
}

StationMonitor::~StationMonitor()
{
    Stopping();
    m_server.Stop();
    m_notifier.reset();
}

void StationMonitor::Start()
{
    if (m_pulse.isActive())
        return;
    Troubles &troubles = CAlvetraApp::Instance()->GetTroubles();
    connect(&troubles, &Troubles::Began, this, &StationMonitor::Publish);
    connect(&troubles, &Troubles::Ended, this, &StationMonitor::Publish);
    Publish();
    m_pulse.start();
    FollowListenSetting();
    if (!SystemdNotifier::Wanted())
        return;
    const SerialPort *input = &m_input;
    m_notifier = std::make_unique<SystemdNotifier>(std::vector<SystemdNotifier::Proof>{
        [this]() -> std::optional<quint64> { return m_windowPulse.Beats(); },
        [input] { return input->Turns(); }});
    OnPulse();
    m_notifier->Ready();
}

void StationMonitor::Stopping()
{
    if (m_stopping)
        return;
    m_stopping = true;
    if (m_notifier)
        m_notifier->Stopping();
}

void StationMonitor::CountFrame(JournalFate fate, char handling)
{
    const int index = int(fate);
    if (index < 0 || index >= kFates)
        return;
    m_frames[index].fetch_add(1, std::memory_order_relaxed);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (fate == JournalFate::Passed || fate == JournalFate::Filtered)
        m_lastFramedMSecs.store(now, std::memory_order_relaxed);
    if (fate == JournalFate::Passed) {
        m_passed[static_cast<unsigned char>(handling)].fetch_add(1, std::memory_order_relaxed);
        m_lastPassedMSecs.store(now, std::memory_order_relaxed);
    }
}

void StationMonitor::CountHookRun(HookOutcome outcome)
{
    const int index = int(outcome);
    if (index >= 0 && index < kOutcomes)
        m_hookRuns[index].fetch_add(1, std::memory_order_relaxed);
}

void StationMonitor::OnPulse()
{
    m_windowPulse.Beat();
    Publish();
    FollowListenSetting();
}

void StationMonitor::Publish()
{
    Published now;
    const SerialPort &in = GetInPort();
    const SerialPort &out = GetOutPort();
    const GeneralSettings &settings = GetGeneralSettings();
    const Troubles &troubles = CAlvetraApp::Instance()->GetTroubles();
    CAlvetraView *view = GetLogView();
    now.input = {"input", in.PortNumber() != 0 ? in.PortNumber() : settings.m_inSerialPort, "up"};
    if (!in.ReconnectingSince().isNull())
        now.input.state = "reconnecting";
    else if (!in.IsDeviceOpen())
        now.input.state = "not_open";
    else if (troubles.IsOn(TroubleKind::NoFrames))
        now.input.state = "no_frames";
    else if (troubles.IsOn(TroubleKind::Silence) || (view && view->Watch().AlarmRaised()))
        now.input.state = "silent";
    now.output
        = {"output", out.PortNumber() != 0 ? out.PortNumber() : settings.m_outSerialPort, "up"};
    if (!out.ReconnectingSince().isNull())
        now.output.state = "reconnecting";
    else if (!out.RefusingSince().isNull())
        now.output.state = "not_draining";
    else if (!out.IsDeviceOpen())
        now.output.state = settings.m_sendToPort != 0 ? "not_open" : "off";
    now.outputQueuedBytes = out.UnsentBytes();
    now.printJobsWaiting = PrintJobsWaiting();
    Journal *journal = GetJournal();
    now.journalState = !journal ? "off" : journal->IsWorking() ? "writing" : "stopped";
    now.journalRowsWaiting = journal ? journal->RowsWaiting() : 0;
    const Acknowledgements &acknowledgements = CAlvetraApp::Instance()->GetAcknowledgements();
    now.alertsWaiting = acknowledgements.WaitingCount();
    now.alertsEscalated = acknowledgements.EscalatedCount();
    if (const QDateTime oldest = acknowledgements.OldestWaiting(); oldest.isValid())
        now.oldestAlertMSecs = oldest.toMSecsSinceEpoch();
    if (const CentralShipper *shipper = CAlvetraApp::Instance()->GetShipper()) {
        now.centralState = StationFigures::kCentralStates[int(shipper->GetState())];
        now.centralRowsWaiting = shipper->Waiting();
    }
    for (const Trouble &trouble : troubles.Current())
        now.troubles.append({TroubleWord(trouble.m_kind), trouble.m_text});
    now.station = settings.m_stationName;
    {
        QMutexLocker locker(&m_lock);
        m_published = std::move(now);
    }
    if (m_notifier && view)
        m_notifier->Status(view->Watch().InputPaneText() + QStringLiteral("; ")
                           + view->Watch().OutputPaneText());
}

void StationMonitor::FollowListenSetting()
{
    const QString listen = GetGeneralSettings().m_monitor.m_listen.trimmed();
    if (listen == m_listening)
        return;
    m_listening = listen;
    m_server.Stop();
    if (listen.isEmpty())
        return;
    const QString failure
        = m_server.Start(listen, {QByteArrayLiteral("/metrics"), QByteArrayLiteral("/health")},
                         [this](const QByteArray &path) { return Answer(path); });
    if (!failure.isEmpty())
        LogError(QStringLiteral("The monitoring cannot be served on %1: %2.").arg(listen, failure));
}

StationFigures StationMonitor::Figures() const
{
    StationFigures f;
    for (int i = 0; i < kFates; ++i)
        f.framesByFate.append({kFateWords[i], m_frames[i].load(std::memory_order_relaxed)});
    for (int c = 0; c < 256; ++c) {
        const quint64 count = m_passed[c].load(std::memory_order_relaxed);
        if (count != 0)
            f.passedByHandling.append({QChar::isLetterOrNumber(char32_t(c)) && c < 128
                                           ? QByteArray(1, char(c))
                                           : QByteArray("other"),
                                       count});
    }
    for (int i = 0; i < kOutcomes; ++i)
        f.hookRunsByResult.append(
            {kOutcomeWords[i], m_hookRuns[i].load(std::memory_order_relaxed)});
    const SerialPort &in = m_input;
    f.bytesRead = in.BytesRead();
    f.lastByteMSecs = in.LastReadMSecs();
    f.lastFramedMSecs = m_lastFramedMSecs.load(std::memory_order_relaxed);
    f.lastPassedMSecs = m_lastPassedMSecs.load(std::memory_order_relaxed);
    {
        QMutexLocker locker(&m_lock);
        f.input = m_published.input;
        f.output = m_published.output;
        f.outputQueuedBytes = m_published.outputQueuedBytes;
        f.printJobsWaiting = m_published.printJobsWaiting;
        f.journalState = m_published.journalState;
        f.journalRowsWaiting = m_published.journalRowsWaiting;
        f.alertsWaiting = m_published.alertsWaiting;
        f.alertsEscalated = m_published.alertsEscalated;
        f.oldestAlertMSecs = m_published.oldestAlertMSecs;
        f.centralState = m_published.centralState;
        f.centralRowsWaiting = m_published.centralRowsWaiting;
        f.troubles = m_published.troubles;
        f.station = m_published.station;
    }
    // Whether the port's thread still turns is its own word, true while the window is held.
    f.inputReading
        = f.input.state != "reconnecting" && f.input.state != "not_open" && in.Turns().has_value();
    for (const TroubleKind kind : kTroubleKinds)
        f.troubleKinds.append(TroubleWord(kind));
    const auto now = ThreadPulse::Clock::now();
    f.windowSilentSeconds = Seconds(m_windowPulse.Silent(now));
    f.longestStallSeconds = Seconds(m_windowPulse.LongestStall(now));
    f.startMSecs = m_startMSecs;
    f.version = m_version;
    return f;
}

HttpServer::Response StationMonitor::Answer(const QByteArray &path) const
{
    const StationFigures figures = Figures();
    if (path == "/metrics")
        return {200, "text/plain; version=0.0.4; charset=utf-8", MetricsText(figures)};
    const HealthReport health = Health(figures);
    return {health.healthy ? 200 : 503, "application/json", health.json};
}
