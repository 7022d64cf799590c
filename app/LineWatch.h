#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <chrono>

// Watches the two serial lines for the window: raises the silence alarm when no byte has come
// on the input line for the set minutes, warns when bytes keep coming but no message has been
// framed for the frame silence's minutes (a wrong speed, a receiver gone astray), and words the
// state of each line for the status bar. Each alarm is a trouble of the station (Troubles).
// GUI thread only. On the byte path it costs two clock reads a run of bytes; everything else
// happens when a timer looks, once a second.
class LineWatch : public QObject
{
    Q_OBJECT

public:
    explicit LineWatch(QObject *parent = nullptr);

    // The input port was (re)opened, or failed to open and is being tried: silence counts from
    // now until a byte comes, and an alarm of the line before is forgotten. The COM numbers the
    // watch names are those the ports were set up with (SerialPort::PortNumber).
    void InputOpened();

    // A run of `count` bytes arrived on the input line; the port's thread read it at `readAt`,
    // which may be a while before the window got to it.
    void OnInputBytes(const QDateTime &readAt, qint64 count = 1);
    // A message was framed well enough to judge (passed or filtered).
    void OnMessageFramed();

    // Replaces the setting's minutes, so a test need not wait minutes; zero returns to the
    // setting.
    void SetSilencePeriod(std::chrono::milliseconds period);
    // The same for the frame silence; the environment's ALVETRA_TEST_FRAME_SILENCE_MS sets it
    // for a test of the whole program.
    void SetFrameSilencePeriod(std::chrono::milliseconds period);

    // "Input COM2: receiving, last byte 14:03:27", "... silent since 13:10",
    // "... reconnecting since 13:10", "... not open"; the output line "open" in place of
    // receiving or silent, and "off" while it is switched off and not open.
    QString InputPaneText() const;
    // Whether the silence alarm has sounded and no byte has come since.
    bool AlarmRaised() const { return m_alarmRaised; }
    // Whether the frame silence has been told and no message framed since.
    bool FrameAlarmRaised() const { return m_frameAlarmRaised; }
    QString OutputPaneText() const;

private:
    // A moment both as the steady clock, which measures the silence whatever happens to the
    // wall clock, and as the wall clock, which the user reads.
    struct Moment
    {
        std::chrono::steady_clock::time_point steady;
        qint64 wallMSecs = 0;
    };
    static qint64 NowMSecs();

    // Whether the input port has a device or is trying to get one: only such a line is
    // supervised; one that is not even tried has said so and shows "not open".
    static bool InputWatched();
    bool AnyByteSinceOpen() const { return m_lastByte.steady >= m_opened.steady; }
    // The last byte, or the open when none came since.
    const Moment &SilentSince() const { return AnyByteSinceOpen() ? m_lastByte : m_opened; }
    std::chrono::milliseconds SilencePeriod() const;
    std::chrono::milliseconds FrameSilencePeriod() const;
    void SetCheckInterval();
    // As the status pane tells it.
    bool IsSilent(std::chrono::steady_clock::time_point now) const;

    void Check();
    void CheckSilence();
    void CheckFrames();
    void OnFlowingAgain();
    void OnFramesAgain();
    // The line was set up anew: an alarm of the line before ends without a line in the log.
    void EndAlarms();

    QTimer m_check;
    Moment m_opened;
    Moment m_lastByte{std::chrono::steady_clock::time_point::min(), 0};
    std::chrono::steady_clock::time_point m_lastAlarm;
    bool m_alarmRaised = false;
    std::chrono::milliseconds m_periodOverride{0};
    // The frame silence: since the last message framed, or the open.
    Moment m_lastFramed;
    qint64 m_bytesSinceFramed = 0;
    std::chrono::steady_clock::time_point m_firstUnframed; // the first of those bytes
    bool m_frameAlarmRaised = false;
    std::chrono::milliseconds m_framePeriodOverride{0};
};

// A moment as the log and the status bar name it: "hh:mm" (or "hh:mm:ss" `withSeconds`), with
// the date in front, "yyyy-MM-dd hh:mm", when it is not the day of `now`.
QString ClockText(const QDateTime &when, const QDateTime &now, bool withSeconds);
