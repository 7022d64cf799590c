#include "StationFigures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

// A label value as the exposition format quotes it.
QByteArray Quoted(const QByteArray &value)
{
    QByteArray out;
    out.reserve(value.size() + 2);
    out += '"';
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    out += '"';
    return out;
}

class Writer
{
public:
    void Family(const char *name, const char *type, const char *help)
    {
        m_text += QByteArray("# HELP ") + name + ' ' + help + '\n';
        m_text += QByteArray("# TYPE ") + name + ' ' + type + '\n';
    }
    void Sample(const char *name, const QByteArray &labels, const QByteArray &value)
    {
        m_text += name;
        if (!labels.isEmpty())
            m_text += '{' + labels + '}';
        m_text += ' ' + value + '\n';
    }
    void Sample(const char *name, const QByteArray &labels, double value)
    {
        Sample(name, labels, QByteArray::number(value, 'g', 15));
    }
    void Counted(const char *name,
                 const char *label,
                 const QList<std::pair<QByteArray, quint64>> &counts)
    {
        for (const auto &[value, count] : counts)
            Sample(name, QByteArray(label) + '=' + Quoted(value), QByteArray::number(count));
    }
    QByteArray Take() { return std::move(m_text); }

private:
    QByteArray m_text;
};

double Seconds(qint64 msecs)
{
    return double(msecs) / 1000.0;
}

} // namespace

QByteArray MetricsText(const StationFigures &f)
{
    Writer w;
    w.Family("alvetra_frames_total", "counter",
             "Frames on the input line since the start, by fate.");
    w.Counted("alvetra_frames_total", "fate", f.framesByFate);
    w.Family("alvetra_input_bytes_total", "counter",
             "Bytes read from the input line since the start.");
    w.Sample("alvetra_input_bytes_total", {}, QByteArray::number(f.bytesRead));
    w.Family("alvetra_passed_messages_total", "counter",
             "Passed messages since the start, by handling level.");
    w.Counted("alvetra_passed_messages_total", "handling", f.passedByHandling);

    w.Family("alvetra_line_state", "gauge", "Each serial line's state: 1 for the one it is in.");
    for (const StationFigures::Line *line : {&f.input, &f.output}) {
        for (const char *state : StationFigures::kLineStates) {
            const QByteArray labels = "line=" + Quoted(line->role)
                                      + ",com=" + Quoted(QByteArray::number(line->com))
                                      + ",state=" + Quoted(state);
            w.Sample("alvetra_line_state", labels, line->state == state ? "1" : "0");
        }
    }
    w.Family("alvetra_input_reading", "gauge", "1 while the input line is open and read.");
    w.Sample("alvetra_input_reading", {}, f.inputReading ? "1" : "0");

    w.Family("alvetra_last_byte_timestamp_seconds", "gauge",
             "When the input line's last byte was read; 0 for none since the start.");
    w.Sample("alvetra_last_byte_timestamp_seconds", {}, Seconds(f.lastByteMSecs));
    w.Family("alvetra_last_framed_message_timestamp_seconds", "gauge",
             "When the last message framed well enough to judge came; 0 for none.");
    w.Sample("alvetra_last_framed_message_timestamp_seconds", {}, Seconds(f.lastFramedMSecs));
    w.Family("alvetra_last_passed_message_timestamp_seconds", "gauge",
             "When the last passed message came; 0 for none since the start.");
    w.Sample("alvetra_last_passed_message_timestamp_seconds", {}, Seconds(f.lastPassedMSecs));

    w.Family("alvetra_output_queued_bytes", "gauge", "Bytes queued on the output line, unsent.");
    w.Sample("alvetra_output_queued_bytes", {}, QByteArray::number(f.outputQueuedBytes));
    w.Family("alvetra_print_jobs_waiting", "gauge", "Print jobs waiting for the printer.");
    w.Sample("alvetra_print_jobs_waiting", {}, QByteArray::number(f.printJobsWaiting));
    w.Family("alvetra_hook_runs_total", "counter", "Runs of the station's command, by result.");
    w.Counted("alvetra_hook_runs_total", "result", f.hookRunsByResult);

    w.Family("alvetra_journal_state", "gauge", "The journal's state: 1 for the one it is in.");
    for (const char *state : {"writing", "stopped", "off"})
        w.Sample("alvetra_journal_state", "state=" + Quoted(state),
                 f.journalState == state ? "1" : "0");
    w.Family("alvetra_journal_rows_waiting", "gauge",
             "Rows handed to the journal, not yet written.");
    w.Sample("alvetra_journal_rows_waiting", {}, QByteArray::number(f.journalRowsWaiting));

    w.Family("alvetra_alerts_waiting", "gauge",
             "Passed messages waiting for an operator's acknowledgement.");
    w.Sample("alvetra_alerts_waiting", {}, QByteArray::number(f.alertsWaiting));
    w.Family("alvetra_alerts_escalated", "gauge",
             "Passed messages waiting for acknowledgement past their time.");
    w.Sample("alvetra_alerts_escalated", {}, QByteArray::number(f.alertsEscalated));
    w.Family("alvetra_oldest_waiting_alert_timestamp_seconds", "gauge",
             "When the oldest message waiting for acknowledgement came; 0 for none.");
    w.Sample("alvetra_oldest_waiting_alert_timestamp_seconds", {}, Seconds(f.oldestAlertMSecs));

    w.Family("alvetra_central_state", "gauge",
             "The central journal's shipping: 1 for the state it is in.");
    for (const char *state : StationFigures::kCentralStates)
        w.Sample("alvetra_central_state", "state=" + Quoted(state),
                 f.centralState == state ? "1" : "0");
    w.Family("alvetra_central_rows_waiting", "gauge",
             "Rows of the journal not yet shipped to the central journal.");
    w.Sample("alvetra_central_rows_waiting", {}, QByteArray::number(f.centralRowsWaiting));

    w.Family("alvetra_window_stall_seconds", "gauge",
             "The longest the window's thread went unanswered in the last minute.");
    w.Sample("alvetra_window_stall_seconds", {}, f.longestStallSeconds);
    w.Family("alvetra_trouble", "gauge", "1 while a trouble of the kind is on.");
    for (const QByteArray &kind : f.troubleKinds) {
        const bool on = std::any_of(f.troubles.begin(), f.troubles.end(),
                                    [&kind](const auto &trouble) { return trouble.first == kind; });
        w.Sample("alvetra_trouble", "kind=" + Quoted(kind), on ? "1" : "0");
    }
    w.Family("alvetra_start_time_seconds", "gauge", "When this Alvetra started.");
    w.Sample("alvetra_start_time_seconds", {}, Seconds(f.startMSecs));
    w.Family("alvetra_build_info", "gauge", "The version and the station's name.");
    w.Sample("alvetra_build_info",
             "version=" + Quoted(f.version.toUtf8()) + ",station=" + Quoted(f.station.toUtf8()),
             "1");
    return w.Take();
}

