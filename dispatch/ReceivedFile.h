// A passed message as a file of its own in the "Received" folder, and the log's words for a
// file that could not be written. The file's lines themselves are built beside the message
// (MessageFileContent), since the command run for a passed message reads them too.
#pragma once

#include "receiver/EdisMessage.h"

#include <QByteArray>
#include <QString>

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
