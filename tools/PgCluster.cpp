#include "PgCluster.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Debian keeps each major version's programs in a folder of its own, off the PATH.
QString ServerPrograms()
{
    for (const QString &folder :
         {QStringLiteral("/usr/lib/postgresql/15/bin"), QStringLiteral("/usr/local/bin")}) {
        if (QFileInfo(folder + QStringLiteral("/pg_ctl")).isExecutable())
            return folder;
    }
    return {};
}

// A port nobody listens on now; the socket's name carries it too.
int FreePort()
{
    int port = 54329;
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&address), size) == 0
        && getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (probe >= 0)
        close(probe);
    return port;
}

} // namespace

PgCluster::PgCluster(bool tcp)
    : m_tcp(tcp)
    , m_bin(ServerPrograms())
{}

PgCluster::~PgCluster()
{
    if (m_running)
        Stop(true);
}

QString PgCluster::Data() const
{
    return m_dir.filePath(QStringLiteral("data"));
}

QString PgCluster::SocketFolder() const
{
    return m_dir.path();
}

bool PgCluster::Run(const QStringList &command, QString *output)
{
    QStringList arguments = command;
    QString program = arguments.takeFirst();
    // initdb and the server refuse to run as root.
    if (geteuid() == 0) {
        arguments = QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                                QStringLiteral("--"), program}
                    + arguments;
        program = QStringLiteral("runuser");
    }
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(120000)) {
        m_error = QStringLiteral("%1 did not run: %2").arg(command.first(), process.errorString());
        process.kill();
        return false;
    }
    const QString text = QString::fromLocal8Bit(process.readAll());
    if (output)
        *output = text;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2").arg(command.first(), text.trimmed());
        return false;
    }
    return true;
}

bool PgCluster::Start()
{
    if (m_running)
        return true;
    if (m_bin.isEmpty()) {
        m_error = QStringLiteral("PostgreSQL 15 is not installed");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    if (!m_made) {
        if (geteuid() == 0) {
            const passwd *user = getpwnam("postgres");
            if (!user) {
                m_error = QStringLiteral("there is no user postgres to run the server as");
                return false;
            }
            if (chown(QFile::encodeName(m_dir.path()).constData(), user->pw_uid, user->pw_gid)
                != 0) {
                m_error = QStringLiteral("the cluster's folder cannot be given to postgres");
                return false;
            }
        }
        if (!Run({m_bin + QStringLiteral("/initdb"), QStringLiteral("-D"), Data(),
                  QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-E"),
                  QStringLiteral("UTF8"), QStringLiteral("--locale=C.UTF-8"),
                  QStringLiteral("--no-sync"), QStringLiteral("--auth-local=trust")}))
            return false;
        // The superuser over the socket for the test's own work; everyone else by password.
        QFile hba(Data() + QStringLiteral("/pg_hba.conf"));
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || hba.write("local all postgres trust\n"
                         "local all all scram-sha-256\n"
                         "host all all 127.0.0.1/32 scram-sha-256\n")
                   <= 0) {
            m_error = QStringLiteral("pg_hba.conf cannot be written");
            return false;
        }
        hba.close();
        m_port = FreePort();
        QFile conf(Data() + QStringLiteral("/postgresql.conf"));
        if (!conf.open(QIODevice::Append)) {
            m_error = QStringLiteral("postgresql.conf cannot be written");
            return false;
        }
        conf.write(QStringLiteral("port = %1\n"
                                  "unix_socket_directories = '%2'\n"
                                  "listen_addresses = '%3'\n"
                                  // A test's server, thrown away after: no waiting for
                                  // disks. A commit still reaches the system before it is
                                  // acknowledged, so an immediate stop loses none, as a real
                                  // server's crash loses none.
                                  "fsync = off\n"
                                  "full_page_writes = off\n"
                                  "max_connections = 60\n")
                       .arg(m_port)
                       .arg(m_dir.path(), m_tcp ? QStringLiteral("127.0.0.1") : QString())
                       .toUtf8());
        conf.close();
        m_made = true;
    }
    if (!Run({m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), Data(), QStringLiteral("-l"),
              m_dir.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
              QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("start")}))
        return false;
    m_running = true;
    return true;
}

bool PgCluster::Stop(bool immediate)
{
    if (!m_running)
        return true;
    const bool ok = Run({m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), Data(),
                         QStringLiteral("-m"),
                         immediate ? QStringLiteral("immediate") : QStringLiteral("fast"),
                         QStringLiteral("-w"), QStringLiteral("stop")});
    m_running = !ok;
    return ok;
}

QStringList PgCluster::Sql(const QString &sql, const QString &database, bool *ok)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral("psql"),
                  {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"),
                   QStringLiteral("-t"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                   QStringLiteral("-h"), SocketFolder(), QStringLiteral("-p"),
                   QString::number(m_port), QStringLiteral("-U"), QStringLiteral("postgres"),
                   QStringLiteral("-d"), database, QStringLiteral("-c"), sql});
    const bool ran = process.waitForStarted() && process.waitForFinished(600000)
                     && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (ok)
        *ok = ran;
    if (!ran) {
        m_error = QStringLiteral("psql failed: %1")
                      .arg(QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
        return {};
    }
    QStringList rows = QString::fromUtf8(process.readAllStandardOutput())
                           .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return rows;
}

bool PgCluster::AddUserWithDatabase(const QString &user, const QString &password)
{
    bool ok = false;
    Sql(QStringLiteral("CREATE ROLE \"%1\" LOGIN PASSWORD '%2'").arg(user, password),
        QStringLiteral("postgres"), &ok);
    if (ok)
        Sql(QStringLiteral("CREATE DATABASE \"%1\" OWNER \"%1\"").arg(user),
            QStringLiteral("postgres"), &ok);
    return ok;
}

QString PgCluster::WritePasswordFile(const QString &user, const QString &password)
{
    const QString path = m_dir.filePath(QStringLiteral("pgpass-%1").arg(user));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    // libpq ignores a password file that others may read.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QStringLiteral("*:*:*:%1:%2\n").arg(user, password).toUtf8());
    return path;
}
