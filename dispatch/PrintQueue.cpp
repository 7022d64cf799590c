#include "PrintQueue.h"

#include "PrintText.h"
#include "ReceivedFile.h"
#include "doors/Doors.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <chrono>
#include <deque>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A job that holds the thread longer at the end is a print service that does not answer; the
// program does not wait for it.
constexpr auto kStopPatience = 3s;

struct PrintJob
{
    QByteArray text;
    quint64 tag = 0;
};

struct PrintResult
{
    quint64 tag = 0;
    bool printed = false;
    QString result;
    QDateTime at;
};

PrintResultHandler &ResultHandler()
{
    static PrintResultHandler handler;
    return handler;
}

void Report(const std::vector<PrintResult> &results)
{
    if (!ResultHandler())
        return;
    for (const PrintResult &result : results)
        ResultHandler()(result.tag, result.printed, result.result, result.at);
}

void ReportResults();

class PrintThread : public QThread
{
public:
    bool Enqueue(PrintJob job)
    {
        QMutexLocker locker(&m_lock);
        if (m_jobs.size() >= size_t(kMaxPrintJobs))
            return false;
        m_jobs.push_back(std::move(job));
        m_more.wakeOne();
        return true;
    }

    int Waiting()
    {
        QMutexLocker locker(&m_lock);
        return int(m_jobs.size());
    }

    // The jobs not begun, for the caller to report.
    std::deque<PrintJob> Stop()
    {
        QMutexLocker locker(&m_lock);
        m_stop = true;
        m_more.wakeOne();
        return std::exchange(m_jobs, {});
    }

    // GUI thread: the results the thread has left since the last take.
    std::vector<PrintResult> TakeResults()
    {
        QMutexLocker locker(&m_lock);
        m_reportDue = true;
        return std::exchange(m_results, {});
    }

protected:
    void run() override
    {
        for (;;) {
            PrintJob job;
            {
                QMutexLocker locker(&m_lock);
                while (m_jobs.empty() && !m_stop)
                    m_more.wait(&m_lock);
                if (m_stop)
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            const QString failure = PrintText(job.text.constData(), job.text.size());
            if (job.tag != 0)
                Done({job.tag, failure.isEmpty(),
                      failure.isEmpty() ? QStringLiteral("printed")
                                        : QStringLiteral("not printed: ") + failure,
                      QDateTime::currentDateTimeUtc()});
        }
    }

private:
    // The results wait here rather than in queued calls of their own, so that those left when
    // the event loop has already ended are still taken at the stop.
    void Done(PrintResult result)
    {
        bool wake = false;
        {
            QMutexLocker locker(&m_lock);
            m_results.push_back(std::move(result));
            wake = std::exchange(m_reportDue, false);
        }
        // The thread may be gone by the time the call runs (StopPrinting took its results).
        if (wake)
            QMetaObject::invokeMethod(QCoreApplication::instance(), &ReportResults,
                                      Qt::QueuedConnection);
    }

    QMutex m_lock;
    QWaitCondition m_more;
    std::deque<PrintJob> m_jobs;
    std::vector<PrintResult> m_results;
    bool m_reportDue = true;
    bool m_stop = false;
};

PrintThread *&Printing()
{
    static PrintThread *thread = nullptr;
    return thread;
}

void ReportResults()
{
    if (PrintThread *thread = Printing())
        Report(thread->TakeResults());
}

void StopPrintingAtExit()
{
    StopPrinting();
}

} // namespace

bool QueuePrint(const QByteArray &text, const QString &name, quint64 tag)
{
    PrintThread *&thread = Printing();
    if (thread == nullptr) {
        if (QCoreApplication::instance() == nullptr)
            return false;
        thread = new PrintThread;
        thread->setObjectName(QStringLiteral("Printing"));
        thread->start();
        static const bool stopsAtExit = [] {
            qAddPostRoutine(StopPrintingAtExit);
            return true;
        }();
        Q_UNUSED(stopsAtExit)
    }
    if (thread->Enqueue({text, tag}))
        return true;
    LogError(QStringLiteral("The printer is not keeping up: %1 messages wait to be printed. "
                            "The message %2 was not printed.")
                 .arg(kMaxPrintJobs)
                 .arg(name));
    return false;
}

int PrintJobsWaiting()
{
    PrintThread *thread = Printing();
    return thread ? thread->Waiting() : 0;
}

void SetPrintResultHandler(PrintResultHandler handler)
{
    ResultHandler() = std::move(handler);
}

int StopPrinting()
{
    // The files still being written hold their messages' print jobs, and the output line and
    // the command with them: the end lets them come first, so every message that passed
    // before it has its file and its outputs run.
    FinishReceivedFiles();
    PrintThread *&thread = Printing();
    if (thread == nullptr)
        return 0;
    const std::deque<PrintJob> dropped = thread->Stop();
    // A job hung in the print service is left running: the thread and its object go with the
    // process rather than the program hanging at its end. Its result, should it come, has
    // nobody to go to.
    const bool ended = thread->wait(QDeadlineTimer(kStopPatience));
    std::vector<PrintResult> results;
    if (ended) {
        results = thread->TakeResults();
        delete thread;
    }
    thread = nullptr;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const PrintJob &job : dropped) {
        if (job.tag != 0)
            results.push_back(
                {job.tag, false, QStringLiteral("not printed: dropped at the end"), now});
    }
    Report(results);
    return int(dropped.size());
}
