#include "AppDoors.h"

#include "Acknowledgements.h"
#include "CAlvetraApp.h"
#include "CAlvetraView.h"
#include "Notifier.h"
#include "journal/Journal.h"
#include "receiver/EdisMessage.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

namespace {

QString g_lastLogLine;

} // namespace

MessageReceiver &AppDoors::GetReceiver()
{
    return CAlvetraApp::Instance()->m_receiver;
}

FilterSettings &AppDoors::GetFilterSettings()
{
    return CAlvetraApp::Instance()->m_filterSettings;
}

SerialPort &AppDoors::GetInPort()
{
    return CAlvetraApp::Instance()->m_inPort;
}

SerialPort &AppDoors::GetOutPort()
{
    return CAlvetraApp::Instance()->m_outPort;
}

GeneralSettings &AppDoors::GetGeneralSettings()
{
    return CAlvetraApp::Instance()->m_generalSettings;
}

Journal *AppDoors::GetJournal()
{
    return CAlvetraApp::Instance()->GetJournal();
}

void AppDoors::LogError(const QString &text)
{
    g_lastLogLine = text;
    AppendErrorLine(text);
}

void AppDoors::LogWarning(const QString &text)
{
    g_lastLogLine = text;
    AppendWarningLine(text);
}

void AppDoors::ShowMessage(const EdisMessage &message)
{
    if (CAlvetraView *view = GetLogView())
        view->ShowMessage(message);
    // The message's own, when it waits for acknowledgement (AwaitAcknowledgement came first).
    const quint64 waitingKey = CAlvetraApp::Instance()->GetAcknowledgements().TakeJustAdded();
    // Without a display the session bus may be going too; nobody would see the notification.
    if (CAlvetraApp::Instance()->m_generalSettings.m_notifyPassedMessages != 0
        && !CAlvetraApp::Instance()->IsDisplayGone())
        CAlvetraApp::Instance()->Notifications().OnPassedMessage(message.m_header,
                                                                 message.m_headline, waitingKey);
}

void AppDoors::AwaitAcknowledgement(const EdisMessage &,
                                    unsigned long long journalTicket,
                                    const QDateTime &receivedAt)
{
    CAlvetraApp::Instance()->GetAcknowledgements().Add(journalTicket, receivedAt);
}

void AppDoors::AppendLogText(const QString &text,
                             bool newLineFirst,
                             int height,
                             unsigned int colour,
                             bool bold,
                             bool underline)
{
    if (CAlvetraView *view = GetLogView())
        view->AppendText(text, newLineFirst, height, colour, bold, underline);
}

quint64
RecordLineEvent(int port, JournalLineEvent event, const QString &detail, const QDateTime &at)
{
    Journal *journal = GetJournal();
    if (!journal)
        return 0;
    // The device the line was opened with, as its frames have it: one picked in General
    // Settings since applies from the next new log.
    const SerialPort &input = GetInPort();
    const SerialPort &output = GetOutPort();
    QString device = port == 0                     ? QString()
                     : input.PortNumber() == port  ? input.DeviceName()
                     : output.PortNumber() == port ? output.DeviceName()
                                                   : QString();
    if (device.isEmpty() && port != 0)
        device = SerialDeviceForPort(port);
    return journal->Record(JournalLineEventRow(
        at.isValid() ? at.toUTC() : QDateTime::currentDateTimeUtc(), port, device, event, detail));
}

void RecordOutputResult(const JournalOutput &output)
{
    if (Journal *journal = GetJournal())
        journal->RecordOutput(output);
}

QString LastLogLine()
{
    return g_lastLogLine;
}
