// The journal's file: opening it, its tables, moving a damaged one aside, pruning old rows.
// Every function here runs on the thread that owns the connection it is given or makes: a
// QSqlDatabase connection is used only on the thread that opened it.
#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

class QSqlError;
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
    // The reason may pass soon (a full disk, another Alvetra holding the file): worth trying
    // again in seconds rather than minutes.
    bool m_passing = false;
};

// Damage found in the file (SQLITE_CORRUPT, SQLITE_NOTADB).
bool IsJournalDamage(const QSqlError &error);
// Another connection holds the lock: worth trying again later (SQLITE_BUSY, SQLITE_LOCKED).
bool IsJournalBusy(const QSqlError &error);
// Leaves a mark beside `path` so that the next OpenJournalForWriting moves the file aside as
// damaged, though its header and first query are sound.
void MarkJournalDamaged(const QString &path);

// Opens the journal at `path` for writing as connection `connectionName`, making the folder,
// the file (readable and writable by the group, whatever the umask) and the tables when
// missing, in WAL mode. A file that SQLite finds damaged when opening it or on its first query,
// or that MarkJournalDamaged marked, is renamed with its -wal and -shm files to a name of its own
// (told in m_movedAsideAs) and a new journal begun; nothing is deleted.
JournalOpening OpenJournalForWriting(const QString &path, const QString &connectionName);

// Opens an existing journal for reading only. False with the reason when it cannot.
bool OpenJournalForReading(const QString &path, const QString &connectionName, QString *error);

// Binds `row` to `insert`, prepared as "INSERT INTO frames(received, port, device, fate,
// detail, length, bytes, header, handling, region, source, headline, trailer, body)" with 14
// placeholders, and runs it. The texts are decoded as the log decodes the line.
bool InsertJournalFrame(QSqlQuery &insert, const JournalFrame &row);

// Adds the next `rows` rows not yet in the text index to it, oldest first, in one transaction.
// The number added, 0 when every row is indexed, -1 with the reason on failure, and in `failure`
// SQLite's error, for IsJournalBusy and IsJournalDamage. Writer only.
int IndexJournalText(QSqlDatabase &db, int rows, QString *error, QSqlError *failure = nullptr);

// Deletes the rows received more than `keepDays` days before the earlier of `now` and the
// newest row, with their outputs and their text index, in one transaction. The newest row is
// always kept, so that no row id is ever handed out twice in one file. `failure` as above.
// With `unshippedExtraDays` 0 or more the journal is shipped to a central database: a row past
// the mark in `shipping` is kept that many days longer, and `neverShipped` gets the count of
// those deleted all the same.
bool PruneJournal(QSqlDatabase &db,
                  int keepDays,
                  const QDateTime &now,
                  QString *error,
                  QSqlError *failure = nullptr,
                  int unshippedExtraDays = -1,
                  qint64 *neverShipped = nullptr);

// The name a damaged journal is moved aside as: "journal-damaged-<local time>.sqlite" in its
// folder, with a count after the time when that name is taken.
QString DamagedJournalName(const QString &path, const QDateTime &now);
