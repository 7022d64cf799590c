#include "AlertSettings.h"

#include <QSettings>

#include <algorithm>

namespace {

const char kGroup[] = "Alerts";

int ReadMinutes(const QSettings &store, const char *key, int fallback)
{
    bool ok = false;
    const qlonglong stored = store.value(QLatin1String(key)).toLongLong(&ok);
    // A week at most: a larger count would overflow the timers' milliseconds.
    return ok ? int(std::clamp<qlonglong>(stored, 0, 7 * 24 * 60)) : fallback;
}

} // namespace

void AlertSettings::Load(QSettings &store)
{
    store.beginGroup(QLatin1String(kGroup));
    m_acknowledge = store.value(QStringLiteral("Acknowledge"), false).toBool();
    m_handling = kAllHandling;
    if (store.contains(QStringLiteral("Handling"))) {
        const QByteArray stored = store.value(QStringLiteral("Handling")).toString().toLatin1();
        m_handling.clear();
        for (const char letter : QByteArray(kAllHandling)) {
            if (stored.contains(letter))
                m_handling += letter;
        }
    }
    m_repeatMinutes = ReadMinutes(store, "RepeatMinutes", kDefaultRepeatMinutes);
    m_escalateMinutes = ReadMinutes(store, "EscalateMinutes", kDefaultEscalateMinutes);
    store.endGroup();
}

void AlertSettings::Save(QSettings &store) const
{
    store.beginGroup(QLatin1String(kGroup));
    store.setValue(QStringLiteral("Acknowledge"), m_acknowledge);
    store.setValue(QStringLiteral("Handling"), QString::fromLatin1(m_handling));
    store.setValue(QStringLiteral("RepeatMinutes"), m_repeatMinutes);
    store.setValue(QStringLiteral("EscalateMinutes"), m_escalateMinutes);
    store.endGroup();
}
