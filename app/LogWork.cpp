#include "LogWork.h"

#include "CAlvetraApp.h"
#include "CAlvetraDoc.h"
#include "CAlvetraView.h"
#include "LogPages.h"
#include "LogSnapshot.h"
#include "doors/Doors.h"
#include "files/WholeFileWriter.h"
#include "rtf/RtfWriter.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

using namespace std::chrono_literals;

// The orderly end has five seconds; the rest of it (the ports, the files in Received/, the
// journal) needs some of them.
constexpr auto kEndPatience = 4s;
// Of which a print under way may take this long to finish before it is cancelled.
constexpr auto kPrintPatience = 2s;
// An opened log goes into the window in slices of this long.
constexpr auto kSliceTime = 40ms;
// What a slice starts with: the old log's characters removed, the opened log's paragraphs put
// in. Each slice then takes as much as the one before took in kSliceTime, the view's own work
// at the end of the edit included.
constexpr int kFirstRemoval = 200'000;
constexpr int kFirstParagraphs = 256;

// How much the next slice takes, `done` having taken `took` ms: as much as fits in kSliceTime,
// at most twice as much as before, at least `least`.
int NextSlice(int done, qint64 took, int least)
{
    const qint64 fits = done * kSliceTime.count() / std::max<qint64>(took, 1);
    return int(std::clamp<qint64>(fits, least, 2 * qint64(done)));
}

bool Ending()
{
    CAlvetraApp *app = CAlvetraApp::Instance();
    return app && app->IsEnding();
}

} // namespace

// What a command waits for in its own event loop: whether the work is done and how.
struct LogWork::Waiting
{
    bool done = false;
    bool ok = false;
    QString error;
    QPointer<QEventLoop> loop;

    void Done(bool succeeded, const QString &why)
    {
        done = true;
        ok = succeeded;
        error = why;
        if (loop)
            loop->quit();
    }

    // Runs the event loop until Done; false when the program's end left it first.
    bool Wait()
    {
        if (done)
            return true;
        QEventLoop waiting;
        loop = &waiting;
        waiting.exec();
        return done;
    }
};

LogWork::LogWork(CAlvetraDoc *document, CAlvetraView *view, QStatusBar *bar)
    : QObject(bar)
    , m_document(document)
    , m_view(view)
    , m_bar(bar)
{
    m_pane = new QWidget(bar);
    m_pane->setObjectName(QStringLiteral("logWorkPane"));
    auto *layout = new QHBoxLayout(m_pane);
    layout->setContentsMargins(0, 0, 0, 0);
    m_text = new QLabel(m_pane);
    layout->addWidget(m_text);
    m_progress = new QProgressBar(m_pane);
    m_progress->setMaximumWidth(120);
    m_progress->setTextVisible(false);
    layout->addWidget(m_progress);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), m_pane);
    m_cancel->setObjectName(QStringLiteral("cancelPrint"));
    m_cancel->setToolTip(QStringLiteral("Cancel the print of the log"));
    connect(m_cancel, &QPushButton::clicked, this, &LogWork::CancelPrint);
    layout->addWidget(m_cancel);
    // Left of the lines' state, after the prompt texts.
    bar->insertPermanentWidget(1, m_pane);
    m_pane->hide();

    m_progressTimer = new QTimer(this);
    connect(m_progressTimer, &QTimer::timeout, this, &LogWork::ShowProgress);

    connect(document->Document(), &QTextDocument::contentsChanged, this,
            [this] { m_changedSinceSave = true; });
}

LogWork::~LogWork() = default;

QThread *LogWork::RunOnThread(std::function<void()> work, std::function<void()> done)
{
    QThread *thread = QThread::create(std::move(work));
    connect(thread, &QThread::finished, this, [thread, done = std::move(done)] {
        thread->deleteLater();
        done();
    });
    thread->start();
    return thread;
}

void LogWork::SetFile(File file)
{
    m_file = file;
    ShowProgress();
    emit BusyChanged();
}

void LogWork::SetPrint(Print print)
{
    m_print = print;
    ShowProgress();
    emit BusyChanged();
}

