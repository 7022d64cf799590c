// The central journal: one PostgreSQL database that holds the journals of many stations, each
// row under its journal's identity and its local id, with the station's name and the server's
// time of receipt. Every function here runs on the thread that owns the connection it is given
// or makes: a QSqlDatabase connection is used only on the thread that opened it.
#pragma once

#include "settings/CentralSettings.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class QSqlError;

// The version of the tables below that this program writes and reads. Version 2 added the
// acknowledgements; a database of version 1 is brought up to it by the same statements.
constexpr int kCentralSchemaVersion = 2;

// The statements that make the central tables, in order, for the program's first connection
// and for the README's administrator. Each is safe to run again.
QStringList CentralSchemaStatements();

// The longest any statement may run on the server, and the bounds of a connection: a half-open
// connection is noticed within these, so it never holds the shipper.
constexpr int kCentralStatementTimeoutMs = 30000;
constexpr int kCentralConnectTimeoutSeconds = 10;

// libpq's connection options for `settings` (as Qt's QPSQL driver takes them: separated by ';').
QString CentralConnectOptions(const CentralSettings &settings);

// Opens a connection `connectionName` to the central database; false with the reason in
// `error` (libpq's text, which names a wrong password or a missing role).
bool OpenCentral(const CentralSettings &settings, const QString &connectionName, QString *error);
// Closes and forgets the connection `connectionName`.
void CloseCentral(const QString &connectionName);

// Makes the tables unless the database holds this version already (the administrator may
// have made them, granting this role no more than inserting and reading). Statements from
// several stations at once wait for each other. False with the reason.
bool EnsureCentralSchema(QSqlDatabase &db, QString *error);

// The server refused this program (a wrong or missing password, no such role or database, no
// right to insert): trying again at once would only fill the server's log.
bool IsCentralRefusal(const QString &errorText, const QString &sqlState = {});

// The socket of the connection, for ending a statement in flight from another thread (-1 when
// there is none).
int CentralSocket(const QSqlDatabase &db);
