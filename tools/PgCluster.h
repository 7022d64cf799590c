#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL cluster of its own in a temporary folder, for the tests and the benchmarks: made
// with initdb and run with pg_ctl as the unprivileged "postgres" user when run as root (both
// refuse root), as the caller otherwise. It listens on a Unix socket in its own folder, and on
// 127.0.0.1 at the same port when asked. The superuser "postgres" gets in without a password
// over the socket; every other role must give its password (scram-sha-256), so that a wrong
// one is refused as a real server refuses it. Stopped and removed with the object.
// Blocking calls: a test's or a benchmark's thread only.
class PgCluster
{
public:
    explicit PgCluster(bool tcp = false);
    ~PgCluster();
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    // Makes and starts the cluster; false with the reason in Error() (no PostgreSQL 15 here,
    // no user "postgres" to run it as, initdb or pg_ctl failed).
    bool Start();
    // Stops it: `immediate` as a crash or a pulled cable would (no orderly end for the
    // clients), else the fast orderly shutdown. Start() again runs it on the same files.
    bool Stop(bool immediate = false);
    bool IsRunning() const { return m_running; }
    QString Error() const { return m_error; }

    // The folder of the socket (a libpq host) and the port.
    QString SocketFolder() const;
    int Port() const { return m_port; }

    // Runs `sql` through psql as the superuser on `database`; the rows, fields split by '|',
    // or an empty list with the reason in Error() on failure (*ok false).
    QStringList Sql(const QString &sql,
                    const QString &database = QStringLiteral("postgres"),
                    bool *ok = nullptr);
    // Makes a login role `user` with `password` and a database of the same name it owns.
    bool AddUserWithDatabase(const QString &user, const QString &password);
    // A ~/.pgpass style file that gives `password` to `user` on this cluster; its path.
    QString WritePasswordFile(const QString &user, const QString &password);

private:
    bool Run(const QStringList &command, QString *output = nullptr);
    QString Data() const;

    QTemporaryDir m_dir;
    bool m_tcp = false;
    int m_port = 0;
    bool m_made = false;
    bool m_running = false;
    QString m_error;
    QString m_bin;
};
