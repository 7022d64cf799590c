#include "LineWatch.h"

#include "AppDoors.h"
#include "CAlvetraApp.h"

#include "dispatch/MessageDispatcher.h"
#include "doors/Doors.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <QDateTime>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kCheckInterval = 1s;
const char kSilenceSound[] = "silence.wav";

QDateTime WallTime(qint64 msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs);
}

} // namespace

LineWatch::LineWatch(QObject *parent)
    : QObject(parent)
{
    m_opened = {std::chrono::steady_clock::now(), NowMSecs()};
    m_lastFramed = m_opened;
    m_check.setInterval(kCheckInterval);
    connect(&m_check, &QTimer::timeout, this, &LineWatch::Check);
    m_check.start();
    const int framePeriod = qEnvironmentVariableIntValue("ALVETRA_TEST_FRAME_SILENCE_MS");
    if (framePeriod > 0)
        SetFrameSilencePeriod(std::chrono::milliseconds(framePeriod));
}

namespace {

Troubles &StationTroubles()
{
    return CAlvetraApp::Instance()->GetTroubles();
}

Trouble InputTrouble(TroubleKind kind, const QDateTime &since, const QString &text, quint64 row)
{
    const SerialPort &port = GetInPort();
    return {kind, since, port.PortNumber(), port.DeviceName(), text, row};
}

} // namespace

qint64 LineWatch::NowMSecs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

void LineWatch::InputOpened()
{
    EndAlarms();
    m_opened = {std::chrono::steady_clock::now(), NowMSecs()};
    m_alarmRaised = false;
    m_lastFramed = m_opened;
    m_bytesSinceFramed = 0;
    m_frameAlarmRaised = false;
}

void LineWatch::EndAlarms()
{
    const QString text
        = QStringLiteral("The input line (com%1) was set up anew.").arg(GetInPort().PortNumber());
    if (m_alarmRaised)
        StationTroubles().End(TroubleKind::Silence, text);
    if (m_frameAlarmRaised)
        StationTroubles().End(TroubleKind::NoFrames, text);
}

void LineWatch::OnMessageFramed()
{
    if (m_frameAlarmRaised)
        OnFramesAgain();
    m_lastFramed = {std::chrono::steady_clock::now(), NowMSecs()};
    m_bytesSinceFramed = 0;
}

void LineWatch::OnInputBytes(const QDateTime &readAt, qint64 count)
{
    const bool firstUnframed = m_bytesSinceFramed == 0 && count > 0;
    m_bytesSinceFramed += count;
    // The line names the silence it ends, so it goes before the new byte counts.
    if (m_alarmRaised)
        OnFlowingAgain();
    const qint64 now = NowMSecs();
    const qint64 read = readAt.isValid() ? std::min(readAt.toMSecsSinceEpoch(), now) : now;
    // The wall clock only tells how long ago the run was read; the silence is measured on the
    // steady clock.
    m_lastByte = {std::chrono::steady_clock::now() - std::chrono::milliseconds(now - read), read};
    if (firstUnframed)
        m_firstUnframed = m_lastByte.steady;
}

void LineWatch::SetSilencePeriod(std::chrono::milliseconds period)
{
    m_periodOverride = std::max(period, 0ms);
    SetCheckInterval();
}

void LineWatch::SetFrameSilencePeriod(std::chrono::milliseconds period)
{
    m_framePeriodOverride = std::max(period, 0ms);
    SetCheckInterval();
}

void LineWatch::SetCheckInterval()
{
    // A short period is looked at often enough to keep to it.
    std::chrono::milliseconds interval = kCheckInterval;
    for (const std::chrono::milliseconds period : {m_periodOverride, m_framePeriodOverride})
        if (period > 0ms)
            interval = std::min(interval, std::clamp(period / 4, 10ms, kCheckInterval));
    m_check.setInterval(interval);
}

std::chrono::milliseconds LineWatch::FrameSilencePeriod() const
{
    if (m_framePeriodOverride > 0ms)
        return m_framePeriodOverride;
    return std::max(std::chrono::minutes(GetGeneralSettings().m_troubles.m_frameSilenceMinutes),
                    std::chrono::minutes(0));
}

