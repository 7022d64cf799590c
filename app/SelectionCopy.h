#pragma once

#include <QObject>
#include <QString>
#include <QTextCursor>
#include <QTimer>

#include <optional>

class QMimeData;
class QPlainTextEdit;

// A selection of the log read into plain text a slice at a time, from its end backwards, so
// that a trim of the log's oldest lines meanwhile only shortens what is left, as it shortens
// the operator's selection, and never leaves a gap in the middle. New lines at the end are not
// part of it. GUI thread only.
class SelectionText
{
public:
    explicit SelectionText(const QTextCursor &selection);

    // Reads on for about `milliseconds`, or to the start when it is negative; true once the
    // text is whole.
    bool Read(qint64 milliseconds);
    // The whole text, once Read said so.
    QString Take();

private:
    QTextCursor m_start;
    QTextCursor m_readTo;
    // The text read so far stands at the end of m_text, m_filled characters of it: filled from
    // its end as the slices come, so the memory is touched a slice at a time and the whole is
    // never copied again.
    QString m_text;
    qsizetype m_filled = 0;
};

// Copy (Ctrl+C) of the log's selection without holding the window, at any size: a full log is
// 16.7 million characters, and Qt's own copy makes a rich-text fragment of all of it, then its
// HTML at the first paste, seconds on the window's thread either way. A selection of up to
// kRichCopyLimit characters is copied as before, rich text included; a larger one is read a
// slice at a time between the window's other events and goes onto the clipboard as plain text
// once it is whole, so that a paste by another program costs only its encoding. GUI thread only.
class SelectionCopy : public QObject
{
    Q_OBJECT

public:
    // Up to here a selection keeps its rich form: its HTML takes some 25 ms to make.
    static constexpr int kRichCopyLimit = 100'000;

    explicit SelectionCopy(QPlainTextEdit *log, QObject *parent = nullptr);

    // Copies the log's selection; a copy still under way gives way to it. Nothing without a
    // selection, as before.
    void Start();
    bool IsRunning() const { return m_slices.isActive(); }

    // The text of `selection` as a paste elsewhere has always given it: line and paragraph
    // separators as newlines, no-break spaces as spaces. At once, whatever its size.
    static QString PlainText(const QTextCursor &selection);
    // A selection's characters as the document holds them, made into that plain text in place.
    static void MakePlain(QString &text);
    // The clipboard's form of a large selection made otherwise than by Copy (X11's primary
    // selection, a drag, the context menu): its plain text, read in slices from now on; a paste
    // that comes before it is whole reads the rest at once.
    static QMimeData *PlainTextInSlices(const QTextCursor &selection);

signals:
    // The clipboard holds the selection.
    void Finished();

private:
    void Step();

    QPlainTextEdit *m_log;
    QTimer m_slices;
    std::optional<SelectionText> m_reading;
};
