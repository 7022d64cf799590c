#include "JournalSettings.h"

#include <QDateTime>
#include <QDir>
#include <QSettings>

JournalSettings LoadJournalSettings(const QString &programFolder)
{
    JournalSettings settings;
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Dorvane"),
                    QStringLiteral("Alvetra"));
    store.beginGroup(QStringLiteral("Journal"));
    settings.m_enabled = store.value(QStringLiteral("Enabled"), true).toBool();
    settings.m_path = store.value(QStringLiteral("Path")).toString();
    if (settings.m_path.isEmpty())
        settings.m_path = QDir(programFolder).filePath(QStringLiteral("Journal/journal.sqlite"));
    bool ok = false;
    const int days = store.value(QStringLiteral("KeepDays")).toInt(&ok);
    if (ok)
        settings.m_keepDays = days;
    return settings;
}

QDateTime ParseJournalTime(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.size() == 10) {
        const QDate date = QDate::fromString(trimmed, Qt::ISODate);
        return date.isValid() ? date.startOfDay() : QDateTime();
    }
    // Qt reads a date-time without an offset as local time.
    return QDateTime::fromString(trimmed, Qt::ISODateWithMs);
}
