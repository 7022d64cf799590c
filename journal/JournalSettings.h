#pragma once

#include <QString>

// Where the journal is and how long it keeps rows: the group "Journal" of the per-user
// settings store, beside the general settings. Read once at start; any thread.
struct JournalSettings
{
    bool m_enabled = true; // "Enabled"; off, nothing is recorded and the outputs never wait
    QString m_path;        // "Path"; by default Journal/journal.sqlite below the program folder
    int m_keepDays = 400;  // "KeepDays"; 0 or less: for ever
};

// The stored settings; a missing or unreadable entry gives its default.
JournalSettings LoadJournalSettings(const QString &programFolder);

// An ISO 8601 date (midnight) or date-time, in local time unless it carries an offset or Z.
// Invalid when `text` is neither.
class QDateTime;
QDateTime ParseJournalTime(const QString &text);
