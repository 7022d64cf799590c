#include "MessageDispatcher.h"

#include "EdisMessage.h"
#include "PrintText.h"
#include "doors/Doors.h"
#include "files/WholeFileWriter.h"
#include "rtf/Cp1252.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QThread>

#include <algorithm>
#include <cerrno>

using namespace std::chrono_literals;

namespace {

constexpr char kSeparatorLine[] = "===================================";

// The file-error causes the log names.
constexpr int kNone = 0;
constexpr int kGeneric = 1;
constexpr int kBadPath = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kInvalidFile = 6;
constexpr int kBadSeek = 9;
constexpr int kHardIO = 10;
constexpr int kSharingViolation = 11;
constexpr int kDiskFull = 13;

// Writes `content` as the whole of `path`, or nothing: a failed write never leaves an empty
// or cut message under the final name. Returns the failure cause, 0 on success.
int WriteWholeFile(const QString &folder, const QString &path, const QByteArray &content)
{
    // The program never makes the folder: the user decides whether messages are kept.
    if (!QFileInfo(folder).isDir())
        return kBadPath;
    WholeFileWriter writer(path);
    if (writer.Write(content))
        return kNone;
    return FileErrorCauseFromErrno(writer.ErrorNumber());
}

} // namespace

void MessageDispatcher::Dispatch()
{
    PlayPassedSound();
    // Read at each dispatch, so a switch changed in the dialog applies to the next message.
    const GeneralSettings &settings = GetGeneralSettings();
    if (settings.m_sendToFile != 0)
        WriteToFile();
    if (settings.m_sendToPort != 0)
        SendToPort();
    if (settings.m_sendToPrinter != 0)
        PrintMessage();
}

void MessageDispatcher::WriteToFile()
{
    const QString folder = GetProgramFolder() + QStringLiteral("/Received");
    const QString path = folder + QLatin1Char('/') + MessageFileName(m_message->m_header);
    const int cause = WriteWholeFile(folder, path, MessageFileContent(*m_message));
    if (cause != kNone)
        LogError(QStringLiteral("Error writing passed message to file - ")
                 + FileErrorCauseText(cause));
}

void MessageDispatcher::SendToPort()
{
    SerialPort &port = GetOutPort();
    const QByteArray &text = m_message->m_outputText;
    const std::vector<PortPiece> pieces = PlanPortPieces(
        text.size(), port.OutBufferSize(), BoundedRecoverTime(GetGeneralSettings().m_recoverTime));
    if (pieces.empty()) {
        LogError(
            QStringLiteral("Output buffer for OutSerialPort is too small. cannot send message"));
        return;
    }
    for (const PortPiece &piece : pieces) {
        // The piece goes with its length, so zero bytes of the message are forwarded too.
        port.QueueWrite(text.mid(piece.start, piece.length));
        // The port replaces its out buffer with the next piece, so the line must have sent
        // this one first. The pause holds the GUI thread on purpose: the input port's thread
        // waits for us, so no byte of the next message is lost meanwhile, and no later
        // message's pieces can overtake this one's on the output line.
        if (piece.pause > 0ms)
            QThread::msleep(static_cast<unsigned long>(piece.pause.count()));
    }
}

void MessageDispatcher::PrintMessage()
{
    const QByteArray text = MessagePrintText(*m_message);
    PrintText(text.constData(), text.size());
}

namespace {

// The chime plays on a thread of its own: the outputs after it hold the GUI thread (the
// recover-time pauses, the printing), and a player there would start only once they were
// done, seconds late. The thread is made at the first chime and stopped when the
// application object goes. It plays through QAudioSink rather than QSoundEffect, whose
// sample cache in Qt 6.4 could hang the thread for good when the sound file changed after
// a file it could not read.
constexpr qint64 kMaxSoundFileSize = 16 * 1024 * 1024;
struct ChimeThread
{
    QThread *m_thread = nullptr;
    QObject *m_context = nullptr; // lives on m_thread; owns the player
};

ChimeThread &Chime()
{
    static ChimeThread chime;
    return chime;
}

void StopChimeThread()
{
    ChimeThread &chime = Chime();
    if (chime.m_thread == nullptr)
        return;
    chime.m_thread->quit();
    chime.m_thread->wait();
    delete chime.m_thread;
    chime = ChimeThread();
}

} // namespace

void PlayPassedSound()
{
    PlayProgramSound(QStringLiteral("passed.wav"));
}

void PlayProgramSound(const QString &fileName)
{
    if (QCoreApplication::instance() == nullptr)
        return;
    ChimeThread &chime = Chime();
    if (chime.m_thread == nullptr) {
        chime.m_thread = new QThread;
        chime.m_thread->setObjectName(QStringLiteral("Chime"));
        chime.m_context = new QObject;
        chime.m_context->moveToThread(chime.m_thread);
        // The player and its context go with the thread's last events.
        QObject::connect(chime.m_thread, &QThread::finished, chime.m_context,
                         &QObject::deleteLater);
        chime.m_thread->start();
        qAddPostRoutine(StopChimeThread);
    }
    const QString path = GetProgramFolder() + QStringLiteral("/sounds/") + fileName;
    QMetaObject::invokeMethod(
        chime.m_context,
        [context = chime.m_context, path] {
            // A new sound cuts the one still ringing.
            for (QAudioSink *sink : context->findChildren<QAudioSink *>()) {
                sink->disconnect(context);
                sink->stop();
                sink->deleteLater();
            }
            const WaveSound wave = ReadWaveSound(path);
            const QAudioDevice device = QMediaDevices::defaultAudioOutput();
            if (wave.m_samples.isEmpty() || device.isNull())
                return;
            auto *samples = new QBuffer(context);
            samples->setData(wave.m_samples);
            samples->open(QIODevice::ReadOnly);
            auto *sink = new QAudioSink(device, wave.m_format, context);
            samples->setParent(sink);
            QObject::connect(sink, &QAudioSink::stateChanged, context, [sink](QAudio::State state) {
                if (state == QAudio::IdleState || state == QAudio::StoppedState) {
                    sink->disconnect();
                    sink->stop();
                    sink->deleteLater();
                }
            });
            sink->start(samples);
        },
        Qt::QueuedConnection);
}

