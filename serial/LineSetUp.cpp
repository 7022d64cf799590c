#include "LineSetUp.h"

#include "doors/Doors.h"

#include <QFileInfo>
#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <cerrno>
#endif

namespace {

QString InvalidArgumentText()
{
#ifdef Q_OS_UNIX
    return qt_error_string(EINVAL);
#else
    return QStringLiteral("The parameter is incorrect.");
#endif
}

bool ToParity(char letter, QSerialPort::Parity *parity)
{
    switch (letter) {
    case 'N':
    case 'n':
        *parity = QSerialPort::NoParity;
        return true;
    case 'E':
    case 'e':
        *parity = QSerialPort::EvenParity;
        return true;
    case 'O':
    case 'o':
        *parity = QSerialPort::OddParity;
        return true;
    case 'M':
    case 'm':
        *parity = QSerialPort::MarkParity;
        return true;
    case 'S':
    case 's':
        *parity = QSerialPort::SpaceParity;
        return true;
    default:
        return false;
    }
}

bool ToStopBits(int code, QSerialPort::StopBits *stopBits)
{
    switch (code) {
    case 0:
        *stopBits = QSerialPort::OneStop;
        return true;
    case 1:
        *stopBits = QSerialPort::OneAndHalfStop;
        return true;
    case 2:
        *stopBits = QSerialPort::TwoStop;
        return true;
    default:
        return false;
    }
}

// Applies the line settings to an open device. Returns the failure line's call name, or null.
const char *SetUpLine(QSerialPort &device, const LineSettings &settings, QString *systemText)
{
    QSerialPort::Parity parity{};
    QSerialPort::StopBits stopBits{};
    if (settings.baud <= 0 || settings.dataBits < 5 || settings.dataBits > 8
        || !ToParity(settings.parity, &parity) || !ToStopBits(settings.stopBits, &stopBits)) {
        *systemText = InvalidArgumentText();
        return "BuildCommDCB()";
    }
    if (!device.setBaudRate(settings.baud)
        || !device.setDataBits(QSerialPort::DataBits(settings.dataBits))
        || !device.setParity(parity) || !device.setStopBits(stopBits)
        || !device.setFlowControl(QSerialPort::NoFlowControl)) {
        *systemText = device.errorString();
        return "SetCommState()";
    }
    // A pseudo-terminal or an adapter without modem-control lines has no RTS to hold on.
    if (!device.setRequestToSend(true)
        && device.error() != QSerialPort::UnsupportedOperationError) {
        *systemText = device.errorString();
        return "SetCommState()";
    }
    device.clearError();
    return nullptr;
}

} // namespace

bool OpenLine(QSerialPort &device,
              const QString &deviceName,
              const LineSettings &settings,
              const char **failedCall,
              QString *systemText)
{
    *failedCall = nullptr;
    // Qt's lock file makes the open exclusive, against root too, but it is named after the name
    // it is given: opened through a /dev/serial/by-id link, the device itself stayed unlocked,
    // and a program opening it by its own name (root is not held off by TIOCEXCL) read the same
    // line, each of the two taking bytes the other never saw. So the lock is taken under the
    // device's own name, the one other programs take too.
    const QString target = QFileInfo(deviceName).canonicalFilePath();
    device.setPortName(target.isEmpty() ? deviceName : target);
    if (!device.open(QIODevice::ReadWrite))
        return false;
    *failedCall = SetUpLine(device, settings, systemText);
    if (*failedCall) {
        // Nothing would read a device left open here; let others have it.
        device.close();
        return false;
    }
    // Stale input from before the open must not reach the receiver.
    device.clear(QSerialPort::AllDirections);
    return true;
}

void ReportFailure(const char *call, const QString &systemText, int portNumber)
{
    LogError(FailureText(call, systemText, portNumber));
}

QString FailureText(const char *call, const QString &systemText, int portNumber)
{
    return QStringLiteral("WARNING:  %1 Failed with the following error: \n%2\nPort: %3\n")
        .arg(QLatin1String(call), systemText, QString::number(portNumber));
}

QString DescribeError(const QSerialPort &device)
{
    const QString text = device.errorString();
#ifdef Q_OS_UNIX
    if (text.isEmpty() || text == qt_error_string(ENOTTY) || text == QLatin1String("Unknown error"))
        return qt_error_string(EIO);
#endif
    return text;
}
