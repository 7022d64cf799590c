#include "SerialDevices.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSet>

#include <algorithm>

namespace {

QString WithDescription(const QString &name, const QString &description)
{
    return description.isEmpty() ? name : name + QStringLiteral(" (") + description + u')';
}

} // namespace

QList<SerialDeviceChoice> SerialDeviceChoices(const QString &byIdFolder,
                                              const QList<SystemSerialPort> &ports)
{
    QHash<QString, QString> descriptions; // by the port's real path
    for (const SystemSerialPort &port : ports) {
        const QString real = QFileInfo(port.m_location).canonicalFilePath();
        descriptions.insert(real.isEmpty() ? port.m_location : real, port.m_description);
    }

    QList<SerialDeviceChoice> choices;
    QSet<QString> linked;
    const QFileInfoList links
        = QDir(byIdFolder)
              .entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        const QString real = link.canonicalFilePath();
        if (real.isEmpty())
            continue;
        linked.insert(real);
        choices.append(
            {link.absoluteFilePath(), WithDescription(link.fileName(), descriptions.value(real))});
    }

    QList<SystemSerialPort> others;
    for (const SystemSerialPort &port : ports) {
        if (!linked.contains(QFileInfo(port.m_location).canonicalFilePath()))
            others.append(port);
    }
    std::sort(others.begin(), others.end(),
              [](const auto &a, const auto &b) { return a.m_location < b.m_location; });
    for (const SystemSerialPort &port : std::as_const(others))
        choices.append({port.m_location, WithDescription(port.m_location, port.m_description)});
    return choices;
}

QList<SerialDeviceChoice> PresentSerialDevices()
{
    QList<SystemSerialPort> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports.append({info.systemLocation(), info.description()});
    return SerialDeviceChoices(QString::fromLatin1(kSerialByIdFolder), ports);
}

SerialDeviceChoice NamedSerialDevice(const QString &device)
{
    const bool present = QFileInfo::exists(device);
    return {device,
            device + (present ? QStringLiteral(" (present)") : QStringLiteral(" (absent)"))};
}
