#pragma once

#include <QByteArray>

// Judges one framed message (everything after the SOH, EOT included) against the filter
// criteria; a passed message is shown in the log and dispatched, a malformed one gives a
// warning line, a filtered one vanishes. GUI thread only.
void ProcessMessage(const QByteArray &message);
