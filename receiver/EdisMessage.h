#pragma once

#include <QByteArray>
#include <QByteArrayView>

class FilterSettings;

// The line under the headline, in the file and on paper alike.
inline constexpr char kSeparatorLine[] = "===================================";

// A message that passed the filter, cut into its parts. Texts are the raw 8-bit bytes of the
// line.
struct EdisMessage
{
    virtual ~EdisMessage() = default;

    QByteArray m_header;
    QByteArray m_headline;
    QByteArray m_body;
    QByteArray m_trailer;
    QByteArray m_outputText; // re-framed for the output line
};

enum class MessageVerdict {
    Passed,
    // Failed the filter: dropped without a trace.
    Filtered,
    // Passed or not judged, but a delimiter is missing: dropped with a warning line.
    Malformed,
};

// The test of the header a filtered message failed: the first, in the order they are asked.
enum class FailedTest { None, Handling, Region, Source };

struct Judgement
{
    MessageVerdict m_verdict = MessageVerdict::Filtered;
    // Filtered: which test it failed.
    FailedTest m_failedTest = FailedTest::None;
    // As far as the header could be read, whatever the verdict: the five bytes before the TFI
    // and the five after it (handling, two of region, source, one more).
    QByteArray m_header;
    // Malformed: the text of the warning line.
    const char *m_warning = nullptr;
    // Passed: the message cut into its parts.
    EdisMessage m_message;
};

// Judges one framed message (the bytes after the SOH, the closing EOT included) against the
// criteria and cuts a passed one. The header decides before anything else is looked for, so a
// message that fails the filter never gives a warning. Zero bytes are ordinary bytes. Pure: no
// log, no files; any thread.
Judgement JudgeMessage(QByteArrayView message, const FilterSettings &filter);

// Headline, 35 '=', "[header]", trailer, each ended by `lineEnd`, then the body as received
// with nothing after it: the text of a passed message in the file and on paper alike.
QByteArray MessageLines(const EdisMessage &message, const char *lineEnd);

// The file's five lines: headline, 35 '=', "[header]", trailer (each ended by CR LF), then the
// body as received with nothing after it.
QByteArray MessageFileContent(const EdisMessage &message);
