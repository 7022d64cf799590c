#include "CentralSettings.h"

#include <QSettings>

namespace {

const char kGroup[] = "Central";

// What the system-wide file alone gives, for Save to leave out of the user's file.
CentralSettings SharedCentralSettings()
{
    QSettings shared(QSettings::NativeFormat, QSettings::SystemScope, QStringLiteral("Dorvane"),
                     QStringLiteral("Alvetra"));
    CentralSettings settings;
    settings.Load(shared);
    return settings;
}

} // namespace

void CentralSettings::Load(QSettings &store)
{
    *this = CentralSettings();
    store.beginGroup(QLatin1String(kGroup));
    m_host = store.value(QStringLiteral("Host")).toString().trimmed();
    bool ok = false;
    const int port = store.value(QStringLiteral("Port")).toInt(&ok);
    if (ok && port > 0 && port < 65536)
        m_port = port;
    const QString database = store.value(QStringLiteral("Database")).toString().trimmed();
    if (!database.isEmpty())
        m_database = database;
    m_user = store.value(QStringLiteral("User")).toString().trimmed();
    const QString sslMode = store.value(QStringLiteral("SslMode")).toString().trimmed();
    for (const char *mode : kCentralSslModes)
        if (sslMode == QLatin1String(mode))
            m_sslMode = sslMode;
    const int seconds = store.value(QStringLiteral("RefusedRetrySeconds")).toInt(&ok);
    if (ok && seconds > 0)
        m_refusedRetrySeconds = seconds;
    store.endGroup();
}

void CentralSettings::Save(QSettings &store) const
{
    const CentralSettings shared = SharedCentralSettings();
    const CentralSettings defaults;
    store.beginGroup(QLatin1String(kGroup));
    const auto put = [&store](const char *key, const QVariant &value, const QVariant &sharedValue) {
        if (value == sharedValue)
            store.remove(QLatin1String(key));
        else
            store.setValue(QLatin1String(key), value);
    };
    put("Host", m_host.trimmed(), shared.m_host);
    // Without a server the rest means nothing; left out, the group goes and nothing runs.
    if (IsSet() || shared.IsSet()) {
        put("Port", m_port, shared.m_port);
        put("Database", m_database, shared.m_database);
        put("User", m_user, shared.m_user);
        put("SslMode", m_sslMode, shared.m_sslMode);
    }
    if (m_refusedRetrySeconds != defaults.m_refusedRetrySeconds)
        store.setValue(QStringLiteral("RefusedRetrySeconds"), m_refusedRetrySeconds);
    store.endGroup();
}

QString CentralSettings::Where() const
{
    return QStringLiteral("%1 (database %2)").arg(m_host, m_database);
}
