// What the journal keeps, as plain data: a frame with its fate, an event of a line, the result
// of one output of a passed message. Values only; any thread.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// What became of a frame, or that the row is an event of a line. Stored as its number: the
// values never change meaning.
enum class JournalFate : int {
    Passed = 0,
    Filtered = 1,       // m_detail: the test it failed, "handling", "region" or "source"
    Malformed = 2,      // m_detail: the warning line's text
    DroppedByBound = 3, // longer than the receiver keeps; m_bytes holds what was collected
    DroppedAfterSilence = 4,
    CutByLostLine = 5, // the line broke inside it; m_bytes holds what had come
    LineEvent = 6,     // m_detail: what happened to the line
};

enum class JournalLineEvent : int {
    Opened,
    CouldNotBeOpened,
    Lost,
    Back,
    SilenceAlarm,
    FlowingAgain,
    OutputNotDraining,
    InputBytesDropped,
    OutputDrainsAgain,
    NoFrames, // bytes come, but no message was framed for the set minutes
    FramesAgain,
    JournalStopped, // of no line: the journal could not be written
    JournalWritingAgain,
    UncleanEnd, // of no line: the run before did not end in order
};

enum class JournalOutputKind : int {
    Sound = 0,
    File = 1,
    OutputLine = 2,
    Printer = 3,
    Hook = 4,
    // The station's command for a trouble, under the line event that began or ended it.
    TroubleCommand = 5,
};

// One row of the journal: a frame the receiver closed or dropped, or an event of a line.
struct JournalFrame
{
    QDateTime m_received; // when the input thread read its last byte, UTC
    int m_port = 0;       // the COM number of the line
    QString m_device;
    JournalFate m_fate = JournalFate::Passed;
    QString m_detail;
    qint64 m_length = 0; // bytes the frame had, even where m_bytes keeps fewer
    QByteArray m_bytes;  // after the SOH, the EOT included
    // As far as the frame could be read; raw bytes of the line.
    QByteArray m_header;
    QByteArray m_handling;
    QByteArray m_region;
    QByteArray m_source;
    // A passed message's texts besides the header.
    QByteArray m_headline;
    QByteArray m_trailer;
    QByteArray m_body;
    // A passed message that waits for an operator's acknowledgement from now on.
    bool m_awaitsAcknowledgement = false;
};

// A line event as a row: `detail` (the reason, the count of bytes) follows the event's words.
JournalFrame JournalLineEventRow(const QDateTime &at,
                                 int port,
                                 const QString &device,
                                 JournalLineEvent event,
                                 const QString &detail = {});

// The result of one output of a passed message, for the row `m_ticket` named when it was
// recorded.
struct JournalOutput
{
    quint64 m_ticket = 0;
    JournalOutputKind m_kind = JournalOutputKind::Sound;
    QDateTime m_at;
    bool m_ok = true;
    QString m_result; // the file's path, the error text, "queued", "sent", an exit code...
};

// Where an operator acknowledged a waiting message. Stored as its number.
enum class AcknowledgedFrom : int {
    Window = 0, // the main window's Acknowledge All
    History = 1,
    Notification = 2,
    Tray = 3,
};

// An operator's acknowledgement of the waiting message recorded under `m_ticket` in this run,
// or of the row `m_rowId` (a message that waited from an earlier run).
struct JournalAcknowledgement
{
    quint64 m_ticket = 0;
    qint64 m_rowId = 0;
    QDateTime m_at;
    QString m_user; // the operating system's user who gave it
    AcknowledgedFrom m_from = AcknowledgedFrom::Window;
};

// A message still waiting for acknowledgement in the journal, as an earlier run left it.
struct JournalWaitingRow
{
    qint64 m_rowId = 0;
    QDateTime m_received; // UTC
    QByteArray m_header;
    QByteArray m_headline;
};

// The words the window and the export show.
QString JournalFateText(JournalFate fate);
QString JournalLineEventText(JournalLineEvent event);
QString JournalOutputKindText(JournalOutputKind kind);
QString AcknowledgedFromText(AcknowledgedFrom from);