std::chrono::milliseconds LineWatch::SilencePeriod() const
{
    if (m_periodOverride > 0ms)
        return m_periodOverride;
    // Read at every look, so a change in the dialog applies at once.
    return std::max(std::chrono::minutes(GetGeneralSettings().m_silenceMinutes),
                    std::chrono::minutes(0));
}

bool LineWatch::InputWatched()
{
    const SerialPort &port = GetInPort();
    return port.IsDeviceOpen() || !port.ReconnectingSince().isNull();
}

bool LineWatch::IsSilent(std::chrono::steady_clock::time_point now) const
{
    // A line that has brought nothing since the open is silent from the start; one that has
    // brought bytes is silent once the alarm's period has passed without more.
    if (!AnyByteSinceOpen())
        return true;
    const std::chrono::milliseconds period = SilencePeriod();
    return period > 0ms && now - m_lastByte.steady >= period;
}

void LineWatch::Check()
{
    CheckSilence();
    CheckFrames();
}

void LineWatch::CheckFrames()
{
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::milliseconds period = FrameSilencePeriod();
    // A line that has gone quiet is the silence alarm's: it says more.
    if (period <= 0ms || m_frameAlarmRaised || m_alarmRaised || m_bytesSinceFramed == 0
        || !InputWatched() || !AnyByteSinceOpen())
        return;
    const Moment &since = m_lastFramed.steady >= m_opened.steady ? m_lastFramed : m_opened;
    // Bytes throughout the period: at its start and within its end. One burst of noise on a
    // quiet line is not a line that frames nothing.
    if (now - m_firstUnframed < period || now - m_lastByte.steady >= period)
        return;
    m_frameAlarmRaised = true;
    const QDateTime wallNow = QDateTime::currentDateTime();
    const QString when = ClockText(WallTime(since.wallMSecs), wallNow, true);
    const int number = GetInPort().PortNumber();
    const QString text
        = (m_lastFramed.steady > m_opened.steady
               ? QStringLiteral("The input line (com%1) brings bytes but no message: %2 bytes "
                                "came since the last message was framed at %3.")
               : QStringLiteral("The input line (com%1) brings bytes but no message: %2 bytes "
                                "came since it was opened at %3."))
              .arg(number)
              .arg(m_bytesSinceFramed)
              .arg(when)
          + QStringLiteral(" The line's speed or the receiver may be wrong.");
    LogWarning(text);
    PlayProgramSound(QString::fromLatin1(kSilenceSound));
    const quint64 row
        = RecordLineEvent(number, JournalLineEvent::NoFrames,
                          QStringLiteral("%1 bytes since %2").arg(m_bytesSinceFramed).arg(when));
    StationTroubles().Begin(
        InputTrouble(TroubleKind::NoFrames, WallTime(since.wallMSecs), text, row));
}

void LineWatch::OnFramesAgain()
{
    m_frameAlarmRaised = false;
    const QString text = QStringLiteral("Messages are framed again on the input line (com%1).")
                             .arg(GetInPort().PortNumber());
    LogWarning(text);
    StationTroubles().End(TroubleKind::NoFrames, text,
                          RecordLineEvent(GetInPort().PortNumber(), JournalLineEvent::FramesAgain));
}

