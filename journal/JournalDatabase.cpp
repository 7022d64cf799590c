#include "JournalDatabase.h"
#include "JournalRecord.h"

#include "rtf/Cp1252.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#include <chrono>
#include <thread>

namespace {

// Each statement on its own: the driver runs only the first of several in one string.
constexpr const char *kSchema[] = {
    "CREATE TABLE IF NOT EXISTS frames("
    " id INTEGER PRIMARY KEY, received INTEGER NOT NULL, port INTEGER NOT NULL,"
    " device TEXT NOT NULL, fate INTEGER NOT NULL, detail TEXT NOT NULL,"
    " length INTEGER NOT NULL, bytes BLOB, header TEXT, handling TEXT, region TEXT,"
    " source TEXT, headline TEXT, trailer TEXT, body TEXT)",
    "CREATE INDEX IF NOT EXISTS frames_by_time ON frames(received)",
    // A rare fate (line events, one row in thousands) would otherwise be looked for through
    // every row of the time index before a page is full.
    "CREATE INDEX IF NOT EXISTS frames_by_fate ON frames(fate, received)",
    "CREATE TABLE IF NOT EXISTS outputs("
    " frame INTEGER NOT NULL, kind INTEGER NOT NULL, at INTEGER NOT NULL,"
    " ok INTEGER NOT NULL, result TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS outputs_by_frame ON outputs(frame)",
    // Trigrams find any piece of three characters or more, in any language, without a word
    // list; the texts stay in `frames` alone. Indexing a row costs some ten times keeping it,
    // so the writer indexes rows when it has nothing else to do (IndexJournalText), up to the
    // row `text_indexed.upto`; a search looks through the few newer rows itself.
    "CREATE VIRTUAL TABLE IF NOT EXISTS frames_text USING fts5(header, headline, body,"
    " content='frames', content_rowid='id', tokenize='trigram')",
    "DROP TRIGGER IF EXISTS frames_indexed",
    "CREATE TABLE IF NOT EXISTS text_indexed(upto INTEGER NOT NULL)",
    // A journal that indexed every row as it was kept has them all indexed.
    "INSERT INTO text_indexed SELECT COALESCE(MAX(id), 0) FROM frames"
    " WHERE NOT EXISTS (SELECT 1 FROM text_indexed)",
    // Only a row in the index may be taken out of it: the index is damaged by a delete of a
    // row it never held.
    "DROP TRIGGER IF EXISTS frames_deleted",
    "CREATE TRIGGER frames_deleted AFTER DELETE ON frames BEGIN"
    " INSERT INTO frames_text(frames_text, rowid, header, headline, body)"
    " SELECT 'delete', old.id, old.header, old.headline, old.body"
    " WHERE old.id <= (SELECT upto FROM text_indexed);"
    " DELETE FROM outputs WHERE frame = old.id; END",
    // A passed message that waits for acknowledgement has a row here from when it is kept;
    // `at` stays NULL until an operator acknowledges it.
    "CREATE TABLE IF NOT EXISTS acknowledgements("
    " frame INTEGER PRIMARY KEY, at INTEGER, user TEXT, place INTEGER)",
    "CREATE INDEX IF NOT EXISTS acknowledgements_waiting ON acknowledgements(frame)"
    " WHERE at IS NULL",
    "CREATE TRIGGER IF NOT EXISTS acknowledgements_deleted AFTER DELETE ON frames BEGIN"
    " DELETE FROM acknowledgements WHERE frame = old.id; END",
    // The table above is changed in place, so it tells nothing of the order things happened
    // in: each change (a message begins to wait: `at` NULL; it is acknowledged) is also kept
    // here in order, for the central journal to copy. A journal that had waiting messages
    // before this table was made gets them here once, each as it stands.
    "CREATE TABLE IF NOT EXISTS acknowledgement_events("
    " seq INTEGER PRIMARY KEY, frame INTEGER NOT NULL, at INTEGER, user TEXT, place INTEGER)",
    "INSERT INTO acknowledgement_events(frame, at, user, place)"
    " SELECT frame, at, user, place FROM acknowledgements"
    " WHERE NOT EXISTS (SELECT 1 FROM acknowledgement_events) ORDER BY frame",
    "CREATE TRIGGER IF NOT EXISTS acknowledgement_events_deleted AFTER DELETE ON frames BEGIN"
    " DELETE FROM acknowledgement_events WHERE frame = old.id; END",
    // The file's own name, made once with it: with a row's id, which never names two rows of
    // one file, it names the row wherever the row is copied to.
    "CREATE TABLE IF NOT EXISTS identity(journal TEXT NOT NULL)",
    "INSERT INTO identity SELECT lower(hex(randomblob(16)))"
    " WHERE NOT EXISTS (SELECT 1 FROM identity)",
    // How far the central journal holds this file's rows, as last told (it guards pruning
    // only: the central database itself says where shipping goes on), and which Alvetra of
    // those sharing the file ships them, until when.
    "CREATE TABLE IF NOT EXISTS shipping(frames INTEGER NOT NULL, outputs INTEGER NOT NULL,"
    " holder TEXT NOT NULL, until INTEGER NOT NULL)",
    "INSERT INTO shipping SELECT 0, 0, '', 0 WHERE NOT EXISTS (SELECT 1 FROM shipping)",
    "PRAGMA user_version = 2",
};

constexpr QFileDevice::Permissions kShared = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                             | QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                             | QFileDevice::ReadOther;

// The station has one journal whoever is logged in: the members of the folder's group write
// it too. SQLite gives the -wal and -shm files the mode of the database file; a umask would
// take the group's write away when making it, so the mode is set after.
void ShareWithGroup(const QString &path)
{
    for (const QString &name :
         {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
        QFile file(name);
        // Only the owner may change the mode; another member finds it already set.
        if (file.exists() && (file.permissions() & kShared) != kShared)
            file.setPermissions(file.permissions() | kShared);
    }
}

// The marker a write that met damage leaves beside the file, for the next open to move it aside:
// past its first query SQLite finds damage only where a statement reads, so the open itself
// would not see it again.
QString DamageMark(const QString &path)
{
    return path + QStringLiteral("-damaged");
}

struct Attempt
{
    bool m_ok = false;
    bool m_damaged = false;
    QString m_error;
    bool m_passing = false;
    bool m_busy = false;
};

Attempt Failed(const QSqlError &error)
{
    // SQLITE_BUSY, SQLITE_IOERR and SQLITE_FULL: another Alvetra's long write, a full disk.
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return {false, IsJournalDamage(error), error.text(), code == 5 || code == 10 || code == 13,
            IsJournalBusy(error)};
}

// How long an open keeps trying while another Alvetra has the file busy. SQLite answers busy
// at once, without waiting its timeout, while another connection recovers or checkpoints the
// write-ahead log; that is the other's turn for a moment, not a journal that cannot be opened.
constexpr std::chrono::seconds kOpenBusyPatience{3};
constexpr std::chrono::milliseconds kOpenBusyPause{50};

// A file that is not SQLite's at all is known before SQLite opens it, which matters: closing a
// connection deletes a -wal file it could not use, and the -wal must be kept with the file.
bool HasForeignHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return false;
    return file.read(16) != QByteArrayView("SQLite format 3\0", 16);
}

Attempt TryOpen(const QString &path, const QString &connectionName)
{
    if (HasForeignHeader(path))
        return {false, true, QStringLiteral("it is not an SQLite database")};
    if (QFileInfo::exists(DamageMark(path)))
        return {false, true, QStringLiteral("a write found it damaged")};
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (!db.isValid())
        return {false, false, QStringLiteral("the SQLite driver of Qt is not installed")};
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        return Failed(db.lastError());
    QSqlQuery query(db);
    // The first query is where SQLite reads the file's header and finds it damaged.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next())
        return Failed(query.lastError());
    if (query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return {false, false, QStringLiteral("it cannot be kept in WAL mode")};
    // A passed message's row must survive a power cut before its outputs run.
    for (const char *statement : {"PRAGMA synchronous=FULL", "PRAGMA foreign_keys=OFF"})
        query.exec(QLatin1String(statement));
    // In one transaction: another Alvetra on the same file sees the tables whole or not at all.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return Failed(query.lastError());
    for (const char *statement : kSchema) {
        if (!query.exec(QLatin1String(statement))) {
            const Attempt failed = Failed(query.lastError());
            query.exec(QStringLiteral("ROLLBACK"));
            return failed;
        }
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const Attempt failed = Failed(query.lastError());
        query.exec(QStringLiteral("ROLLBACK"));
        return failed;
    }
    return {true, false, {}};
}

void Drop(const QString &connectionName)
{
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}

bool MakeFile(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        *error = QStringLiteral("the folder %1 cannot be made").arg(info.absolutePath());
        return false;
    }
    if (info.exists())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    file.close();
    return true;
}

} // namespace

