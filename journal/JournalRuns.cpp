#include "JournalRuns.h"

#include "JournalDatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

// Runs kept, newest last: enough to look back a few years of daily restarts, and small.
constexpr int kKeptRuns = 2000;

QString ReadBootId()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll().trimmed());
}

// The 22nd field of /proc/<pid>/stat, after the name in parentheses (which may hold spaces);
// 0 when the process is not there or cannot be read.
qint64 ProcessStarted(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = file.read(4096);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return 0;
    // Fields from the third on: state is the first of them, starttime the twentieth.
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    return fields.size() > 19 ? fields[19].toLongLong() : 0;
}

QString UserName()
{
#ifdef Q_OS_UNIX
    if (const passwd *entry = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(entry->pw_name);
#endif
    return qEnvironmentVariable("USER");
}

} // namespace

JournalRunIdentity JournalRunIdentity::Own()
{
    JournalRunIdentity own;
    own.m_host = QSysInfo::machineHostName();
    own.m_boot = ReadBootId();
    own.m_pid = QCoreApplication::applicationPid();
    own.m_pidStarted = ProcessStarted(own.m_pid);
    own.m_user = UserName();
    return own;
}

bool JournalRunMayLive(const JournalRunIdentity &other, const JournalRunIdentity &own)
{
    if (other.m_host != own.m_host)
        return true;
    // The machine started again since: whatever ran then is gone.
    if (!other.m_boot.isEmpty() && !own.m_boot.isEmpty() && other.m_boot != own.m_boot)
        return false;
    if (other.m_pid == own.m_pid && other.m_pidStarted == own.m_pidStarted)
        return true;
    const qint64 started = ProcessStarted(other.m_pid);
    if (started != 0)
        return started == other.m_pidStarted;
#ifdef Q_OS_UNIX
    // /proc may hide another user's processes (hidepid): one that is there may be that run.
    if (other.m_pid > 0 && (::kill(pid_t(other.m_pid), 0) == 0 || errno == EPERM))
        return true;
#endif
    return false;
}

qint64 BeginJournalRun(QSqlDatabase &db,
                       const JournalRunIdentity &own,
                       const QDateTime &now,
                       QList<JournalUncleanRun> *unclean,
                       QString *error)
{
    QSqlQuery query(db);
    const auto fail = [&] {
        *error = query.lastError().text();
        query.finish();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return qint64(-1);
    };
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY,"
                                   " started INTEGER NOT NULL, host TEXT, boot TEXT, pid INTEGER,"
                                   " pid_started INTEGER, user TEXT, last_row INTEGER,"
                                   " ended INTEGER, noticed INTEGER NOT NULL DEFAULT 0)")))
        return fail();
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail();
    if (!query.exec(QStringLiteral("SELECT id, started, host, boot, pid, pid_started, user,"
                                   " last_row FROM runs WHERE ended IS NULL AND noticed = 0"
                                   " ORDER BY id")))
        return fail();
    QList<qint64> noticed;
    while (query.next()) {
        JournalRunIdentity other;
        other.m_host = query.value(2).toString();
        other.m_boot = query.value(3).toString();
        other.m_pid = query.value(4).toLongLong();
        other.m_pidStarted = query.value(5).toLongLong();
        other.m_user = query.value(6).toString();
        if (JournalRunMayLive(other, own))
            continue;
        noticed.append(query.value(0).toLongLong());
        unclean->append({JournalTimeFromStored(query.value(1).toLongLong()),
                         query.value(7).isNull()
                             ? QDateTime()
                             : JournalTimeFromStored(query.value(7).toLongLong()),
                         other.m_host, other.m_pid, other.m_user});
    }
    query.finish();
    for (const qint64 id : std::as_const(noticed)) {
        query.prepare(QStringLiteral("UPDATE runs SET noticed = 1 WHERE id = ?"));
        query.addBindValue(id);
        if (!query.exec())
            return fail();
    }
    query.prepare(QStringLiteral("INSERT INTO runs(started, host, boot, pid, pid_started, user)"
                                 " VALUES (?, ?, ?, ?, ?, ?)"));
    query.addBindValue(JournalStoredTime(now));
    query.addBindValue(own.m_host);
    query.addBindValue(own.m_boot);
    query.addBindValue(own.m_pid);
    query.addBindValue(own.m_pidStarted);
    query.addBindValue(own.m_user);
    if (!query.exec())
        return fail();
    const qint64 id = query.lastInsertId().toLongLong();
    query.prepare(QStringLiteral("DELETE FROM runs WHERE id <= ? AND (ended IS NOT NULL"
                                 " OR noticed = 1)"));
    query.addBindValue(id - kKeptRuns);
    if (!query.exec() || !query.exec(QStringLiteral("COMMIT")))
        return fail();
    return id;
}

bool NoteJournalRunRow(QSqlDatabase &db, qint64 runId, const QDateTime &at)
{
    if (!at.isValid())
        return true;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE runs SET last_row = MAX(COALESCE(last_row, 0), ?)"
                                 " WHERE id = ?"));
    query.addBindValue(JournalStoredTime(at));
    query.addBindValue(runId);
    return query.exec();
}

bool EndJournalRun(QSqlDatabase &db, qint64 runId, const QDateTime &now)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE runs SET ended = ? WHERE id = ?"));
    query.addBindValue(JournalStoredTime(now));
    query.addBindValue(runId);
    return query.exec();
}