void LogWork::ShowProgress()
{
    QString text;
    int percent = -1;
    // The file's work first: while it runs, the print's stays where it is.
    switch (m_file) {
    case File::Saving:
        text = QStringLiteral("Saving the log\u2026");
        if (m_fileCopy)
            percent = m_fileCopy->Percent() / 2;
        break;
    case File::Opening:
        text = QStringLiteral("Opening the log\u2026");
        if (m_opened && !m_opened->paragraphs.isEmpty())
            percent = int(qint64(m_openedNext) * 100 / m_opened->paragraphs.size());
        break;
    case File::None:
        break;
    }
    if (text.isEmpty()) {
        switch (m_print) {
        case Print::Preparing:
            text = QStringLiteral("Preparing the print of the log\u2026");
            if (m_printCopy)
                percent = m_printCopy->Percent();
            break;
        case Print::Counting:
            text = QStringLiteral("Counting the pages of the log: %1")
                       .arg(m_pagesDone ? m_pagesDone->load() : 0);
            break;
        case Print::Printing:
            text = QStringLiteral("Printing the log: page %1 of %2")
                       .arg(m_pagesDone ? std::min(m_pagesDone->load() + 1, m_pagesToPrint) : 0)
                       .arg(m_pagesToPrint);
            percent = m_pagesToPrint > 0 && m_pagesDone
                          ? int(qint64(m_pagesDone->load()) * 100 / m_pagesToPrint)
                          : -1;
            break;
        case Print::Asking:
        case Print::None:
            break;
        }
    }
    if (text.isEmpty()) {
        m_progressTimer->stop();
        m_pane->hide();
        return;
    }
    m_text->setText(text);
    if (percent < 0) {
        m_progress->setRange(0, 0);
    } else {
        m_progress->setRange(0, 100);
        m_progress->setValue(percent);
    }
    m_cancel->setVisible(m_file == File::None && m_print != Print::None);
    m_pane->show();
    if (!m_progressTimer->isActive())
        m_progressTimer->start(100);
}

bool LogWork::Save(const QString &path, QString *error)
{
    error->clear();
    if (FileBusy())
        return false;
    SetFile(File::Saving);
    auto waiting = std::make_shared<Waiting>();
    auto giveUp = std::make_shared<std::atomic_bool>(false);
    m_giveUpSave = giveUp;
    auto *copy = new LogSnapshot(m_document->Document(), this);
    m_fileCopy = copy;
    connect(copy, &LogSnapshot::Finished, this, [this, copy, path, waiting, giveUp] {
        std::shared_ptr<const LogCopy> log = copy->TakeCopy();
        copy->deleteLater();
        auto written = std::make_shared<Waiting>();
        m_fileThread = RunOnThread(
            [log = std::move(log), path, giveUp, written]() mutable {
                const QByteArray bytes = WriteRtf(log->text);
                // Millions of strings: freed here, not on the window's thread.
                log.reset();
                // The end came and went while the text was written: the old file stays.
                if (*giveUp)
                    return;
                WholeFileWriter writer(path);
                written->ok = writer.Write(bytes);
                written->error = writer.ErrorString();
            },
            [this, path, waiting, written] {
                if (written->ok)
                    m_document->SetSaved(path, m_changedSinceSave);
                SetFile(File::None);
                waiting->Done(written->ok, written->error);
            });
    });
    // From here on, a line appended comes after the copy.
    m_changedSinceSave = false;
    copy->Start();
    if (!waiting->Wait())
        return false;
    if (!waiting->ok)
        *error = CAlvetraDoc::SaveError(path, waiting->error);
    return waiting->ok;
}

bool LogWork::Open(const QString &path, QString *error)
{
    error->clear();
    if (FileBusy())
        return false;
    SetFile(File::Opening);
    // Lines from now on would have come after the opened text, had it been opened at once.
    m_view->HoldLines();
    m_fill = QTextCursor();
    m_removalSlice = kFirstRemoval;
    m_fillSlice = kFirstParagraphs;
    auto waiting = std::make_shared<Waiting>();
    auto read = std::make_shared<std::optional<RtfDocument>>();
    auto reason = std::make_shared<QString>();
    m_fileThread = RunOnThread(
        [path, read, reason] { *read = CAlvetraDoc::ReadLogFile(path, reason.get()); },
        [this, path, waiting, read, reason] {
            if (!*read || Ending()) {
                SetFile(File::None);
                m_view->ReleaseLines();
                waiting->Done(false, *reason);
                return;
            }
            m_opened = std::make_shared<RtfDocument>(std::move(**read));
            m_openedNext = 0;
            m_filled = [this, path, waiting] {
                m_opened.reset();
                m_fill = QTextCursor();
                m_document->SetSaved(path, false);
                SetFile(File::None);
                m_view->ReleaseLines();
                waiting->Done(true, QString());
            };
            FillSlice();
        });
    if (!waiting->Wait())
        return false;
    if (!waiting->ok)
        *error = waiting->error;
    return waiting->ok;
}