bool IsJournalDamage(const QSqlError &error)
{
    // SQLITE_CORRUPT and SQLITE_NOTADB, extended codes included.
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == 11 || code == 26;
}

bool IsJournalBusy(const QSqlError &error)
{
    // SQLITE_BUSY and SQLITE_LOCKED, extended codes included (SQLITE_BUSY_SNAPSHOT).
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == 5 || code == 6;
}

void MarkJournalDamaged(const QString &path)
{
    QFile mark(DamageMark(path));
    if (mark.open(QIODevice::WriteOnly))
        mark.close();
}

qint64 JournalStoredTime(const QDateTime &time)
{
    return time.toMSecsSinceEpoch();
}

QDateTime JournalTimeFromStored(qint64 milliseconds)
{
    return QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
}

QString DamagedJournalName(const QString &path, const QDateTime &now)
{
    const QFileInfo info(path);
    const QString stem = info.dir().filePath(info.completeBaseName() + QStringLiteral("-damaged-")
                                             + now.toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    QString name = stem + suffix;
    for (int count = 2; QFileInfo::exists(name) || QFileInfo::exists(name + QStringLiteral("-wal"));
         ++count)
        name = stem + QLatin1Char('-') + QString::number(count) + suffix;
    return name;
}

JournalOpening OpenJournalForWriting(const QString &path, const QString &connectionName)
{
    JournalOpening result;
    if (!MakeFile(path, &result.m_error))
        return result;
    ShareWithGroup(path);
    Attempt attempt = TryOpen(path, connectionName);
    const auto patience = std::chrono::steady_clock::now() + kOpenBusyPatience;
    while (!attempt.m_ok && attempt.m_busy && std::chrono::steady_clock::now() < patience) {
        // The writer's own thread: nothing else waits on it meanwhile, the rows queue.
        Drop(connectionName);
        std::this_thread::sleep_for(kOpenBusyPause);
        attempt = TryOpen(path, connectionName);
    }
    if (!attempt.m_ok && attempt.m_damaged) {
        Drop(connectionName);
        const QString aside = DamagedJournalName(path, QDateTime::currentDateTime());
        for (const char *end : {"", "-wal", "-shm"}) {
            const QString from = path + QLatin1String(end);
            if (QFileInfo::exists(from) && !QFile::rename(from, aside + QLatin1String(end))) {
                result.m_error = QStringLiteral("it is damaged (%1) and cannot be moved aside")
                                     .arg(attempt.m_error);
                return result;
            }
        }
        result.m_movedAsideAs = aside;
        QFile::remove(DamageMark(path));
        if (!MakeFile(path, &result.m_error))
            return result;
        ShareWithGroup(path);
        attempt = TryOpen(path, connectionName);
    }
    if (!attempt.m_ok) {
        Drop(connectionName);
        result.m_error = attempt.m_error;
        result.m_passing = attempt.m_passing;
        return result;
    }
    ShareWithGroup(path);
    result.m_ok = true;
    return result;
}

bool OpenJournalForReading(const QString &path, const QString &connectionName, QString *error)
{
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("there is no journal at %1").arg(path);
        return false;
    }
    if (HasForeignHeader(path)) {
        *error = QStringLiteral("%1 is not an SQLite database").arg(path);
        return false;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        if (!db.isValid()) {
            *error = QStringLiteral("the SQLite driver of Qt is not installed");
            return false;
        }
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("PRAGMA query_only=1"))
                && query.exec(
                    QStringLiteral("SELECT count(*) FROM sqlite_schema WHERE name='frames'"))
                && query.next()) {
                if (query.value(0).toInt() == 1)
                    return true;
                *error = QStringLiteral("%1 is not a journal of Alvetra").arg(path);
            } else {
                *error = query.lastError().text();
            }
        } else {
            *error = db.lastError().text();
        }
    }
    Drop(connectionName);
    return false;
}