void LineWatch::CheckSilence()
{
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::milliseconds period = SilencePeriod();
    if (period <= 0ms || now - SilentSince().steady < period || !InputWatched())
        return;
    if (m_alarmRaised && now - m_lastAlarm < period)
        return;
    m_alarmRaised = true;
    m_lastAlarm = now;
    const QDateTime wallNow = QDateTime::currentDateTime();
    const QString since = ClockText(WallTime(SilentSince().wallMSecs), wallNow, true);
    QString text;
    if (AnyByteSinceOpen())
        text = QStringLiteral("The input line (com%1) is silent: its last byte came at %2.")
                   .arg(GetInPort().PortNumber())
                   .arg(since);
    else if (!GetInPort().IsDeviceOpen())
        text = QStringLiteral("The input line (com%1) is silent: it is not open, and no byte "
                              "has come since %2.")
                   .arg(GetInPort().PortNumber())
                   .arg(since);
    else
        text = QStringLiteral("The input line (com%1) is silent: no byte has come since it "
                              "was opened at %2.")
                   .arg(GetInPort().PortNumber())
                   .arg(since);
    LogWarning(text);
    PlayProgramSound(QString::fromLatin1(kSilenceSound));
    const quint64 row = RecordLineEvent(GetInPort().PortNumber(), JournalLineEvent::SilenceAlarm,
                                        QStringLiteral("since %1").arg(since));
    // A repeated alarm of the same silence is no new trouble.
    StationTroubles().Begin(
        InputTrouble(TroubleKind::Silence, WallTime(SilentSince().wallMSecs), text, row));
}

void LineWatch::OnFlowingAgain()
{
    m_alarmRaised = false;
    const QDateTime wallNow = QDateTime::currentDateTime();
    const QString text = QStringLiteral("Bytes are flowing again on the input line (com%1) after "
                                        "a silence since %2.")
                             .arg(GetInPort().PortNumber())
                             .arg(ClockText(WallTime(SilentSince().wallMSecs), wallNow, true));
    LogWarning(text);
    StationTroubles().End(
        TroubleKind::Silence, text,
        RecordLineEvent(GetInPort().PortNumber(), JournalLineEvent::FlowingAgain));
}

QString LineWatch::InputPaneText() const
{
    const QString name = QStringLiteral("Input COM%1: ").arg(GetInPort().PortNumber());
    const SerialPort &port = GetInPort();
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime reconnecting = port.ReconnectingSince();
    if (!reconnecting.isNull())
        return name + QStringLiteral("reconnecting since ") + ClockText(reconnecting, now, false);
    if (!port.IsDeviceOpen())
        return name + QStringLiteral("not open");
    if (IsSilent(std::chrono::steady_clock::now()))
        return name + QStringLiteral("silent since ")
               + ClockText(WallTime(SilentSince().wallMSecs), now, false);
    if (m_frameAlarmRaised) {
        const Moment &since = m_lastFramed.steady >= m_opened.steady ? m_lastFramed : m_opened;
        return name + QStringLiteral("receiving, no message framed since ")
               + ClockText(WallTime(since.wallMSecs), now, false);
    }
    return name + QStringLiteral("receiving, last byte ")
           + ClockText(WallTime(m_lastByte.wallMSecs), now, true);
}

QString LineWatch::OutputPaneText() const
{
    const int number = GetOutPort().PortNumber() != 0 ? GetOutPort().PortNumber()
                                                      : GetGeneralSettings().m_outSerialPort;
    const QString name = QStringLiteral("Output COM%1: ").arg(number);
    const SerialPort &port = GetOutPort();
    const QDateTime now = QDateTime::currentDateTime();
    const int notForwarded = port.NotForwarded();
    const QString lost
        = notForwarded > 0 ? QStringLiteral(", %1 not forwarded").arg(notForwarded) : QString();
    const QDateTime reconnecting = port.ReconnectingSince();
    if (!reconnecting.isNull())
        return name + QStringLiteral("reconnecting since ") + ClockText(reconnecting, now, false)
               + lost;
    const QDateTime refusing = port.RefusingSince();
    if (!refusing.isNull())
        return name + QStringLiteral("not draining since ") + ClockText(refusing, now, false)
               + lost;
    if (port.IsDeviceOpen())
        return name + QStringLiteral("open");
    return name
           + (GetGeneralSettings().m_sendToPort != 0 ? QStringLiteral("not open")
                                                     : QStringLiteral("off"));
}

QString ClockText(const QDateTime &when, const QDateTime &now, bool withSeconds)
{
    const QString time
        = when.toString(withSeconds ? QStringLiteral("hh:mm:ss") : QStringLiteral("hh:mm"));
    if (when.date() == now.date())
        return time;
    return when.toString(QStringLiteral("yyyy-MM-dd ")) + time;
}