HealthReport Health(const StationFigures &f)
{
    QJsonArray reasons;
    if (!f.inputReading)
        reasons.append(QStringLiteral("the input line COM%1 is not open and reading (%2)")
                           .arg(f.input.com)
                           .arg(QString::fromLatin1(f.input.state)));
    for (const auto &[kind, text] : f.troubles)
        reasons.append(QString::fromLatin1(kind) + QStringLiteral(": ") + text);
    // What the states themselves show, where no trouble of the kind says it already.
    const auto said = [&f](const char *kind) {
        return std::any_of(f.troubles.begin(), f.troubles.end(),
                           [kind](const auto &trouble) { return trouble.first == kind; });
    };
    if (f.input.state == "silent" && !said("silence"))
        reasons.append(QStringLiteral("the input line COM%1 is silent").arg(f.input.com));
    if (f.output.state == "not_draining" && !said("output_draining"))
        reasons.append(QStringLiteral("the output line COM%1 is not draining").arg(f.output.com));
    if (f.journalState == "stopped" && !said("journal"))
        reasons.append(QStringLiteral("the journal is not being written"));
    if (f.windowSilentSeconds > kWindowAnswerSeconds)
        reasons.append(QStringLiteral("the window's thread has not answered for %1 s")
                           .arg(qint64(f.windowSilentSeconds)));
    QJsonObject body;
    const bool healthy = reasons.isEmpty();
    body.insert(QStringLiteral("status"),
                healthy ? QStringLiteral("ok") : QStringLiteral("failing"));
    body.insert(QStringLiteral("station"), f.station);
    body.insert(QStringLiteral("window_stall_seconds"), f.longestStallSeconds);
    body.insert(QStringLiteral("reasons"), reasons);
    return {healthy, QJsonDocument(body).toJson(QJsonDocument::Compact) + '\n'};
}
