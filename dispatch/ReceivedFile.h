// A passed message as a file of its own in the "Received" folder, and the log's words for a
// file that could not be written. The file's lines themselves are built beside the message
// (MessageFileContent), since the command run for a passed message reads them too.
#pragma once

#include "receiver/EdisMessage.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

// The file's name for `header`: the header's characters, then ".txt". A header comes off the
// line, so the name is kept inside the "Received" folder: every '/', '\\' and zero byte, and
// every dot of a header that is just "." or "..", becomes '%' and two upper-case hexadecimal
// digits ("%2F"), and so does '%' itself ("%25"), so that two headers never share a name. All
// other characters stay as they are (bytes read as Windows-1252, as the log shows them).
QString MessageFileName(const QByteArray &header);

// The text of a file-error cause (0..14); any other cause gives "unknown error".
QString FileErrorCauseText(int cause);
// The cause for a failed file operation from the platform's error number (errno).
int FileErrorCauseFromErrno(int error);

// --- Filing on a thread of its own ---

// What became of one queued file: `m_cause` 0 once it is in place, else the failure's cause
// (FileErrorCauseText); `m_at` when that was known, UTC.
struct ReceivedFileResult
{
    int m_cause = 0;
    QDateTime m_at;
};

// Writes `content` as the whole of `path` (inside `folder`, which the program never makes) on
// the filing thread, which writes one file at a time in the order queued: an fsync that takes
// seconds holds neither the window nor the line. `then` runs on the GUI thread with the result,
// after every earlier call's `then` (AfterReceivedFiles' too). Without an application object
// the file is written and `then` run before it returns. GUI thread only; the thread is made at
// the first file.
void QueueReceivedFile(const QString &folder,
                       const QString &path,
                       const QByteArray &content,
                       std::function<void(const ReceivedFileResult &)> then);
// Runs `then` on the GUI thread once every file queued before has its `then` run: at once when
// none waits. GUI thread only.
void AfterReceivedFiles(std::function<void()> then);
// Waits for every queued file and runs what waits for it, in order: the program is ending, or
// a test needs the files in place. GUI thread only; may take as long as the disk takes, so
// only at the end (and in tests).
void FinishReceivedFiles();
