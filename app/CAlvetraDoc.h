#pragma once

#include "rtf/RtfDocument.h"

#include <QObject>
#include <QString>
#include <QTextDocument>

#include <memory>
#include <optional>

class QIODevice;
class QPrinter;

// The single document: the log's rich text, its modified state, its title, the file it was last
// saved to or opened from, and the printer its prints go to. GUI thread only.
class CAlvetraDoc : public QObject
{
    Q_OBJECT

public:
    CAlvetraDoc();
    ~CAlvetraDoc() override;

    QTextDocument *Document() { return &m_log; }
    const QTextDocument *Document() const { return &m_log; }

    QString Title() const { return m_title; }
    void SetTitle(const QString &title);

    bool IsModified() const { return m_log.isModified(); }
    void SetModified(bool modified) { m_log.setModified(modified); }

    // The file the log was last saved to or opened from; empty for a new log.
    QString PathName() const { return m_pathName; }

    // Closing the main window never asks: the log is discarded.
    bool CanCloseFrame() const { return true; }
    // Empties the log and forgets its file.
    bool OnNewDocument();

    // Writes the log as RTF to `device` when `storing`, else replaces the log with the RTF read
    // from it. False with `error` set when the device fails or holds no RTF; the log is then
    // exactly as it was.
    bool Serialize(QIODevice &device, bool storing, QString *error);
    // The same on the file `path`, whose name the error names. Saving replaces the file only
    // once the whole log is written, so a failed save keeps the old file.
    bool OnOpenDocument(const QString &path, QString *error);
    bool OnSaveDocument(const QString &path, QString *error);
    // The log read from `device` or the file `path`, no value with `error` set when it cannot
    // be read or holds no RTF. Any thread.
    static std::optional<RtfDocument> ReadLog(QIODevice &device, QString *error);
    static std::optional<RtfDocument> ReadLogFile(const QString &path, QString *error);
    // What the user is told when the log file `path` cannot be opened or saved for `reason`.
    static QString OpenError(const QString &path, const QString &reason);
    static QString SaveError(const QString &path, const QString &reason);
    // The log was saved to or opened from `path` by other means; it stays `modified` when lines
    // came after what was saved.
    void SetSaved(const QString &path, bool modified);

    // The printer that Print Setup chose, made on first use (finding printers takes a while).
    QPrinter &Printer();
    // The printer, for a print on another thread, and back once it is done; Printer() is not
    // called meanwhile.
    std::unique_ptr<QPrinter> TakePrinter();
    void ReturnPrinter(std::unique_ptr<QPrinter> printer);
    // Prints the log on `printer`, half an inch of margin on every side of the page, on the
    // calling thread (the command line's print, the preview; the window prints from a copy on a
    // thread of its own, LogWork). False when the printer cannot be opened or the job fails.
    bool Print(QPrinter &printer) const;

    // The log as rich text and back; tabs and line breaks inside a line are kept.
    static RtfDocument ToRtf(const QTextDocument &log);
    static void FromRtf(const RtfDocument &rtf, QTextDocument &log);

signals:
    void TitleChanged(const QString &title);

private:
    QTextDocument m_log;
    QString m_title;
    QString m_pathName;
    std::unique_ptr<QPrinter> m_printer;
};
