#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// What the station's monitoring is told, as plain values: a snapshot the server's thread takes
// of what the window's and the ports' threads keep current. No message text and no header in
// it: the handling level is the one field of a message it counts by.
struct StationFigures
{
    struct Line
    {
        QByteArray role; // "input", "output"
        int com = 0;
        // One of kLineStates.
        QByteArray state;
    };
    static constexpr const char *kLineStates[]
        = {"up", "silent", "no_frames", "not_draining", "reconnecting", "not_open", "off"};

    // Counters since the start, by label value, in the order they are to be listed.
    QList<std::pair<QByteArray, quint64>> framesByFate;
    QList<std::pair<QByteArray, quint64>> passedByHandling;
    QList<std::pair<QByteArray, quint64>> hookRunsByResult;
    quint64 bytesRead = 0;
    Line input;
    Line output;
    bool inputReading = false; // the input line is open and its thread turns
    // Milliseconds since the epoch; 0 for none since the start.
    qint64 lastByteMSecs = 0;
    qint64 lastFramedMSecs = 0;
    qint64 lastPassedMSecs = 0;
    qint64 outputQueuedBytes = 0;
    int printJobsWaiting = 0;
    QByteArray journalState; // "writing", "stopped", "off"
    qint64 journalRowsWaiting = 0;
    // Passed messages waiting for an operator's acknowledgement, those of them past their time,
    // and when the oldest came (0 for none).
    int alertsWaiting = 0;
    int alertsEscalated = 0;
    qint64 oldestAlertMSecs = 0;
    // The central journal's shipping: one of kCentralStates, and the rows not yet shipped.
    static constexpr const char *kCentralStates[]
        = {"off", "connecting", "up_to_date", "behind", "stopped", "refused", "shipped_elsewhere"};
    QByteArray centralState = "off";
    qint64 centralRowsWaiting = 0;
    // The window's thread: how long it has not answered now, and the longest it did not in the
    // last minute (the one now included).
    double windowSilentSeconds = 0;
    double longestStallSeconds = 0;
    // The troubles on now: a fixed word each ("input_line", "silence", ...) and the line that
    // said so; `troubleKinds` lists every word, for a gauge of each.
    QList<std::pair<QByteArray, QString>> troubles;
    QList<QByteArray> troubleKinds;
    qint64 startMSecs = 0;
    QString version;
    QString station;
};

// How long the window's thread may go without answering before the station counts as unwell.
inline constexpr double kWindowAnswerSeconds = 5.0;

// The figures in the Prometheus text exposition format (version 0.0.4).
QByteArray MetricsText(const StationFigures &figures);

// Whether the station is well (the input line open and reading, no trouble on, the window's
// thread answering), and a short JSON body saying so, with the reasons when it is not. A silent
// input line, an output line not draining and a journal not written count as troubles even
// where nobody has begun one in Troubles for them.
struct HealthReport
{
    bool healthy = false;
    QByteArray json;
};
HealthReport Health(const StationFigures &figures);
