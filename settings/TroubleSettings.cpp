#include "TroubleSettings.h"

#include <QSettings>

#include <limits>

namespace {

const char kOnTrouble[] = "Hooks/OnTrouble";
const char kFrameSilenceMinutes[] = "Supervision/FrameSilenceMinutes";

} // namespace

void TroubleSettings::Load(const QSettings &store)
{
    m_onTrouble = store.value(QLatin1String(kOnTrouble)).toString();
    bool ok = false;
    const qlonglong minutes = store.value(QLatin1String(kFrameSilenceMinutes)).toLongLong(&ok);
    m_frameSilenceMinutes = ok && minutes >= std::numeric_limits<int>::min()
                                    && minutes <= std::numeric_limits<int>::max()
                                ? int(minutes)
                                : kDefaultFrameSilenceMinutes;
}

void TroubleSettings::Save(QSettings &store) const
{
    store.setValue(QLatin1String(kOnTrouble), m_onTrouble);
    store.setValue(QLatin1String(kFrameSilenceMinutes), m_frameSilenceMinutes);
}
