// The log view's side of the serial lines: opening the ports and taking their bytes.
#include "CAlvetraView.h"

#include "AppDoors.h"
#include "CAlvetraApp.h"
#include "doors/Doors.h"
#include "receiver/MsgReciever.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <QFileInfo>

namespace {

constexpr int kBaud = 9600;
constexpr char kParity = 'N';
constexpr int kDataBits = 8;
constexpr int kOneStopBit = 0;
// Received characters and clear-to-send changes.
constexpr int kEventMask = 9;
constexpr int kReceivedCharacter = 1;
constexpr int kOutBufferSize = 512;

// Whether two COM numbers name one device, directly or through links (a by-id name and the
// ttyUSB it leads to).
bool SameDevice(int number, int otherNumber)
{
    if (number == otherNumber)
        return true;
    const QString device = QFileInfo(SerialDeviceForPort(number)).canonicalFilePath();
    return !device.isEmpty()
           && device == QFileInfo(SerialDeviceForPort(otherNumber)).canonicalFilePath();
}

Troubles &StationTroubles()
{
    return CAlvetraApp::Instance()->GetTroubles();
}

// A trouble of the line `port` that began at `at`, told by the log line just written.
Trouble LineTrouble(TroubleKind kind, const SerialPort &port, const QDateTime &at, quint64 row)
{
    return {kind,
            at.isValid() ? at.toLocalTime() : QDateTime::currentDateTime(),
            port.PortNumber(),
            port.DeviceName(),
            LastLogLine(),
            row};
}

} // namespace

void CAlvetraView::SetUpPorts()
{
    const GeneralSettings &settings = GetGeneralSettings();
    // Both ports let go of their devices before either opens one: with the numbers swapped,
    // the old output port would still hold the device the input port is to open. An output
    // port switched off is otherwise left running as it was if it holds its device; one that
    // is only trying to get it back stops trying.
    SerialPort &out = GetOutPort();
    GetInPort().StopThread();
    if (settings.m_sendToPort || out.PortNumber() == settings.m_inSerialPort || !out.IsDeviceOpen())
        out.StopThread();
    SetUpPort(GetInPort(), settings.m_inSerialPort,
              QStringLiteral("Could not initialize the input com port (com%1).\nOther devices may "
                             "be using it or it does not exist."));
    m_lineWatch.InputOpened();
    if (settings.m_sendToPort) {
        SetUpPort(out, settings.m_outSerialPort,
                  QStringLiteral("Could not initialize the output com port (com%1).\nOther "
                                 "devices may be using it or it does not exist."));
    }
}

void CAlvetraView::SetUpPort(SerialPort &port, int number, const QString &failure)
{
    // What the output line's far end sends back (ACKs, say) is no message of ours; handed
    // over, it would hold the output port's thread while the dispatch pauses between pieces.
    const int eventMask = &port == &GetOutPort() ? kEventMask & ~kReceivedCharacter : kEventMask;
    port.Configure(this, number, kBaud, kParity, kDataBits, kOneStopBit, eventMask, kOutBufferSize);
    const bool input = &port == &GetInPort();
    if (port.OpenPort()) {
        port.StartThread();
        if (input) {
            const quint64 row = RecordLineEvent(number, JournalLineEvent::Opened);
            StationTroubles().End(TroubleKind::InputLine,
                                  QStringLiteral("The input line (com%1) is open.").arg(number),
                                  row);
        }
        return;
    }
    LogError(failure.arg(number));
    const quint64 row
        = RecordLineEvent(number, JournalLineEvent::CouldNotBeOpened,
                          input ? QStringLiteral("input line") : QStringLiteral("output line"));
    if (input)
        StationTroubles().Begin(
            {TroubleKind::InputLine, QDateTime::currentDateTime(), number,
             port.DeviceName().isEmpty() ? SerialDeviceForPort(number) : port.DeviceName(),
             failure.arg(number), row});
    // A station that starts before its USB adapter is awake must not stay deaf: the line is
    // tried as one that failed while open. Not so for a device that Alvetra's other line holds
    // or is trying to get: that is a setting to change, and the line above says so.
    const SerialPort &other = input ? GetOutPort() : GetInPort();
    if (!other.IsRunning() || !SameDevice(number, other.PortNumber()))
        port.RetryOpen();
}

