#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

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

// Starts the sound program folder + "/sounds/" + `fileName` on a thread of its own and returns
// at once, so it sounds while the outputs hold the GUI thread; a new sound cuts the one still
// playing. A missing or unplayable file, or a machine without sound, is silent. GUI thread only.
void PlayProgramSound(const QString &fileName);
// The alert chime, "passed.wav".
void PlayPassedSound();

// A plain PCM WAV sound: its format and its frames.
struct WaveSound
{
    QAudioFormat m_format;
    QByteArray m_samples; // empty when the file is no plain PCM WAV
};
// Reads a plain PCM WAV file (8, 16 or 32 bits, any chunks besides "fmt " and "data" skipped);
// anything else, or a file over 16 MiB, gives no samples.
WaveSound ReadWaveSound(const QString &path);
WaveSound ParseWaveSound(const QByteArray &bytes);

// --- The pure pieces of the outputs ---

// The file's name for `header`: the header's characters, then ".txt". A header comes off the
// line, so the name is kept inside the "Received" folder: every '/', '\\' and zero byte
// becomes '_', and so does every dot of a header that is just "." or "..". All other
// characters stay as they are (bytes read as Windows-1252, as the log shows them).
QString MessageFileName(const QByteArray &header);

// The file's five lines: headline, 35 '=', "[header]", trailer (each ended by CR LF), then the
// body as received with nothing after it.
QByteArray MessageFileContent(const EdisMessage &message);

// The printed text: an empty line, then the same five lines ended by LF, the body last.
QByteArray MessagePrintText(const EdisMessage &message);

// The text of a file-error cause (0..14); any other cause gives "unknown error".
QString FileErrorCauseText(int cause);
// The cause for a failed file operation from the platform's error number (errno).
int FileErrorCauseFromErrno(int error);

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
