#pragma once

#include <QByteArray>
#include <QDateTime>

// Judges one framed message (everything after the SOH, EOT included) against the filter
// criteria; a passed message is shown in the log and dispatched, a malformed one gives a
// warning line, a filtered one vanishes. `receivedAt` is when the input line's thread read the
// message's last bytes. GUI thread only.
void ProcessMessage(const QByteArray &message, const QDateTime &receivedAt = {});
