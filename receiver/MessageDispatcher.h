#pragma once

// The sound and the file are outputs of their own; their callers reach them through here.
#include "ProgramSound.h"
#include "ReceivedFile.h"

#include <QByteArray>

#include <chrono>
#include <vector>

struct EdisMessage;

// Announces a passed message and sends it to the outputs the general settings switch on.
// Made by ProcessMessage for one passed message, after the message is shown in the log, and
// dropped once Dispatch returns. GUI thread only.
class MessageDispatcher
{
public:
    explicit MessageDispatcher(EdisMessage *message)
        : m_message(message)
    {}
    virtual ~MessageDispatcher() = default;

    // The sound, then the file, the output line and the printer, each as its switch says at
    // this moment. Every output runs to its end; one that fails reports it and the next still
    // runs.
    void Dispatch();

    // Writes the message to "Received/<header>.txt" below the program folder, replacing a
    // file of that name; a failure gives one error line and leaves no cut file behind.
    void WriteToFile();
    // Queues the output text on the output port in pieces, pausing the recover time after
    // each full piece. Blocks the GUI thread for the pauses.
    void SendToPort();
    // Prints the message on the default printer; silent when there is none.
    void PrintMessage();

private:
    EdisMessage *m_message; // not owned
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