bool InsertJournalFrame(QSqlQuery &insert, const JournalFrame &row)
{
    const auto text = [](const QByteArray &bytes) { return DecodeCp1252(bytes); };
    insert.bindValue(0, JournalStoredTime(row.m_received));
    insert.bindValue(1, row.m_port);
    // A null text binds as NULL, which these columns refuse.
    const auto notNull
        = [](const QString &text) { return text.isNull() ? QStringLiteral("") : text; };
    insert.bindValue(2, notNull(row.m_device));
    insert.bindValue(3, int(row.m_fate));
    insert.bindValue(4, notNull(row.m_detail));
    insert.bindValue(5, row.m_length);
    insert.bindValue(6, row.m_bytes.isNull() ? QVariant() : QVariant(row.m_bytes));
    insert.bindValue(7, text(row.m_header));
    insert.bindValue(8, text(row.m_handling));
    insert.bindValue(9, text(row.m_region));
    insert.bindValue(10, text(row.m_source));
    insert.bindValue(11, text(row.m_headline));
    insert.bindValue(12, text(row.m_trailer));
    insert.bindValue(13, text(row.m_body));
    return insert.exec();
}

int IndexJournalText(QSqlDatabase &db, int rows, QString *error, QSqlError *failure)
{
    QSqlQuery query(db);
    const auto fail = [&] {
        *error = query.lastError().text();
        if (failure)
            *failure = query.lastError();
        query.finish();
        query.exec(QStringLiteral("ROLLBACK"));
        return -1;
    };
    // Immediate: a deferred transaction that reads first and writes after fails at once when
    // another Alvetra commits in between. Without waiting for the lock either: indexing can be
    // done later, while the rows that come meanwhile should not wait behind it.
    int busyTimeout = 0;
    if (query.exec(QStringLiteral("PRAGMA busy_timeout")) && query.next())
        busyTimeout = query.value(0).toInt();
    query.exec(QStringLiteral("PRAGMA busy_timeout = 0"));
    const bool begun = query.exec(QStringLiteral("BEGIN IMMEDIATE"));
    const QSqlError beginError = query.lastError();
    query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(busyTimeout));
    if (!begun) {
        *error = beginError.text();
        if (failure)
            *failure = beginError;
        return -1;
    }
    if (!query.exec(QStringLiteral("SELECT upto FROM text_indexed")) || !query.next())
        return fail();
    const qint64 from = query.value(0).toLongLong();
    query.prepare(QStringLiteral("SELECT MAX(id), COUNT(*) FROM (SELECT id FROM frames WHERE id > ?"
                                 " ORDER BY id LIMIT ?)"));
    query.addBindValue(from);
    query.addBindValue(rows);
    if (!query.exec() || !query.next())
        return fail();
    const int count = query.value(1).toInt();
    if (count == 0) {
        query.finish();
        query.exec(QStringLiteral("ROLLBACK"));
        return 0;
    }
    const qint64 to = query.value(0).toLongLong();
    query.prepare(QStringLiteral("INSERT INTO frames_text(rowid, header, headline, body)"
                                 " SELECT id, header, headline, body FROM frames"
                                 " WHERE id > ? AND id <= ?"));
    query.addBindValue(from);
    query.addBindValue(to);
    if (!query.exec())
        return fail();
    query.prepare(QStringLiteral("UPDATE text_indexed SET upto = ?"));
    query.addBindValue(to);
    if (!query.exec() || !query.exec(QStringLiteral("COMMIT")))
        return fail();
    return count;
}

