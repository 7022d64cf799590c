#pragma once

#include <QObject>
#include <QStringList>
#include <QTextCursor>
#include <QTimer>

class QMimeData;
class QPlainTextEdit;

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
    // The clipboard's form of a large selection: its plain text, made when a paste first asks.
    static QMimeData *DeferredPlainText(const QTextCursor &selection);

signals:
    // The clipboard holds the selection.
    void Finished();

private:
    void Step();

    QPlainTextEdit *m_log;
    QTimer m_slices;
    // The selection's start and the end of what is still to read: the text is read from its end
    // backwards, so that a trim of the log's oldest lines meanwhile only shortens what is left,
    // as it shortens the operator's selection, and never leaves a gap in the middle.
    QTextCursor m_start;
    QTextCursor m_readTo;
    QStringList m_pieces;
};
