#include "Autostart.h"

#include "files/WholeFileWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QString AutostartEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/autostart/alvetra.desktop");
}

bool IsAutostartOn()
{
    return QFileInfo::exists(AutostartEntryPath());
}

QByteArray AutostartEntry(const QString &homeFolder)
{
    return QByteArrayLiteral("[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Alvetra\n"
                             "Comment=Start Alvetra minimized when you log in\n"
                             "Exec=alvetra --minimized\n"
                             "Icon=alvetra\n"
                             "Terminal=false\n"
                             "Path=")
           + homeFolder.toUtf8() + '\n';
}

QString SetAutostart(bool on)
{
    const QString path = AutostartEntryPath();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path))
            return QStringLiteral("Could not remove %1: Alvetra will still start when you log "
                                  "in.")
                .arg(path);
        return {};
    }
    WholeFileWriter writer(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())
        || !writer.Write(AutostartEntry(QDir::homePath())))
        return QStringLiteral("Could not write %1: Alvetra will not start when you log in.")
            .arg(path);
    return {};
}
