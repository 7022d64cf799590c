#include "ProgramSound.h"

#include "doors/Doors.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QMediaDevices>
#include <QThread>

#include <algorithm>

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
