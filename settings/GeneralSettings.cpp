#include "GeneralSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStorageInfo>
#include <QSysInfo>

#include <cerrno>

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
const char kHooksGroup[] = "Hooks";
const char kOnPassed[] = "OnPassed";
const char kTimeLimitSeconds[] = "TimeLimitSeconds";
const char kDesktopGroup[] = "Desktop";
const char kNotifyPassedMessages[] = "NotifyPassedMessages";
const char kStationName[] = "Station/Name";

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

// QSettings says only that the store could not be written. What can be told from outside: a
// file or folder the user may not write, or a full disk. Anything else (a quota, a size limit)
// goes without a cause rather than with a guessed one.
QString SaveFailureCause(const QString &fileName)
{
#ifdef Q_OS_UNIX
    const QFileInfo file(fileName);
    const QFileInfo folder(file.absolutePath());
    if ((file.exists() && !file.isWritable()) || (folder.exists() && !folder.isWritable()))
        return qt_error_string(EACCES);
    const QStorageInfo storage(folder.absoluteFilePath());
    if (storage.isValid() && storage.bytesAvailable() == 0)
        return qt_error_string(ENOSPC);
#else
    Q_UNUSED(fileName)
#endif
    return QString();
}

QSettings UserSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Dorvane"),
                     QStringLiteral("Alvetra"));
}

// The station's name as the system-wide settings give it, or the host's.
QString SharedStationName()
{
    const QSettings shared(QSettings::NativeFormat, QSettings::SystemScope,
                           QStringLiteral("Dorvane"), QStringLiteral("Alvetra"));
    const QString name = shared.value(QLatin1String(kStationName)).toString().trimmed();
    return name.isEmpty() ? GeneralSettings::DefaultStationName() : name;
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
    store.endGroup();
    store.beginGroup(QLatin1String(kHooksGroup));
    m_onPassed = store.value(QLatin1String(kOnPassed)).toString();
    if (!ReadInt(store.value(QLatin1String(kTimeLimitSeconds)), &m_hookTimeLimitSeconds))
        m_hookTimeLimitSeconds = kDefaultHookTimeLimitSeconds;
    store.endGroup();
    store.beginGroup(QLatin1String(kDesktopGroup));
    if (!ReadInt(store.value(QLatin1String(kNotifyPassedMessages)), &m_notifyPassedMessages))
        m_notifyPassedMessages = 1;
    store.endGroup();
    // The user's entry, else the system-wide one (QSettings falls back to it), else the host's.
    m_stationName = store.value(QLatin1String(kStationName)).toString().trimmed();
    if (m_stationName.isEmpty())
        m_stationName = DefaultStationName();
    m_troubles.Load(store);
    m_alerts.Load(store);
    m_monitor.Load(store);
    m_central.Load(store);
}

QString GeneralSettings::Save() const
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
    // A copy of the shared name in the user's file would no longer follow the shared one.
    const QString stationName = m_stationName.trimmed();
    if (stationName.isEmpty() || stationName == SharedStationName())
        store.remove(QLatin1String(kStationName));
    else
        store.setValue(QLatin1String(kStationName), stationName);
    m_troubles.Save(store);
    m_alerts.Save(store);
    m_monitor.Save(store);
    m_central.Save(store);
    store.sync();
    if (store.status() != QSettings::AccessError)
        return QString();
    const QString cause = SaveFailureCause(store.fileName());
    const QString where = QDir::toNativeSeparators(store.fileName());
    return cause.isEmpty()
               ? QStringLiteral("The general settings could not be saved in %1. They stay in force "
                                "until Alvetra ends.")
                     .arg(where)
               : QStringLiteral("The general settings could not be saved in %1: %2. They stay in "
                                "force until Alvetra ends.")
                     .arg(where, cause);
}

QString GeneralSettings::DefaultStationName()
{
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("Alvetra") : host;
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