void CAlvetraView::OnSerialBytes(const QByteArray &bytes, int portNumber, const QDateTime &readAt)
{
    // The line the port opened, whatever the settings say since.
    if (portNumber != GetInPort().PortNumber())
        return;
    m_lineWatch.OnInputBytes(readAt, bytes.size());
    MessageReceiver &receiver = GetReceiver();
    receiver.SetArrivalTime(readAt);
    for (const char byte : bytes)
        receiver.ProcessChar(static_cast<unsigned char>(byte));
}

void CAlvetraView::OnSerialLineLost(int portNumber, const QDateTime &at)
{
    if (portNumber != GetInPort().PortNumber())
        return;
    GetReceiver().DiscardMessage(MessageReceiver::DropReason::LineLost);
    StationTroubles().Begin(
        LineTrouble(TroubleKind::InputLine, GetInPort(), at,
                    RecordLineEvent(portNumber, JournalLineEvent::Lost, {}, at)));
}

void CAlvetraView::OnSerialBytesDropped(int portNumber, qint64 count, const QDateTime &at)
{
    if (portNumber != GetInPort().PortNumber())
        return;
    GetReceiver().DiscardMessage(MessageReceiver::DropReason::InputBound);
    RecordLineEvent(portNumber, JournalLineEvent::InputBytesDropped,
                    QStringLiteral("%1 bytes").arg(count), at);
    LogError(QStringLiteral("The input line COM%1 brought more than Alvetra could hold while it "
                            "was busy: %2 bytes were dropped, and the message they cut was "
                            "discarded.")
                 .arg(portNumber)
                 .arg(count));
}

void CAlvetraView::OnSerialLineEvent(int portNumber,
                                     int event,
                                     const QString &detail,
                                     const QDateTime &at)
{
    JournalLineEvent row = JournalLineEvent::Lost;
    switch (SerialPort::LineEvent(event)) {
    case SerialPort::LineEvent::Lost:
        row = JournalLineEvent::Lost;
        break;
    case SerialPort::LineEvent::Back:
        row = JournalLineEvent::Back;
        break;
    case SerialPort::LineEvent::NotDraining:
        row = JournalLineEvent::OutputNotDraining;
        break;
    case SerialPort::LineEvent::DrainsAgain:
        row = JournalLineEvent::OutputDrainsAgain;
        break;
    }
    const quint64 ticket = RecordLineEvent(portNumber, row, detail, at);
    const bool input = portNumber == GetInPort().PortNumber();
    const SerialPort &port = input ? GetInPort() : GetOutPort();
    if (input && row == JournalLineEvent::Lost)
        StationTroubles().Begin(LineTrouble(TroubleKind::InputLine, port, at, ticket));
    else if (input && row == JournalLineEvent::Back)
        StationTroubles().End(TroubleKind::InputLine, LastLogLine(), ticket);
    else if (row == JournalLineEvent::OutputNotDraining)
        StationTroubles().Begin(LineTrouble(TroubleKind::OutputDraining, port, at, ticket));
    // A line back after its loss has nothing waiting in it: it drains.
    else if (row == JournalLineEvent::OutputDrainsAgain || row == JournalLineEvent::Back)
        StationTroubles().End(TroubleKind::OutputDraining, LastLogLine(), ticket);
}

void CAlvetraView::OnSerialMessageDone(
    int, quint64 tag, bool sent, const QString &result, const QDateTime &at)
{
    RecordOutputResult({tag, JournalOutputKind::OutputLine, at, sent, result});
}

int CAlvetraView::OnSerialByte(int byte, int portNumber)
{
    // The number the input port was opened with, not the setting: a new input number applies
    // from the next new log, and until then the open line's alerts must still pass.
    if (portNumber != GetInPort().PortNumber())
        return -1;
    GetReceiver().ProcessChar(byte);
    return 0;
}
