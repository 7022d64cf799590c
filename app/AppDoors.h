#pragma once

#include "doors/Doors.h"
#include "journal/JournalRecord.h"

// The running program's side of the doors: the application's service objects and its log
// view. CAlvetraApp installs it at start-up and removes it when it ends. The program folder is
// the executable's, which the doors answer by themselves.
class AppDoors final : public Doors
{
public:
    MessageReceiver &GetReceiver() override;
    FilterSettings &GetFilterSettings() override;
    SerialPort &GetInPort() override;
    SerialPort &GetOutPort() override;
    GeneralSettings &GetGeneralSettings() override;
    Journal *GetJournal() override;

    void LogError(const QString &text) override;
    void LogWarning(const QString &text) override;
    void ShowMessage(const EdisMessage &message) override;
    void AwaitAcknowledgement(const EdisMessage &message,
                              unsigned long long journalTicket,
                              const QDateTime &receivedAt) override;
    void AppendLogText(const QString &text,
                       bool newLineFirst,
                       int height,
                       unsigned int colour,
                       bool bold,
                       bool underline) override;
};

// Keeps an event of the line `port` in the journal, when one is kept; `at` defaults to now.
// Its ticket, for a result joined to it later (Journal::RecordOutput), or 0. A `port` of 0 is
// an event of no line. GUI thread only.
quint64 RecordLineEvent(int port,
                        JournalLineEvent event,
                        const QString &detail = {},
                        const QDateTime &at = {});
// Keeps a later result of an output (the output line's "sent", the printer's) under its
// message's row, when a journal is kept. GUI thread only.
void RecordOutputResult(const JournalOutput &output);
// The last error or warning line written to the log, which a line's trouble hands on as its
// text: a port's failure line comes just before its notice. GUI thread only.
QString LastLogLine();
