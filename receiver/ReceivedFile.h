// A passed message as a file of its own in the "Received" folder, and the log's words for a
// file that could not be written.
#pragma once

#include <QByteArray>
#include <QString>

struct EdisMessage;

// The line under the headline, in the file and on paper alike.
inline constexpr char kSeparatorLine[] = "===================================";

// The file's name for `header`: the header's characters, then ".txt". A header comes off the
// line, so the name is kept inside the "Received" folder: every '/', '\\' and zero byte, and
// every dot of a header that is just "." or "..", becomes '%' and two upper-case hexadecimal
// digits ("%2F"), and so does '%' itself ("%25"), so that two headers never share a name. All
// other characters stay as they are (bytes read as Windows-1252, as the log shows them).
QString MessageFileName(const QByteArray &header);

// Headline, 35 '=', "[header]", trailer, each ended by `lineEnd`, then the body as received
// with nothing after it: the text of a passed message in the file and on paper alike.
QByteArray MessageLines(const EdisMessage &message, const char *lineEnd);

// The file's five lines: headline, 35 '=', "[header]", trailer (each ended by CR LF), then the
// body as received with nothing after it.
QByteArray MessageFileContent(const EdisMessage &message);

// The text of a file-error cause (0..14); any other cause gives "unknown error".
QString FileErrorCauseText(int cause);
// The cause for a failed file operation from the platform's error number (errno).
int FileErrorCauseFromErrno(int error);
