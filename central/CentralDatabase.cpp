#include "CentralDatabase.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <libpq-fe.h>

QStringList CentralSchemaStatements()
{
    return {
        // pg_trgm is a trusted extension: the database's owner may make it.
        QStringLiteral("CREATE EXTENSION IF NOT EXISTS pg_trgm"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS alvetra_schema(version integer NOT NULL)"),
        // Each station's journal file, as the central database first heard of it.
        QStringLiteral("CREATE TABLE IF NOT EXISTS journals(journal text PRIMARY KEY,"
                       " station text NOT NULL, first_stored timestamptz NOT NULL DEFAULT now())"),
        // A row is named by its journal and its local id; `stored` is the server's own time
        // of receipt, since the stations' clocks differ.
        QStringLiteral("CREATE TABLE IF NOT EXISTS frames(journal text NOT NULL,"
                       " id bigint NOT NULL, station text NOT NULL,"
                       " stored timestamptz NOT NULL DEFAULT now(),"
                       " received timestamptz NOT NULL, port integer NOT NULL,"
                       " device text NOT NULL, fate integer NOT NULL, detail text NOT NULL,"
                       " length bigint NOT NULL, bytes bytea, header text, handling text,"
                       " region text, source text, headline text, trailer text, body text,"
                       " PRIMARY KEY (journal, id))"),
        QStringLiteral(
            "CREATE INDEX IF NOT EXISTS frames_by_time ON frames(received, journal, id)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS frames_by_station ON frames(station, received)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS frames_by_fate ON frames(fate, received)"),
        // Any piece of three characters or more of the texts, as the local journal finds it.
        QStringLiteral("CREATE INDEX IF NOT EXISTS frames_text ON frames USING gin"
                       " ((coalesce(header, '') || ' ' || coalesce(headline, '') || ' '"
                       " || coalesce(body, '')) gin_trgm_ops)"),
        // An output's result joins its frame's row by the frame's id, also when it came long
        // after the frame was shipped (a print that ended later).
        QStringLiteral("CREATE TABLE IF NOT EXISTS outputs(journal text NOT NULL,"
                       " id bigint NOT NULL, frame bigint NOT NULL,"
                       " stored timestamptz NOT NULL DEFAULT now(), kind integer NOT NULL,"
                       " at timestamptz NOT NULL, ok boolean NOT NULL, result text NOT NULL,"
                       " PRIMARY KEY (journal, id))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS outputs_by_frame ON outputs(journal, frame)"),
        // Which passed messages waited for acknowledgement, and who acknowledged them, when
        // and where from: each change as the station kept it, in its order (`at` NULL: the
        // message began to wait). Its frame may have been shipped long before.
        QStringLiteral("CREATE TABLE IF NOT EXISTS acknowledgements(journal text NOT NULL,"
                       " id bigint NOT NULL, frame bigint NOT NULL,"
                       " stored timestamptz NOT NULL DEFAULT now(), at timestamptz,"
                       " username text, place integer, PRIMARY KEY (journal, id))"),
        QStringLiteral(
            "CREATE INDEX IF NOT EXISTS acknowledgements_by_frame ON acknowledgements(journal,"
            " frame)"),
        QStringLiteral("INSERT INTO alvetra_schema SELECT %1"
                       " WHERE NOT EXISTS (SELECT 1 FROM alvetra_schema)")
            .arg(kCentralSchemaVersion),
        // A database made by an earlier version has its new tables now.
        QStringLiteral("UPDATE alvetra_schema SET version = %1 WHERE version < %1")
            .arg(kCentralSchemaVersion),
    };
}

QString CentralConnectOptions(const CentralSettings &settings)
{
    QStringList options{
        QStringLiteral("connect_timeout=%1").arg(kCentralConnectTimeoutSeconds),
        // A server gone without a word (a pulled cable, a crashed host) is noticed within half
        // a minute, idle or writing.
        QStringLiteral("keepalives=1"),
        QStringLiteral("keepalives_idle=10"),
        QStringLiteral("keepalives_interval=5"),
        QStringLiteral("keepalives_count=3"),
        QStringLiteral("tcp_user_timeout=%1").arg(kCentralStatementTimeoutMs),
        QStringLiteral("sslmode=%1").arg(settings.m_sslMode),
        // Of a primary and its standbys, the one that takes writes.
        QStringLiteral("target_session_attrs=read-write"),
        QStringLiteral("application_name=Alvetra"),
    };
    return options.join(QLatin1Char(';'));
}

bool OpenCentral(const CentralSettings &settings, const QString &connectionName, QString *error)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
        if (!db.isValid()) {
            *error = QStringLiteral("the PostgreSQL driver of Qt is not installed");
        } else {
            db.setHostName(settings.m_host);
            db.setPort(settings.m_port);
            db.setDatabaseName(settings.m_database);
            if (!settings.m_user.isEmpty())
                db.setUserName(settings.m_user);
            db.setConnectOptions(CentralConnectOptions(settings));
            if (db.open()) {
                QSqlQuery query(db);
                if (query.exec(QStringLiteral("SET statement_timeout = %1")
                                   .arg(kCentralStatementTimeoutMs)))
                    return true;
                *error = query.lastError().text();
            } else {
                *error = db.lastError().text().trimmed();
            }
        }
    }
    CloseCentral(connectionName);
    return false;
}

void CloseCentral(const QString &connectionName)
{
    if (!QSqlDatabase::contains(connectionName))
        return;
    QSqlDatabase::database(connectionName, false).close();
    QSqlDatabase::removeDatabase(connectionName);
}

bool EnsureCentralSchema(QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    // Made already (by an administrator, or by an earlier run): nothing to create, which a role
    // that may only insert and read could not do anyway.
    if (query.exec(QStringLiteral("SELECT to_regclass('alvetra_schema') IS NOT NULL"))
        && query.next() && query.value(0).toBool()) {
        query.finish();
        if (query.exec(QStringLiteral("SELECT max(version) FROM alvetra_schema")) && query.next()
            && query.value(0).toInt() >= kCentralSchemaVersion)
            return true;
    }
    query.finish();
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    // Two stations making the tables at once would collide in the catalogue.
    bool ok = query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(20771029)"));
    for (const QString &statement : CentralSchemaStatements()) {
        if (!ok)
            break;
        ok = query.exec(statement);
    }
    if (ok && db.commit())
        return true;
    *error = query.lastError().isValid() ? query.lastError().text() : db.lastError().text();
    db.rollback();
    return false;
}

bool IsCentralRefusal(const QString &errorText, const QString &sqlState)
{
    // 28xxx: authorization; 42501: no right; 3D000: no such database.
    if (sqlState.startsWith(QLatin1String("28")) || sqlState == QLatin1String("42501")
        || sqlState == QLatin1String("3D000"))
        return true;
    // A connection refused at login carries no SQLSTATE through the driver, only libpq's text.
    for (const char *words :
         {"password authentication failed", "no password supplied", "does not exist",
          "no pg_hba.conf entry", "permission denied", "authentication failed"}) {
        if (errorText.contains(QLatin1String(words), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

int CentralSocket(const QSqlDatabase &db)
{
    if (!db.isOpen() || !db.driver())
        return -1;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "PGconn*") != 0)
        return -1;
    PGconn *connection = *static_cast<PGconn *const *>(handle.data());
    return connection ? PQsocket(connection) : -1;
}
