// The program's sounds: the alert chime and the other sounds from the "sounds" folder, played
// on a thread of their own.
#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

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
