#include "JournalRecord.h"

JournalFrame JournalLineEventRow(const QDateTime &at,
                                 int port,
                                 const QString &device,
                                 JournalLineEvent event,
                                 const QString &detail)
{
    JournalFrame row;
    row.m_received = at;
    row.m_port = port;
    row.m_device = device;
    row.m_fate = JournalFate::LineEvent;
    row.m_detail = JournalLineEventText(event);
    if (!detail.isEmpty())
        row.m_detail += QStringLiteral(": ") + detail;
    return row;
}

QString JournalFateText(JournalFate fate)
{
    switch (fate) {
    case JournalFate::Passed:
        return QStringLiteral("passed");
    case JournalFate::Filtered:
        return QStringLiteral("filtered");
    case JournalFate::Malformed:
        return QStringLiteral("malformed");
    case JournalFate::DroppedByBound:
        return QStringLiteral("dropped by the message bound");
    case JournalFate::DroppedAfterSilence:
        return QStringLiteral("dropped after a silence");
    case JournalFate::CutByLostLine:
        return QStringLiteral("cut by a lost line");
    case JournalFate::LineEvent:
        return QStringLiteral("line event");
    }
    return QStringLiteral("unknown");
}

QString JournalLineEventText(JournalLineEvent event)
{
    switch (event) {
    case JournalLineEvent::Opened:
        return QStringLiteral("line opened");
    case JournalLineEvent::CouldNotBeOpened:
        return QStringLiteral("line could not be opened");
    case JournalLineEvent::Lost:
        return QStringLiteral("line lost");
    case JournalLineEvent::Back:
        return QStringLiteral("line back");
    case JournalLineEvent::SilenceAlarm:
        return QStringLiteral("silence alarm");
    case JournalLineEvent::FlowingAgain:
        return QStringLiteral("flowing again");
    case JournalLineEvent::OutputNotDraining:
        return QStringLiteral("output not draining");
    case JournalLineEvent::InputBytesDropped:
        return QStringLiteral("bytes dropped at the input bound");
    case JournalLineEvent::OutputDrainsAgain:
        return QStringLiteral("output drains again");
    case JournalLineEvent::NoFrames:
        return QStringLiteral("no message framed");
    case JournalLineEvent::FramesAgain:
        return QStringLiteral("messages framed again");
    case JournalLineEvent::JournalStopped:
        return QStringLiteral("journal stopped");
    case JournalLineEvent::JournalWritingAgain:
        return QStringLiteral("journal written again");
    case JournalLineEvent::UncleanEnd:
        return QStringLiteral("last run did not end in order");
    }
    return QStringLiteral("unknown event");
}

QString JournalOutputKindText(JournalOutputKind kind)
{
    switch (kind) {
    case JournalOutputKind::Sound:
        return QStringLiteral("sound");
    case JournalOutputKind::File:
        return QStringLiteral("file");
    case JournalOutputKind::OutputLine:
        return QStringLiteral("output line");
    case JournalOutputKind::Printer:
        return QStringLiteral("printer");
    case JournalOutputKind::Hook:
        return QStringLiteral("hook");
    case JournalOutputKind::TroubleCommand:
        return QStringLiteral("trouble command");
    }
    return QStringLiteral("unknown");
}

QString AcknowledgedFromText(AcknowledgedFrom from)
{
    switch (from) {
    case AcknowledgedFrom::Window:
        return QStringLiteral("window");
    case AcknowledgedFrom::History:
        return QStringLiteral("History");
    case AcknowledgedFrom::Notification:
        return QStringLiteral("notification");
    case AcknowledgedFrom::Tray:
        return QStringLiteral("tray");
    }
    return QStringLiteral("unknown");
}
