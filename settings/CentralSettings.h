#pragma once

#include <QString>

class QSettings;

// Where the station's journal is shipped: a central PostgreSQL database (group "Central").
// Without a Host nothing is shipped. The password is never kept here: libpq takes it from
// ~/.pgpass or the file PGPASSFILE names, as PostgreSQL's own tools do. Read like every setting
// from the user's file and then the system-wide one (/etc/xdg/Dorvane/Alvetra.conf on Linux), so
// that an office sets its server once for every user of a station. Values only; any thread.
struct CentralSettings
{
    // "Host": a host name, an address or a socket's folder; several, separated by commas, for
    // a primary and its standbys (the one that takes writes is used).
    QString m_host;
    int m_port = 5432;                              // "Port"
    QString m_database = QStringLiteral("alvetra"); // "Database"
    QString m_user;                                 // "User"; empty: the system user's name
    QString m_sslMode = QStringLiteral("prefer");   // "SslMode", as libpq's sslmode
    // "RefusedRetrySeconds": how long a server that refused the password or the rights is left
    // alone before it is tried again.
    int m_refusedRetrySeconds = 300;

    bool IsSet() const { return !m_host.trimmed().isEmpty(); }
    // Reads the group from `store` (which falls back to the system-wide file); a missing or
    // unreadable entry gives its default.
    void Load(QSettings &store);
    // Writes to the user's file only the entries that differ from what the system-wide file
    // gives, so that a station keeps following the office's settings; removes the others.
    void Save(QSettings &store) const;
    // The server and database, as the log's lines name them.
    QString Where() const;
};

// The sslmode values libpq knows, in the order the settings dialog offers them.
inline constexpr const char *kCentralSslModes[]
    = {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"};
