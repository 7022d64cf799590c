#pragma once

#include <QList>
#include <QString>

#include <optional>

// The rich text that the log is saved as and read from, with no window behind it: paragraphs of
// runs, each run one stretch of text in one character format.

struct RtfColour
{
    quint8 red = 0;
    quint8 green = 0;
    quint8 blue = 0;

    bool operator==(const RtfColour &) const = default;
};

struct RtfCharFormat
{
    // Empty: whatever the reader of the file takes as its default face.
    QString face;
    int halfPoints = 24;
    // No value: the automatic colour (the reader's default text colour).
    std::optional<RtfColour> colour;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;

    bool operator==(const RtfCharFormat &) const = default;
};

// Tabs are '\t' and line breaks inside a paragraph U+2028 (QChar::LineSeparator) in `text`.
struct RtfRun
{
    QString text;
    RtfCharFormat format;

    bool operator==(const RtfRun &) const = default;
};

struct RtfParagraph
{
    QList<RtfRun> runs;

    bool operator==(const RtfParagraph &) const = default;
};

struct RtfDocument
{
    QList<RtfParagraph> paragraphs;

    bool operator==(const RtfDocument &) const = default;
};

// Text left in the log where a file held an embedded object (a picture, an OLE object, a drawing),
// which has no place in the log on this platform.
inline constexpr char16_t kEmbeddedObjectPlaceholder[] = u"[embedded object]";
