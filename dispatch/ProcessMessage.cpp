#include "ProcessMessage.h"

#include "MessageDispatcher.h"
#include "doors/Doors.h"
#include "journal/Journal.h"
#include "receiver/EdisMessage.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <QString>

namespace {

// A message that never ended keeps its first bytes in the journal, not its whole mebibyte.
constexpr qsizetype kKeptPartialBytes = 64 * 1024;

JournalFrame Row(const QByteArray &bytes, const QDateTime &receivedAt, JournalFate fate)
{
    JournalFrame row;
    // A message fed from the test file has no time of reading: it arrives now.
    row.m_received = receivedAt.isValid() ? receivedAt.toUTC() : QDateTime::currentDateTimeUtc();
    const SerialPort &input = GetInPort();
    row.m_port = input.PortNumber();
    // The device the line was opened with: a device picked since applies from the next new log.
    row.m_device = input.DeviceName();
    row.m_fate = fate;
    row.m_length = bytes.size();
    row.m_bytes = bytes.left(kKeptPartialBytes);
    return row;
}

JournalFrame JudgedRow(const QByteArray &message, const QDateTime &receivedAt, const Judgement &j)
{
    static const char *const kTests[] = {"", "handling", "region", "source"};
    JournalFate fate = JournalFate::Passed;
    if (j.m_verdict == MessageVerdict::Filtered)
        fate = JournalFate::Filtered;
    else if (j.m_verdict == MessageVerdict::Malformed)
        fate = JournalFate::Malformed;
    JournalFrame row = Row(message, receivedAt, fate);
    if (fate == JournalFate::Filtered)
        row.m_detail = QString::fromLatin1(kTests[int(j.m_failedTest)]);
    else if (fate == JournalFate::Malformed)
        row.m_detail = QString::fromLatin1(j.m_warning);
    row.m_header = j.m_header;
    row.m_handling = j.m_header.mid(5, 1);
    row.m_region = j.m_header.mid(6, 2);
    row.m_source = j.m_header.mid(8, 1);
    if (fate == JournalFate::Passed) {
        row.m_headline = j.m_message.m_headline;
        row.m_trailer = j.m_message.m_trailer;
        row.m_body = j.m_message.m_body;
    }
    return row;
}

} // namespace

FrameOutcome ProcessMessage(const QByteArray &message, const QDateTime &receivedAt)
{
    Judgement judgement = JudgeMessage(message, GetFilterSettings());
    Journal *journal = GetJournal();
    const char handling = judgement.m_header.size() > 5 ? judgement.m_header.at(5) : char(0);
    // Decided as it passes: turning the switch on later never makes an older message wait.
    const bool waits = judgement.m_verdict == MessageVerdict::Passed && handling != 0
                       && GetGeneralSettings().m_alerts.Waits(handling);
    quint64 ticket = 0;
    if (journal) {
        JournalFrame row = JudgedRow(message, receivedAt, judgement);
        row.m_awaitsAcknowledgement = waits;
        ticket = journal->Record(std::move(row));
    }
    switch (judgement.m_verdict) {
    case MessageVerdict::Filtered:
        return {JournalFate::Filtered, handling};
    case MessageVerdict::Malformed:
        LogWarning(QString::fromLatin1(judgement.m_warning));
        return {JournalFate::Malformed, handling};
    case MessageVerdict::Passed:
        break;
    }
    if (waits)
        AwaitAcknowledgement(judgement.m_message, ticket,
                             receivedAt.isValid() ? receivedAt.toUTC()
                                                  : QDateTime::currentDateTimeUtc());
    ShowMessage(judgement.m_message);
    if (!journal) {
        MessageDispatcher(&judgement.m_message, receivedAt).Dispatch();
        return {JournalFate::Passed, handling};
    }
    // The log has the message at once; nothing is done with it before it is on disk.
    journal->AfterCommit(ticket,
                         [message = std::move(judgement.m_message), receivedAt, ticket]() mutable {
                             MessageDispatcher dispatcher(&message, receivedAt);
                             dispatcher.SetJournalTicket(ticket);
                             dispatcher.Dispatch();
                         });
    return {JournalFate::Passed, handling};
}

JournalFate RecordDroppedMessage(const QByteArray &partial,
                                 MessageReceiver::DropReason reason,
                                 const QDateTime &at)
{
    JournalFate fate = JournalFate::CutByLostLine;
    QString detail;
    switch (reason) {
    case MessageReceiver::DropReason::TooLong:
        fate = JournalFate::DroppedByBound;
        break;
    case MessageReceiver::DropReason::LineLost:
        break;
    case MessageReceiver::DropReason::InputBound:
        fate = JournalFate::DroppedByBound;
        detail = QStringLiteral("bytes of it were dropped at the input bound");
        break;
    case MessageReceiver::DropReason::Silence:
        fate = JournalFate::DroppedAfterSilence;
        break;
    }
    Journal *journal = GetJournal();
    if (!journal)
        return fate;
    JournalFrame row = Row(partial, at, fate);
    row.m_detail = detail;
    // What can be read of the header, as the filter would have read it.
    const qsizetype t = partial.indexOf('\x1F');
    if (t >= 0 && t + 4 < partial.size()) {
        row.m_header = partial.first(qMin<qsizetype>(5, partial.size())) + partial.mid(t + 1, 5);
        row.m_handling = partial.mid(t + 1, 1);
        row.m_region = partial.mid(t + 2, 2);
        row.m_source = partial.mid(t + 4, 1);
    }
    journal->Record(std::move(row));
    return fate;
}
