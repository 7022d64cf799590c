#pragma once

#include "journal/JournalRecord.h"
#include "receiver/EdisMessage.h"
#include "receiver/MsgReciever.h"

#include <QByteArray>
#include <QDateTime>

// Judges one framed message (everything after the SOH, EOT included) against the filter
// criteria; a passed message is shown in the log and dispatched, a malformed one gives a
// warning line, a filtered one vanishes. Every one is kept in the journal, when there is
// one, and a passed one's outputs start once its row is on disk (Journal::AfterCommit).
// `receivedAt` is when the input line's thread read the message's last bytes. GUI thread only.
// Returns its fate and its handling level, for the station's counts.
struct FrameOutcome
{
    JournalFate m_fate = JournalFate::Passed;
    char m_handling = 0;
};
FrameOutcome ProcessMessage(const QByteArray &message, const QDateTime &receivedAt = {});

// Keeps a message the receiver gave up (`partial`: what had come of it) in the journal, with
// its reason and the time its last bytes were read. Nothing without a journal. GUI thread only.
// Returns the fate it is kept with.
JournalFate RecordDroppedMessage(const QByteArray &partial,
                                 MessageReceiver::DropReason reason,
                                 const QDateTime &at);