WaveSound ReadWaveSound(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxSoundFileSize)
        return {};
    return ParseWaveSound(file.readAll());
}

WaveSound ParseWaveSound(const QByteArray &bytes)
{
    const auto number = [&bytes](qsizetype at, int size) -> quint32 {
        quint32 value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = value << 8 | quint8(bytes.at(at + i));
        return value;
    };
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return {};
    QAudioFormat format;
    bool haveFormat = false;
    qsizetype at = 12;
    while (at + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(at, 4);
        const qsizetype size = number(at + 4, 4);
        const qsizetype body = at + 8;
        // A chunk may claim more than the file holds; only what is there is read.
        const qsizetype available = std::min<qsizetype>(size, bytes.size() - body);
        if (id == "fmt ") {
            if (available < 16 || number(body, 2) != 1) // plain PCM only
                return {};
            const int channels = int(number(body + 2, 2));
            const int rate = int(number(body + 4, 4));
            const int bits = int(number(body + 14, 2));
            if (channels < 1 || channels > 8 || rate < 8000 || rate > 192000)
                return {};
            format.setChannelCount(channels);
            format.setSampleRate(rate);
            switch (bits) {
            case 8:
                format.setSampleFormat(QAudioFormat::UInt8);
                break;
            case 16:
                format.setSampleFormat(QAudioFormat::Int16);
                break;
            case 32:
                format.setSampleFormat(QAudioFormat::Int32);
                break;
            default:
                return {};
            }
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat)
                return {};
            // Whole frames only.
            const qsizetype frames = available / format.bytesPerFrame();
            return {format, bytes.mid(body, frames * format.bytesPerFrame())};
        }
        at = body + size + (size & 1);
    }
    return {};
}

QString MessageFileName(const QByteArray &header)
{
    QByteArray name = header;
    if (name == "." || name == "..") {
        name.fill('_');
    } else {
        for (char &c : name) {
            if (c == '/' || c == '\\' || c == '\0')
                c = '_';
        }
    }
    return DecodeCp1252(name) + QStringLiteral(".txt");
}

QByteArray MessageFileContent(const EdisMessage &message)
{
    QByteArray content;
    content.reserve(message.m_headline.size() + message.m_header.size() + message.m_trailer.size()
                    + message.m_body.size() + 48);
    content.append(message.m_headline).append("\r\n");
    content.append(kSeparatorLine).append("\r\n");
    content.append('[').append(message.m_header).append("]\r\n");
    content.append(message.m_trailer).append("\r\n");
    content.append(message.m_body);
    return content;
}

QByteArray MessagePrintText(const EdisMessage &message)
{
    QByteArray text;
    text.reserve(message.m_headline.size() + message.m_header.size() + message.m_trailer.size()
                 + message.m_body.size() + 48);
    text.append('\n');
    text.append(message.m_headline).append('\n');
    text.append(kSeparatorLine).append('\n');
    text.append('[').append(message.m_header).append("]\n");
    text.append(message.m_trailer).append('\n');
    text.append(message.m_body);
    return text;
}

QString FileErrorCauseText(int cause)
{
    static const char *const kTexts[] = {
        "No error occurred.",
        "An unspecified error occurred.",
        "The file could not be located.",
        "All or part of the path is invalid.",
        "The permitted number of open files was exceeded.",
        "The file could not be accessed.",
        "There was an attempt to use an invalid file handle.",
        "The current working directory cannot be removed.",
        "There are no more directory entries.",
        "There was an error trying to set the file pointer.",
        "There was a hardware error.",
        "SHARE.EXE was not loaded, or a shared region was locked.",
        "There was an attempt to lock a region that was already locked.",
        "The disk is full.",
        "The end of file was reached.",
    };
    if (cause < 0 || cause >= int(std::size(kTexts)))
        return QStringLiteral("unknown error");
    return QString::fromLatin1(kTexts[cause]);
}

int FileErrorCauseFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return kBadPath;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return kAccessDenied;
    case EMFILE:
    case ENFILE:
        return kTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return kDiskFull;
    case EBADF:
        return kInvalidFile;
    case EIO:
        return kHardIO;
    case ETXTBSY:
    case EBUSY:
        return kSharingViolation;
    case ESPIPE:
        return kBadSeek;
    default:
        return kGeneric;
    }
}

std::chrono::milliseconds BoundedRecoverTime(int storedMilliseconds)
{
    return std::clamp(std::chrono::milliseconds(storedMilliseconds), 0ms, kMaxRecoverTime);
}

std::vector<PortPiece>
PlanPortPieces(qsizetype total, int outBufferSize, std::chrono::milliseconds recoverTime)
{
    std::vector<PortPiece> pieces;
    // A port never set up has an out buffer of 0; it would not even hold the framing.
    if (outBufferSize < 5 || total < 0)
        return pieces;
    const qsizetype piece = outBufferSize - 2;
    pieces.reserve(static_cast<size_t>(total / piece + 1));
    qsizetype start = 0;
    while (start + piece <= total) {
        pieces.push_back({start, piece, recoverTime});
        start += piece;
    }
    // The rest goes even when empty: the peer has always seen a write after the last full
    // piece.
    pieces.push_back({start, total - start, 0ms});
    return pieces;
}
