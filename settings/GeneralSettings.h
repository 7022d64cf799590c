#pragma once

#include <QString>

// The six general settings: the COM port numbers, the recover time that paces the output line
// and the three output switches. Kept in the per-user settings store (organisation "Dorvane",
// application "Alvetra", group "Settings"): Dorvane/Alvetra.conf under the user's configuration
// folder on Linux, the registry key Software\Dorvane\Alvetra on Windows.
// GUI thread only.
class GeneralSettings
{
public:
    virtual ~GeneralSettings() = default;

    // Reads each entry; a missing entry, or one that is not an integer, yields its default.
    // Values are taken as stored, without range checks (a switch of 5 stays 5).
    void Load();
    // Writes all six entries. A store that cannot be written is not reported.
    void Save() const;

    int m_inSerialPort = 0;
    int m_outSerialPort = 0;
    int m_recoverTime = 0; // milliseconds
    int m_sendToFile = 0;
    int m_sendToPrinter = 0;
    int m_sendToPort = 0;
};

// The device for COM port `number` on this platform: "COM<n>" on Windows; on Linux the entry
// "COM<n>" of the settings group "Ports" when there is one, else /dev/ttyS<n-1>.
QString SerialDeviceForPort(int number);
