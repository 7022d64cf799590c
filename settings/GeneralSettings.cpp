#include "GeneralSettings.h"

#include <QSettings>

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
const char kHooksGroup[] = "Hooks";
const char kOnPassed[] = "OnPassed";
const char kTimeLimitSeconds[] = "TimeLimitSeconds";
const char kDesktopGroup[] = "Desktop";
const char kNotifyPassedMessages[] = "NotifyPassedMessages";

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
        bool ok = false;
        const int value = store.value(QLatin1String(entry.name)).toInt(&ok);
        this->*entry.field = ok ? value : entry.fallback;
    }
    store.endGroup();
    bool ok = false;
    store.beginGroup(QLatin1String(kSupervisionGroup));
    const int minutes = store.value(QLatin1String(kSilenceMinutes)).toInt(&ok);
    m_silenceMinutes = ok ? minutes : kDefaultSilenceMinutes;
    store.endGroup();
    store.beginGroup(QLatin1String(kHooksGroup));
    m_onPassed = store.value(QLatin1String(kOnPassed)).toString();
    const int seconds = store.value(QLatin1String(kTimeLimitSeconds)).toInt(&ok);
    m_hookTimeLimitSeconds = ok ? seconds : kDefaultHookTimeLimitSeconds;
    store.endGroup();
    store.beginGroup(QLatin1String(kDesktopGroup));
    const int notify = store.value(QLatin1String(kNotifyPassedMessages)).toInt(&ok);
    m_notifyPassedMessages = ok ? notify : 1;
    store.endGroup();
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
    store.beginGroup(QLatin1String(kHooksGroup));
    store.setValue(QLatin1String(kOnPassed), m_onPassed);
    store.setValue(QLatin1String(kTimeLimitSeconds), m_hookTimeLimitSeconds);
    store.endGroup();
    store.beginGroup(QLatin1String(kDesktopGroup));
    store.setValue(QLatin1String(kNotifyPassedMessages), m_notifyPassedMessages);
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
    return BuiltInSerialDevice(number);
#endif
}

QString BuiltInSerialDevice(int number)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

void SetSerialDeviceForPort(int number, const QString &device)
{
    QSettings store = UserSettings();
    const QString key = QStringLiteral("Ports/COM%1").arg(number);
    if (device.isEmpty())
        store.remove(key);
    else
        store.setValue(key, device);
    store.sync();
}
