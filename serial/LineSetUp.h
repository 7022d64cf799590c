// Opening a serial device and setting up its line, shared by the first open of a port and by
// its reopening after a failure, so that both leave the line in the same state.
#pragma once

#include <QString>

class QSerialPort;

struct LineSettings
{
    int portNumber = 0;
    int baud = 0;
    char parity = 0;
    int dataBits = 0;
    int stopBits = 0;
    int eventMask = 0;
};

// Opens `deviceName` exclusively on `device`, applies the settings and purges both directions.
// On a device that is missing or busy: false with a null `failedCall`. On a device that cannot
// take the settings: false, the device closed again, `failedCall` names the call for the
// failure line and `systemText` says why. Any thread; the device must belong to the caller's.
bool OpenLine(QSerialPort &device,
              const QString &deviceName,
              const LineSettings &settings,
              const char **failedCall,
              QString *systemText);

// The failure line of a port: the call that failed as the line's peers on the other platform
// know it ("WriteFile()"), the system's text, and the port. Any thread; ReportFailure writes it
// at once, FailureText gives it to be written in its turn.
void ReportFailure(const char *call, const QString &systemText, int portNumber);
QString FailureText(const char *call, const QString &systemText, int portNumber);

// The system's text for the device's last error. When the far end hangs up, Qt reports the
// read failure with whatever errno a later call left behind ("Inappropriate ioctl for
// device"); the read itself failed with EIO, which this gives instead.
QString DescribeError(const QSerialPort &device);
