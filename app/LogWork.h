#pragma once

#include "rtf/RtfDocument.h"

#include <QObject>
#include <QPointer>
#include <QTextCursor>

#include <atomic>
#include <functional>
#include <memory>

class CAlvetraDoc;
class CAlvetraView;
class LogPages;
class LogSnapshot;
class QLabel;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QThread;
class QTimer;
class QWidget;
struct LogCopy;

// The log's long work, kept off the window's thread: saving it, opening a file as the log, and
// printing it. Each begins with a copy of the log taken in slices (LogSnapshot); the file is
// written, read and the pages laid out and printed on a thread of its own that sees only that
// plain data, never the log's document. A progress indicator in the status bar shows the work;
// a print can be cancelled there. One save or open at a time, and one print. GUI thread only.
class LogWork : public QObject
{
    Q_OBJECT

public:
    LogWork(CAlvetraDoc *document, CAlvetraView *view, QStatusBar *bar);
    ~LogWork() override;

    // A save or an open under way: New, Open and Save wait for it.
    bool FileBusy() const { return m_file != File::None; }
    // An open under way: a print would copy a log only half in place, so Print waits for it.
    bool Opening() const { return m_file == File::Opening; }
    // A print under way, from Print to its last page: Print and Print Setup wait for it.
    bool PrintBusy() const { return m_print != Print::None; }
    // Whether the log is being copied for a print: a new or opened log would cut the copy short,
    // so New and Open wait for it too.
    bool PrintCopying() const { return m_print == Print::Preparing; }

    // Writes the log as it is now to `path`, whole or not at all, while the window goes on; runs
    // the event loop until it is done. The log stays modified when lines came meanwhile. False
    // with `error` set when the file cannot be written, with `error` empty when the program
    // began to end first.
    bool Save(const QString &path, QString *error);
    // Reads the log file `path` on a thread, then replaces the log with it a slice at a time;
    // the lines to append meanwhile wait and follow it. Runs the event loop until done. False as
    // for Save; the log is then as it was, with the lines that came meanwhile.
    bool Open(const QString &path, QString *error);
    // Copies the log, counts its pages, asks for the printer and the pages in the print dialog
    // (the range offered runs from 1 to the last page) and prints them; returns at once.
    void StartPrint(QWidget *dialogParent);
    void CancelPrint();

    // The orderly end, within a few seconds: a save under way is finished whole or given up
    // before it replaces the file; a print under way is finished or cancelled, and the log
    // says which.
    void FinishAtEnd();

signals:
    // FileBusy or PrintBusy changed.
    void BusyChanged();

private:
    enum class File { None, Saving, Opening };
    enum class Print { None, Preparing, Counting, Asking, Printing };
    struct Waiting;

    // Runs `work` on a new thread and `done` on this one once it is over.
    QThread *RunOnThread(std::function<void()> work, std::function<void()> done);
    void SetFile(File file);
    void SetPrint(Print print);
    void FillSlice();
    void AskAndPrint(QWidget *dialogParent,
                     const std::shared_ptr<const LogCopy> &copy,
                     const std::shared_ptr<LogPages> &pages,
                     int pageCount);
    void ShowProgress();

    CAlvetraDoc *m_document;
    CAlvetraView *m_view;
    QStatusBar *m_bar;
    QWidget *m_pane = nullptr;
    QLabel *m_text = nullptr;
    QProgressBar *m_progress = nullptr;
    QPushButton *m_cancel = nullptr;
    QTimer *m_progressTimer = nullptr;

    File m_file = File::None;
    QPointer<LogSnapshot> m_fileCopy;
    QPointer<QThread> m_fileThread;
    std::shared_ptr<std::atomic_bool> m_giveUpSave;
    bool m_changedSinceSave = false;
    // The opened log being put in place, and where.
    std::shared_ptr<RtfDocument> m_opened;
    int m_openedNext = 0;
    // Characters of the old log removed and paragraphs put in by the next slice.
    int m_removalSlice = 0;
    int m_fillSlice = 0;
    QTextCursor m_fill;
    std::function<void()> m_filled;

    Print m_print = Print::None;
    QPointer<LogSnapshot> m_printCopy;
    QPointer<QThread> m_printThread;
    std::shared_ptr<std::atomic_bool> m_cancelPrint;
    std::shared_ptr<std::atomic_int> m_pagesDone;
    int m_pagesToPrint = 0;
};
