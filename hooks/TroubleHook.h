// The command run as a trouble of the station begins and ends: its environment.
#pragma once

#include "HookRunner.h"

#include <QDateTime>
#include <QString>

#include <chrono>

// One begin or end of a trouble, as the command is told of it.
struct TroubleHookFacts
{
    QString m_event;  // the fixed word, such as "line-lost"
    int m_line = 0;   // the COM number where a line is concerned, else 0
    QString m_device; // the line's device, else empty
    QDateTime m_since;
    QString m_text;    // the log line that said so
    QString m_station; // the station's name
    // Begins and ends of the trouble told as one run (a flapping line); 0 for a single event.
    int m_count = 0;
    quint64 m_tag = 0; // handed back with the run's result
};

// The job for `facts`: the settings' command and time limit, ALVETRA_EVENT, ALVETRA_STATION,
// ALVETRA_SINCE (as HookTime gives it), ALVETRA_TEXT, and where they apply ALVETRA_LINE,
// ALVETRA_DEVICE and ALVETRA_COUNT; the event and its text on standard input, for a command
// that mails what it reads. Values cut to kMaxHookValueBytes. Pure; any thread.
HookJob MakeTroubleHookJob(const TroubleHookFacts &facts,
                           const QString &command,
                           std::chrono::seconds timeLimit);

// A trouble made up to try the command, whose event ("test") and text say nothing is wrong.
TroubleHookFacts SampleTroubleHookFacts(const QString &station, int line);