bool PruneJournal(QSqlDatabase &db,
                  int keepDays,
                  const QDateTime &now,
                  QString *error,
                  QSqlError *failure,
                  int unshippedExtraDays,
                  qint64 *neverShipped)
{
    if (neverShipped)
        *neverShipped = 0;
    QSqlQuery query(db);
    const auto fail = [&] {
        *error = query.lastError().text();
        if (failure)
            *failure = query.lastError();
        query.finish();
        query.exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = query.lastError().text();
        if (failure)
            *failure = query.lastError();
        return false;
    }
    // Counted from the newest row when that is earlier than now: a station that was off longer
    // than the days kept, or a clock set years ahead, must not empty its journal at start.
    if (!query.exec(QStringLiteral("SELECT MAX(received), MAX(id) FROM frames")) || !query.next())
        return fail();
    if (query.value(1).isNull()) {
        query.finish();
        query.exec(QStringLiteral("ROLLBACK"));
        return true;
    }
    const qint64 newest = query.value(0).toLongLong();
    const qint64 lastId = query.value(1).toLongLong();
    const qint64 before = JournalStoredTime(
        JournalTimeFromStored(qMin(newest, JournalStoredTime(now))).addDays(-keepDays));
    // Rows the central journal does not hold yet wait for it, a while longer than the others.
    qint64 shippedUpTo = lastId;
    qint64 unshippedBefore = before;
    if (unshippedExtraDays >= 0) {
        if (!query.exec(QStringLiteral("SELECT frames FROM shipping")))
            return fail();
        if (query.next())
            shippedUpTo = query.value(0).toLongLong();
        query.finish();
        unshippedBefore
            = JournalStoredTime(JournalTimeFromStored(before).addDays(-qint64(unshippedExtraDays)));
        query.prepare(
            QStringLiteral("SELECT count(*) FROM frames WHERE received < ? AND id < ? AND id > ?"));
        query.addBindValue(unshippedBefore);
        query.addBindValue(lastId);
        query.addBindValue(shippedUpTo);
        if (!query.exec() || !query.next())
            return fail();
        if (neverShipped)
            *neverShipped = query.value(0).toLongLong();
        query.finish();
    }
    // The newest row stays, whatever its age: SQLite hands out ids above the largest one left,
    // and a row's id must never name two rows of one file.
    query.prepare(QStringLiteral("DELETE FROM frames WHERE received < ? AND id < ?"
                                 " AND (id <= ? OR received < ?)"));
    query.addBindValue(before);
    query.addBindValue(lastId);
    query.addBindValue(shippedUpTo);
    query.addBindValue(unshippedBefore);
    if (!query.exec())
        return fail();
    // A mark past every row would leave the next rows out of the text index for good, and
    // the delete trigger would take rows out of it that it never held.
    query.prepare(QStringLiteral("UPDATE text_indexed SET upto = ? WHERE upto > ?"));
    query.addBindValue(lastId);
    query.addBindValue(lastId);
    if (!query.exec() || !query.exec(QStringLiteral("COMMIT")))
        return fail();
    return true;
}
