#pragma once

// The sound and the file are outputs of their own; their callers reach them through here.
#include "ProgramSound.h"
#include "ReceivedFile.h"

#include <QByteArray>
#include <QDateTime>

#include <chrono>
#include <vector>

struct EdisMessage;

// Announces a passed message and sends it to the outputs the general settings switch on.
// Made by ProcessMessage for one passed message, after the message is shown in the log, and
// dropped once Dispatch returns. GUI thread only.
class MessageDispatcher
{
public:
    // `receivedAt`: when the input line's thread read the message's last bytes.
    explicit MessageDispatcher(EdisMessage *message, QDateTime receivedAt = {})
        : m_message(message)
        , m_receivedAt(std::move(receivedAt))
    {}
    virtual ~MessageDispatcher() = default;

    // The sound, then the file, the output line and the printer, each as its switch says at
    // this moment, started in that order and returning at once: the file goes to the filing
    // thread (QueueReceivedFile), and the output line, the printer and the command start once
    // it is in place or has failed, and once every earlier message's have started, so the
    // files are written and the messages forwarded in the order they passed. The output line
    // and the printer work on threads of their own; the next message may be handled before
    // this one has left. One that fails reports it and the next still runs. Last the
    // station's command, once the file it may read is there (PassedHook.h).
    void Dispatch();

    // Writes the message to "Received/<header>.txt" below the program folder, replacing a
    // file of that name, and returns its path; a failure gives one error line, leaves no cut
    // file behind and returns an empty path. On the calling thread: Dispatch files through
    // the filing thread instead.
    QString WriteToFile();
    // Hands the output text to the output port as one message in pieces, with the recover
    // time after each full piece; the port's thread keeps the pauses. False when the port
    // refused it (its own line says why) or the out buffer is too small. The port reports
    // later whether it left, under the journal ticket.
    bool SendToPort();
    // Queues the message for the printing thread; printed on the default printer, silently
    // not when there is none.
    bool PrintMessage();

    const QDateTime &ReceivedAt() const { return m_receivedAt; }

    // The message's row in the journal, under which each output's result is kept; 0: none.
    void SetJournalTicket(quint64 ticket) { m_journalTicket = ticket; }
    quint64 JournalTicket() const { return m_journalTicket; }

private:
    // What the switches said at Dispatch for the outputs after the file.
    struct LaterOutputs
    {
        bool m_port = false;
        bool m_printer = false;
        QString m_onPassed;
    };

    void RunLaterOutputs(const QString &file, const LaterOutputs &later);
    // Keeps the file's result and logs a failure; the path once the file is in place, else
    // empty.
    QString KeepFileResult(const QString &path, const ReceivedFileResult &filed) const;
    // Keeps an output's result beside the message's row, when there is one; `at` defaults to
    // now.
    void RecordOutput(int kind, bool ok, const QString &result, const QDateTime &at = {}) const;

    EdisMessage *m_message; // not owned
    QDateTime m_receivedAt;
    quint64 m_journalTicket = 0;
};

// --- The pure pieces of the printer and the output line ---

// The printed text: an empty line, then the file's five lines (MessageFileContent) ended by
// LF, the body last.
QByteArray MessagePrintText(const EdisMessage &message);

// A stored recover time of hours would freeze the program for that long after each piece; a
// full piece of 510 characters takes about 0.53 s at 9600 baud, so ten seconds leaves ample
// room for a slow line and still bounds the stall. Negative values mean no pause.
inline constexpr std::chrono::milliseconds kMaxRecoverTime{10000};
std::chrono::milliseconds BoundedRecoverTime(int storedMilliseconds);

// One write to the output port: `length` bytes of the output text from `start`, then a pause
// of `pause` before the next write.
struct PortPiece
{
    qsizetype start = 0;
    qsizetype length = 0;
    std::chrono::milliseconds pause{0};

    friend bool operator==(const PortPiece &, const PortPiece &) = default;
};

// The writes for an output text of `total` bytes on a port whose out buffer holds
// `outBufferSize` bytes: full pieces of outBufferSize - 2 bytes, each followed by
// `recoverTime`, then the rest (empty when total is a whole multiple of the piece) with no
// pause. Empty when the out buffer is smaller than 5, as for a port never set up.
std::vector<PortPiece>
PlanPortPieces(qsizetype total, int outBufferSize, std::chrono::milliseconds recoverTime);
