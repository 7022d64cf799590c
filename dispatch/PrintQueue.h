// Printing of passed messages on a thread of its own.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

// The jobs that may wait behind the one printing: a burst of alerts while the printer is slow
// fits, and a print service that hangs cannot make the program hold a day of messages.
inline constexpr int kMaxPrintJobs = 100;

// Hands `text` (as PrintText takes it) to the printing thread, which prints the jobs one at a
// time in the order they came, each as its own job on the default printer, and returns at
// once: a slow or hung print service holds neither the line nor the window. A failed job is
// as silent in the log as PrintText makes it. With kMaxPrintJobs waiting, the job is refused with
// one error line naming `name`. GUI thread only; the thread is made at the first job. A job with a
// `tag` other than 0 is reported to the result handler once printed or not.
bool QueuePrint(const QByteArray &text, const QString &name, quint64 tag = 0);

// The jobs waiting behind the one printing. GUI thread only.
int PrintJobsWaiting();

// Called on the GUI thread with what became of each tagged job: printed, or not and why
// ("not printed: no default printer"). `at` is when the job ended, UTC.
using PrintResultHandler
    = std::function<void(quint64 tag, bool printed, const QString &result, const QDateTime &at)>;
void SetPrintResultHandler(PrintResultHandler handler);

// Ends the printing thread, once every file in Received/ still being written is in place and
// its message's later outputs have run (FinishReceivedFiles): the jobs still waiting are dropped,
// each tagged one reported as "not printed: dropped at the end", and their number returned; the job
// being printed is given a few seconds to finish (and reported when it does), then left to the
// process's end. Also run when the application object goes. GUI thread only.
int StopPrinting();
