#pragma once

#include "rtf/RtfDocument.h"

#include <QFont>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTextCharFormat>
#include <QTextOption>

#include <memory>
#include <utility>

class QTextBlock;
class QTextDocument;

// The log as plain data, which any thread may read: its paragraphs and runs as the log's file
// keeps them, and what laying it out in pages needs besides.
struct LogCopy
{
    RtfDocument text;
    // An empty line takes its height from the format of the line break before it: that format,
    // by paragraph, for each empty paragraph whose break has one.
    QHash<int, RtfCharFormat> emptyLineFormats;
    // The log's default font as QFont::toString: a QFont shared with the window's thread caches
    // its glyphs there, so another thread makes its own from the description.
    QString defaultFont;
    QTextOption textOption;
};

// The log's character format as the file keeps it, and back; `defaultFont` fills in what the
// format leaves to the document.
RtfCharFormat RtfFormatOf(const QTextCharFormat &format, const QFont &defaultFont);
QTextCharFormat CharFormatOf(const RtfCharFormat &format);

// Copies the log on the window's thread a slice at a time (some 40 ms each), so that the window
// answers between the slices. The copy is the log as it was at Start: lines appended later come
// after its end and are left out, and a trim meanwhile removes only lines already copied (it
// takes the oldest, and the copy goes from oldest to newest); should a trim overtake the copy,
// the lines it removed before they were copied are missing from it. GUI thread only.
class LogSnapshot : public QObject
{
    Q_OBJECT

public:
    explicit LogSnapshot(QTextDocument *log, QObject *parent = nullptr);
    ~LogSnapshot() override;

    // Fixes the end of the copy at the log's present end and copies the first slice; the others
    // follow from the event loop, and Finished once the copy is whole.
    void Start();
    bool IsDone() const { return m_done; }
    // Copies the rest at once, for the end of the program, when no event loop copies it.
    void FinishNow();
    // How far the copy is, 0 to 100.
    int Percent() const;
    // The copy, once done.
    std::shared_ptr<LogCopy> Copy() const { return m_copy; }
    // The copy, handed over: whoever takes it decides where its memory is freed.
    std::shared_ptr<LogCopy> TakeCopy() { return std::exchange(m_copy, {}); }

    // The whole log at once, as the slices would copy it.
    static LogCopy CopyNow(const QTextDocument &log);

signals:
    void Finished();

private:
    void CopySlice();
    void OnContentsChange(int from, int removed, int added);

    QPointer<QTextDocument> m_log;
    std::shared_ptr<LogCopy> m_copy;
    QFont m_defaultFont;
    // Formats already converted, by the log's format index.
    QHash<int, RtfCharFormat> m_formats;
    // The next position to copy, always at the start of a line, and the last position of the
    // copy (the end of its last line's text).
    int m_position = 0;
    int m_end = -1;
    int m_total = 0;
    bool m_started = false;
    bool m_atOnce = false;
    bool m_done = false;
};
