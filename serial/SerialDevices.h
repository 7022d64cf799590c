// The serial devices a COM number can be given on Linux, for the General Settings dialog.
#pragma once

#include <QList>
#include <QString>

// A port as the system lists it (QSerialPortInfo): its device and the adapter's description.
struct SystemSerialPort
{
    QString m_location;
    QString m_description;
};

// One entry of a device list: the path that goes into the settings and the text shown.
struct SerialDeviceChoice
{
    QString m_device;
    QString m_text;

    friend bool operator==(const SerialDeviceChoice &, const SerialDeviceChoice &) = default;
};

// Where the system keeps names that stay the same whichever socket an adapter is plugged into.
inline constexpr char kSerialByIdFolder[] = "/dev/serial/by-id";

// The devices to offer: first the links in `byIdFolder`, by name, each with the description of
// the port it leads to, since a link's name survives a replug where ttyUSB0 may become ttyUSB1;
// then the `ports` no link leads to, by path. Links that lead nowhere are left out. Reads the
// folder; any thread.
QList<SerialDeviceChoice> SerialDeviceChoices(const QString &byIdFolder,
                                              const QList<SystemSerialPort> &ports);

// The choices present on this machine now (the by-id folder and QSerialPortInfo).
QList<SerialDeviceChoice> PresentSerialDevices();

// The entry for a device named in the settings that the list does not hold: its path, marked
// present when the path exists (a link is followed) and absent otherwise.
SerialDeviceChoice NamedSerialDevice(const QString &device);
