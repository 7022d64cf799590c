// The journal's file: opening it, its tables, moving a damaged one aside, pruning old rows.
// Every function here runs on the thread that owns the connection it is given or makes: a
// QSqlDatabase connection is used only on the thread that opened it.
#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

class QSqlQuery;
struct JournalFrame;

// Times are stored as milliseconds since 1970 UTC: they sort, compare and index as integers.
qint64 JournalStoredTime(const QDateTime &time);
QDateTime JournalTimeFromStored(qint64 milliseconds);

struct JournalOpening
{
    bool m_ok = false;
    QString m_error;        // why it could not be opened, when not m_ok
    QString m_movedAsideAs; // a damaged file found there was renamed to this
};

// Opens the journal at `path` for writing as connection `connectionName`, making the folder,
// the file (readable and writable by the group, whatever the umask) and the tables when
// missing, in WAL mode. A file that SQLite finds damaged when opening it or on its first query
// is renamed with its -wal and -shm files to a name of its own (told in m_movedAsideAs) and a
// new journal begun; nothing is deleted.
JournalOpening OpenJournalForWriting(const QString &path, const QString &connectionName);

// Opens an existing journal for reading only. False with the reason when it cannot.
bool OpenJournalForReading(const QString &path, const QString &connectionName, QString *error);

// Binds `row` to `insert`, prepared as "INSERT INTO frames(received, port, device, fate,
// detail, length, bytes, header, handling, region, source, headline, trailer, body)" with 14
// placeholders, and runs it. The texts are decoded as the log decodes the line.
bool InsertJournalFrame(QSqlQuery &insert, const JournalFrame &row);

// Adds the next `rows` rows not yet in the text index to it, oldest first, in one transaction.
// The number added, 0 when every row is indexed, -1 with the reason on failure. Writer only.
int IndexJournalText(QSqlDatabase &db, int rows, QString *error);

// Deletes the rows received before `before`, with their outputs and their text index.
bool PruneJournal(QSqlDatabase &db, const QDateTime &before, QString *error);

// The name a damaged journal is moved aside as: "journal-damaged-<local time>.sqlite" in its
// folder, with a count after the time when that name is taken.
QString DamagedJournalName(const QString &path, const QDateTime &now);
