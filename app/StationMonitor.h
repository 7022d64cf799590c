#pragma once

#include "hooks/HookRunner.h"
#include "journal/JournalRecord.h"
#include "monitor/HttpServer.h"
#include "monitor/StationFigures.h"
#include "monitor/SystemdNotifier.h"
#include "monitor/ThreadPulse.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <atomic>
#include <memory>

class SerialPort;

// The station seen from afar: the word to systemd (READY, STATUS with the two status panes'
// texts, STOPPING, and the watchdog's pings while the window's thread and the input port's
// thread turn), and, where [Monitor] Listen names an address, /metrics and /health over HTTP.
// The server's thread never asks the window's thread: it reads counters and a snapshot that
// the window's thread keeps current every kPulse, the ports' own counters, and the window's
// pulse, so that it answers at once and truthfully while the window's thread is held (the
// stall is then what it reports). Public functions: GUI thread.
class StationMonitor : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kPulse{250};

    explicit StationMonitor(QObject *parent = nullptr);
    // The word STOPPING, if not yet said; then the server and the notifier end.
    ~StationMonitor() override;

    // Once the window is up and the lines are set up (open or being tried): READY, and the
    // server if the settings name an address.
    void Start();
    // The orderly end has begun.
    void Stopping();

    void CountFrame(JournalFate fate, char handling);
    void CountHookRun(HookOutcome outcome);

    // The port served on, 0 for none.
    quint16 ListeningPort() const { return m_server.Port(); }

private:
    // What the window's thread knows and the server's thread reads.
    struct Published
    {
        StationFigures::Line input;
        StationFigures::Line output;
        qint64 outputQueuedBytes = 0;
        int printJobsWaiting = 0;
        QByteArray journalState;
        qint64 journalRowsWaiting = 0;
        int alertsWaiting = 0;
        int alertsEscalated = 0;
        qint64 oldestAlertMSecs = 0;
        QByteArray centralState = "off";
        qint64 centralRowsWaiting = 0;
        QList<std::pair<QByteArray, QString>> troubles;
        QString station;
    };

    void OnPulse();
    void Publish();
    // Starts, restarts or stops the server as the setting now says.
    void FollowListenSetting();
    // Server thread.
    StationFigures Figures() const;
    HttpServer::Response Answer(const QByteArray &path) const;

    static constexpr int kFates = 6;
    static constexpr int kOutcomes = 7;
    std::array<std::atomic<quint64>, kFates> m_frames{};
    std::array<std::atomic<quint64>, 256> m_passed{};
    std::array<std::atomic<quint64>, kOutcomes> m_hookRuns{};
    std::atomic<qint64> m_lastFramedMSecs{0};
    std::atomic<qint64> m_lastPassedMSecs{0};
    const qint64 m_startMSecs;
    const QString m_version;
    // Read from the server's thread by its own atomics only; outlives this object.
    const SerialPort &m_input;

    ThreadPulse m_windowPulse{kPulse};
    QTimer m_pulse;
    mutable QMutex m_lock;
    Published m_published; // under m_lock

    std::unique_ptr<SystemdNotifier> m_notifier;
    bool m_stopping = false;
    HttpServer m_server;
    QString m_listening; // the setting the server follows now
};