void LogWork::FillSlice()
{
    if (!m_opened || Ending())
        return;
    QElapsedTimer clock;
    clock.start();
    if (m_fill.isNull()) {
        // The old log goes first, from its end a share at a time: a full log cleared at once
        // holds the window for a few tenths of a second.
        QTextDocument *log = m_document->Document();
        const int length = log->characterCount();
        if (length > m_removalSlice) {
            QTextCursor cursor(log);
            cursor.movePosition(QTextCursor::End);
            cursor.setPosition(log->findBlock(length - m_removalSlice).position(),
                               QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
            m_removalSlice = NextSlice(m_removalSlice, clock.elapsed(), 10'000);
            QTimer::singleShot(0, this, &LogWork::FillSlice);
            return;
        }
        log->clear();
        m_fill = QTextCursor(log);
        clock.restart();
    }
    QList<RtfParagraph> &paragraphs = m_opened->paragraphs;
    const int count = int(paragraphs.size());
    const int end = std::min(count, m_openedNext + m_fillSlice);
    m_fill.beginEditBlock();
    for (; m_openedNext < end; ++m_openedNext) {
        if (m_openedNext > 0)
            m_fill.insertBlock();
        for (const RtfRun &run : paragraphs.at(m_openedNext).runs)
            m_fill.insertText(run.text, CharFormatOf(run.format));
        // Freed a slice at a time: all at the end would hold the window.
        paragraphs[m_openedNext] = RtfParagraph();
    }
    m_fill.endEditBlock();
    m_fillSlice = NextSlice(m_fillSlice, clock.elapsed(), 16);
    if (m_openedNext < count) {
        QTimer::singleShot(0, this, &LogWork::FillSlice);
        return;
    }
    std::exchange(m_filled, {})();
}

void LogWork::StartPrint(QWidget *dialogParent)
{
    if (PrintBusy())
        return;
    auto cancel = std::make_shared<std::atomic_bool>(false);
    m_cancelPrint = cancel;
    m_pagesDone = std::make_shared<std::atomic_int>(0);
    QPointer<QWidget> parent(dialogParent);
    auto *copy = new LogSnapshot(m_document->Document(), this);
    m_printCopy = copy;
    SetPrint(Print::Preparing);
    connect(copy, &LogSnapshot::Finished, this, [this, copy, cancel, parent] {
        const std::shared_ptr<const LogCopy> log = copy->TakeCopy();
        copy->deleteLater();
        if (*cancel) {
            SetPrint(Print::None);
            return;
        }
        const PageSetUp setUp = SetUpPrinter(m_document->Printer(), m_document->Title());
        auto pages = std::make_shared<LogPages>(log, setUp);
        auto counted = std::make_shared<int>(-1);
        const std::shared_ptr<std::atomic_int> progress = m_pagesDone;
        SetPrint(Print::Counting);
        m_printThread = RunOnThread(
            [pages, counted, cancel, progress] {
                *counted = pages->Count(*cancel, progress.get());
            },
            [this, parent, log, pages, counted] {
                if (*counted < 0 || Ending()) {
                    SetPrint(Print::None);
                    if (!Ending())
                        m_bar->showMessage(QStringLiteral("The print of the log was cancelled."),
                                           5000);
                    return;
                }
                AskAndPrint(parent, log, pages, *counted);
            });
    });
    copy->Start();
}

void LogWork::AskAndPrint(QWidget *dialogParent,
                          const std::shared_ptr<const LogCopy> &copy,
                          const std::shared_ptr<LogPages> &counted,
                          int pageCount)
{
    SetPrint(Print::Asking);
    QPrinter &printer = m_document->Printer();
    const int last = std::max(pageCount, 1);
    // "From page N to the end" is one field to change: the range offered ends at the last page.
    printer.setPrintRange(QPrinter::AllPages);
    printer.setFromTo(1, last);
    int first = 1;
    int upTo = INT_MAX;
    {
        QPrintDialog dialog(&printer, dialogParent);
        dialog.setOption(QAbstractPrintDialog::PrintPageRange, true);
        dialog.setMinMax(1, last);
        if (dialog.exec() != QDialog::Accepted || Ending() || *m_cancelPrint) {
            SetPrint(Print::None);
            return;
        }
    }
    if (printer.printRange() == QPrinter::PageRange && printer.fromPage() > 0) {
        first = printer.fromPage();
        upTo = std::max(first, printer.toPage());
    }
    m_pagesToPrint = std::min(upTo, last) - first + 1;

    struct Job
    {
        std::unique_ptr<QPrinter> printer;
        std::shared_ptr<LogPages> pages;
        bool recount = false;
        LogPages::Outcome outcome = LogPages::Outcome::Failed;
        QString printerName;
    };
    auto job = std::make_shared<Job>();
    job->printer = m_document->TakePrinter();
    job->printerName = job->printer->printerName();
    const PageSetUp setUp = SetUpPrinter(*job->printer, m_document->Title());
    job->pages = counted;
    // Another paper or printer chosen in the dialog: the pages are those of the new one.
    if (!(setUp == counted->SetUp())) {
        job->pages = std::make_shared<LogPages>(copy, setUp);
        job->recount = true;
    }
    const std::shared_ptr<std::atomic_bool> cancel = m_cancelPrint;
    const std::shared_ptr<std::atomic_int> progress = m_pagesDone;
    progress->store(0);
    SetPrint(Print::Printing);
    m_printThread = RunOnThread(
        [job, cancel, progress, first, upTo] {
            if (job->recount && job->pages->Count(*cancel) < 0) {
                job->outcome = LogPages::Outcome::Cancelled;
                return;
            }
            job->outcome = job->pages->Print(*job->printer, first, upTo, *cancel, progress.get());
            // The copy is freed here, not on the window's thread, when this was its last holder.
            job->pages.reset();
        },
        [this, job] {
            m_document->ReturnPrinter(std::move(job->printer));
            SetPrint(Print::None);
            switch (job->outcome) {
            case LogPages::Outcome::Printed:
                break;
            case LogPages::Outcome::Cancelled:
                m_bar->showMessage(QStringLiteral("The print of the log was cancelled."), 5000);
                break;
            case LogPages::Outcome::Failed:
                if (!Ending())
                    QMessageBox::warning(m_view->window(), QStringLiteral("Alvetra"),
                                         QStringLiteral("The log could not be printed on %1.")
                                             .arg(job->printerName));
                break;
            }
        });
}

void LogWork::CancelPrint()
{
    if (!PrintBusy() || !m_cancelPrint)
        return;
    *m_cancelPrint = true;
    // The copy is taken on this thread: it stops here. A thread stops at its next page.
    if (m_print == Print::Preparing && m_printCopy) {
        m_printCopy->deleteLater();
        SetPrint(Print::None);
        m_bar->showMessage(QStringLiteral("The print of the log was cancelled."), 5000);
    }
}

void LogWork::FinishAtEnd()
{
    const QDeadlineTimer deadline(kEndPatience);
    if (m_file == File::Saving) {
        // The rest of the copy at once: the event loop that would copy it in slices is ending.
        if (m_fileCopy && !m_fileCopy->IsDone())
            m_fileCopy->FinishNow();
        if (m_fileThread && !m_fileThread->wait(deadline)) {
            *m_giveUpSave = true;
            LogWarning(QStringLiteral("The log was not saved: the program ended first. The "
                                      "file keeps what it held before."));
        }
    }
    if (m_print == Print::Printing && m_printThread) {
        const QDeadlineTimer patience(std::min<qint64>(
            deadline.remainingTime(),
            std::chrono::duration_cast<std::chrono::milliseconds>(kPrintPatience).count()));
        if (m_printThread->wait(patience)) {
            LogWarning(QStringLiteral("The print of the log was finished before the program "
                                      "ended."));
            return;
        }
        *m_cancelPrint = true;
        m_printThread->wait(deadline);
        LogWarning(QStringLiteral("The print of the log was cancelled: the program ended before "
                                  "it was finished."));
    } else if (m_print != Print::None) {
        if (m_cancelPrint)
            *m_cancelPrint = true;
        if (m_printThread)
            m_printThread->wait(deadline);
        LogWarning(QStringLiteral("The print of the log was cancelled: the program ended before "
                                  "it was finished."));
    }
}
