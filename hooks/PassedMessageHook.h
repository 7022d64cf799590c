// The command run for each passed message: its environment and input, built from the message.
#pragma once

#include "HookRunner.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <chrono>

struct EdisMessage;

// A value in a program's environment is a C string and the system bounds each one; 64 KiB
// holds any header, headline or trailer a receiver sends.
inline constexpr qsizetype kMaxHookValueBytes = 64 * 1024;

// Where and when a passed message arrived, and where it was filed.
struct PassedMessageFacts
{
    QDateTime m_receivedAt;
    int m_line = 0;    // the input line's COM number
    QString m_file;    // the "Received" file's path; empty when none was written
    quint64 m_tag = 0; // handed back with the run's result
};

// What the command is given for one message, and which of its variables had to be cut.
struct PassedMessageHook
{
    HookJob m_job;
    QStringList m_cutVariables;
};

// The job for a passed message: the settings' command and time limit, the variables
// ALVETRA_RECEIVED_AT, ALVETRA_LINE, ALVETRA_HEADER, ALVETRA_HANDLING, ALVETRA_REGION,
// ALVETRA_SOURCE, ALVETRA_HEADLINE, ALVETRA_TRAILER and ALVETRA_FILE, and the file's five
// lines on standard input. Pure; any thread.
PassedMessageHook MakePassedMessageHook(const EdisMessage &message,
                                        const PassedMessageFacts &facts,
                                        const QString &command,
                                        std::chrono::seconds timeLimit);

// The message's bytes as an environment value: read as the log reads them (Windows-1252), zero
// bytes left out, and cut to kMaxHookValueBytes of UTF-8 at a character's start. `cut` tells
// whether anything was cut.
QString HookValue(const QByteArray &bytes, bool *cut = nullptr);

// Local time with its offset from UTC, such as 2024-03-01T14:05:09.250+01:00: a program can
// read it without knowing the station's time zone.
QString HookTime(const QDateTime &time);

// The stored time limit: at most a day; none stored, zero or less gives the default.
std::chrono::seconds HookTimeLimit(int storedSeconds);

// A message made up to try the command, whose every field says it is no alert.
EdisMessage SampleHookMessage();

// The warning line for a message whose variables had to be cut.
QString HookCutWarning(const EdisMessage &message, const QStringList &cutVariables);
