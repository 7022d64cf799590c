#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <chrono>

struct termios;

// A pseudo-terminal pair standing in for a serial line: Alvetra opens the device by its path,
// the far end writes and reads the other side. Both sides are raw (no echo, no line editing,
// CR stays CR), and the far end does not block. One owner thread at a time.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool IsOpen() const { return m_farEnd >= 0; }
    // The device to give Alvetra, such as /dev/pts/4.
    QString DevicePath() const { return m_path; }

    // As much of `bytes` as fits now: the count written, 0 when the line is full, -1 when the
    // line is gone.
    qsizetype WriteSome(QByteArrayView bytes);
    // All of `bytes`, waiting while the line is full; false when the line is gone or still
    // full after `patience`.
    bool WriteAll(QByteArrayView bytes,
                  std::chrono::milliseconds patience = std::chrono::milliseconds(10000));
    // Waits at most `limit` until the line can take bytes.
    bool WaitWritable(std::chrono::milliseconds limit);
    // What arrived at the far end so far, without waiting.
    QByteArray ReadAvailable();
    // Waits at most `limit` for bytes to arrive at the far end.
    bool WaitReadable(std::chrono::milliseconds limit);

    // Whether some program has the device open. Needs the pair's own hold on the device
    // given up (ReleaseDevice): a pseudo-terminal without any user reads as hung up.
    bool DeviceInUse();
    // Gives up the pair's own hold on the device. While held, bytes written at the far end
    // wait in the device's input queue even when no program has the device open.
    void ReleaseDevice();
    // Bytes that wait in the device's input queue, unread by the program, everything written
    // at the far end so far counted; -1 once released.
    int QueuedAtDevice() const;

    // The device's line settings; the far end sees what the program set on the device.
    bool GetLineSettings(termios *settings) const;
    bool SetLineSettings(const termios &settings);

    // Hangs up, as an unplugged adapter does.
    void CloseFarEnd();

private:
    int m_farEnd = -1;
    int m_device = -1;
    QString m_path;
};
