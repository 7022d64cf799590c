#include "MonitorSettings.h"

#include <QSettings>

namespace {

const char kListen[] = "Monitor/Listen";

} // namespace

void MonitorSettings::Load(const QSettings &store)
{
    m_listen = store.value(QLatin1String(kListen)).toString().trimmed();
}

void MonitorSettings::Save(QSettings &store) const
{
    // A copy of the system-wide entry in the user's file would no longer follow it.
    const QSettings shared(QSettings::NativeFormat, QSettings::SystemScope,
                           QStringLiteral("Dorvane"), QStringLiteral("Alvetra"));
    const QString listen = m_listen.trimmed();
    if (listen == shared.value(QLatin1String(kListen)).toString().trimmed())
        store.remove(QLatin1String(kListen));
    else
        store.setValue(QLatin1String(kListen), listen);
}
