#include "GeneralSettings.h"

#include <QSettings>

#include <limits>

namespace {

struct Entry
{
    const char *name;
    int GeneralSettings::*field;
    int fallback;
};

// In the order the store has always listed them.
constexpr Entry kEntries[] = {
    {"InSerialPort", &GeneralSettings::m_inSerialPort, 2},
    {"OutSerialPort", &GeneralSettings::m_outSerialPort, 1},
    {"SerialPortRecoverTime", &GeneralSettings::m_recoverTime, 1000},
    {"Sendtofile", &GeneralSettings::m_sendToFile, 1},
    {"Sendtoprinter", &GeneralSettings::m_sendToPrinter, 1},
    {"Sendtoport", &GeneralSettings::m_sendToPort, 1},
};

const char kSupervisionGroup[] = "Supervision";
const char kSilenceMinutes[] = "SilenceMinutes";

// A stored value as a 32-bit integer; false for anything else. QVariant's own toInt() cuts a
// wider number to 32 bits and calls that a valid read.
bool ReadInt(const QVariant &stored, int *value)
{
    bool ok = false;
    const qlonglong wide = stored.toLongLong(&ok);
    if (!ok || wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max())
        return false;
    *value = int(wide);
    return true;
}

QSettings UserSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Dorvane"),
                     QStringLiteral("Alvetra"));
}

} // namespace

void GeneralSettings::Load()
{
    QSettings store = UserSettings();
    store.beginGroup(QStringLiteral("Settings"));
    for (const Entry &entry : kEntries) {
        if (!ReadInt(store.value(QLatin1String(entry.name)), &(this->*entry.field)))
            this->*entry.field = entry.fallback;
    }
    store.endGroup();
    store.beginGroup(QLatin1String(kSupervisionGroup));
    if (!ReadInt(store.value(QLatin1String(kSilenceMinutes)), &m_silenceMinutes))
        m_silenceMinutes = kDefaultSilenceMinutes;
}

void GeneralSettings::Save() const
{
    QSettings store = UserSettings();
    store.beginGroup(QStringLiteral("Settings"));
    for (const Entry &entry : kEntries)
        store.setValue(QLatin1String(entry.name), this->*entry.field);
    store.endGroup();
    store.beginGroup(QLatin1String(kSupervisionGroup));
    store.setValue(QLatin1String(kSilenceMinutes), m_silenceMinutes);
    store.endGroup();
    store.sync();
}

QString SerialDeviceForPort(int number)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    QSettings store = UserSettings();
    const QString mapped = store.value(QStringLiteral("Ports/COM%1").arg(number)).toString();
    if (!mapped.isEmpty())
        return mapped;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}
