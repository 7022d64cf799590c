#include "PrintQueue.h"

#include "PrintText.h"
#include "doors/Doors.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <chrono>
#include <deque>

namespace {

using namespace std::chrono_literals;

// A job that holds the thread longer at the end is a print service that does not answer; the
// program does not wait for it.
constexpr auto kStopPatience = 3s;

class PrintThread : public QThread
{
public:
    bool Enqueue(const QByteArray &text)
    {
        QMutexLocker locker(&m_lock);
        if (m_jobs.size() >= size_t(kMaxPrintJobs))
            return false;
        m_jobs.push_back(text);
        m_more.wakeOne();
        return true;
    }

    int Stop()
    {
        QMutexLocker locker(&m_lock);
        m_stop = true;
        const int dropped = int(m_jobs.size());
        m_jobs.clear();
        m_more.wakeOne();
        return dropped;
    }

protected:
    void run() override
    {
        for (;;) {
            QByteArray text;
            {
                QMutexLocker locker(&m_lock);
                while (m_jobs.empty() && !m_stop)
                    m_more.wait(&m_lock);
                if (m_stop)
                    return;
                text = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            PrintText(text.constData(), text.size());
        }
    }

private:
    QMutex m_lock;
    QWaitCondition m_more;
    std::deque<QByteArray> m_jobs;
    bool m_stop = false;
};

PrintThread *&Printing()
{
    static PrintThread *thread = nullptr;
    return thread;
}

void StopPrintingAtExit()
{
    StopPrinting();
}

} // namespace

bool QueuePrint(const QByteArray &text, const QString &name)
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
    if (thread->Enqueue(text))
        return true;
    LogError(QStringLiteral("The printer is not keeping up: %1 messages wait to be printed. "
                            "The message %2 was not printed.")
                 .arg(kMaxPrintJobs)
                 .arg(name));
    return false;
}

int StopPrinting()
{
    PrintThread *&thread = Printing();
    if (thread == nullptr)
        return 0;
    const int dropped = thread->Stop();
    // A job hung in the print service is left running: the thread and its object go with the
    // process rather than the program hanging at its end.
    if (thread->wait(QDeadlineTimer(kStopPatience)))
        delete thread;
    thread = nullptr;
    return dropped;
}
