#pragma once

#include "AlertSettings.h"
#include "CentralSettings.h"
#include "MonitorSettings.h"
#include "TroubleSettings.h"

#include <QString>

// The six general settings: the COM port numbers, the recover time that paces the output line
// and the three output switches. Kept in the per-user settings store (organisation "Dorvane",
// application "Alvetra", group "Settings"): Dorvane/Alvetra.conf under the user's configuration
// folder on Linux, the registry key Software\Dorvane\Alvetra on Windows.
// Beside them, in groups of their own so that the six stay exactly as other installations
// read them: the minutes of silence on the input line after which Alvetra warns
// ("Supervision"), and the command run for each passed message ("Hooks").
// GUI thread only.
class GeneralSettings
{
public:
    virtual ~GeneralSettings() = default;

    // Reads each entry; a missing entry, or one that is not a 32-bit integer (not a number, out
    // of range), yields its default.
    // Values are taken as stored, without range checks (a switch of 5 stays 5).
    void Load();
    // Writes all six entries and those of the other groups. Empty once they are written; else the
    // failure line's text, naming the store and, where it can be told, the cause. The values
    // here stay as they are either way.
    QString Save() const;

    int m_inSerialPort = 0;
    int m_outSerialPort = 0;
    int m_recoverTime = 0; // milliseconds
    int m_sendToFile = 0;
    int m_sendToPrinter = 0;
    int m_sendToPort = 0;

    // Besides alerts the feed brings routine traffic around the clock (news, tests,
    // information), so an hour without a single byte points to a dead line or receiver rather
    // than a quiet feed. A shorter period would sound on quiet nights until operators learn to
    // ignore it; a longer one lets alerts go missing unnoticed for longer.
    static constexpr int kDefaultSilenceMinutes = 60;
    int m_silenceMinutes = 0; // 0 or less: no silence alarm

    // The station's own command for each passed message (group "Hooks"): a program and its
    // arguments as typed, empty for none, and the seconds it may run.
    QString m_onPassed;
    static constexpr int kDefaultHookTimeLimitSeconds = 60;
    int m_hookTimeLimitSeconds = 0;

    // In a group of its own too ("Desktop"): whether each passed message gives a desktop
    // notification. Notifications of a lost or silent line are not switched off.
    int m_notifyPassedMessages = 1;

    // The station's name (group "Station"), which its commands and whatever watches it from
    // afar see; by default the host's name. Read like every setting from the user's file and
    // then the system-wide one (/etc/xdg/Dorvane/Alvetra.conf on Linux), so that a station's
    // operators share one name; written to the user's file only when it differs from that.
    QString m_stationName;
    // The name a station has when no file names it.
    static QString DefaultStationName();

    // The station's command for its troubles, and the frame silence.
    TroubleSettings m_troubles;
    // Whether passed messages wait for acknowledgement (group "Alerts").
    AlertSettings m_alerts;
    MonitorSettings m_monitor;
    // The central journal the station's journal is shipped to (group "Central").
    CentralSettings m_central;
};

// The device for COM port `number` on this platform: "COM<n>" on Windows; on Linux the entry
// "COM<n>" of the settings group "Ports" when there is one, else /dev/ttyS<n-1>.
QString SerialDeviceForPort(int number);
// The device COM port `number` opens when the "Ports" group names none.
QString BuiltInSerialDevice(int number);
// Sets the "Ports" entry for COM port `number` to `device`, or removes it when `device` is
// empty, so that the number opens its built-in device again. Not on Windows.
void SetSerialDeviceForPort(int number, const QString &device);
