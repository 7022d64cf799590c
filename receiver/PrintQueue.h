// Printing of passed messages on a thread of its own.
#pragma once

#include <QByteArray>
#include <QString>

// The jobs that may wait behind the one printing: a burst of alerts while the printer is slow
// fits, and a print service that hangs cannot make the program hold a day of messages.
inline constexpr int kMaxPrintJobs = 100;

// Hands `text` (as PrintText takes it) to the printing thread, which prints the jobs one at a
// time in the order they came, each as its own job on the default printer, and returns at
// once: a slow or hung print service holds neither the line nor the window. A failed job is
// as silent as PrintText makes it. With kMaxPrintJobs waiting, the job is refused with one
// error line naming `name`. GUI thread only; the thread is made at the first job.
bool QueuePrint(const QByteArray &text, const QString &name);

// Ends the printing thread: the jobs still waiting are dropped and their number returned; the
// job being printed is given a few seconds to finish, then left to the process's end. Also
// run when the application object goes. GUI thread only.
int StopPrinting();
