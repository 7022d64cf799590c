#include "serial/SerialDevices.h"
#include "tools/Pty.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class SerialDevicesTest : public QObject
{
    Q_OBJECT

private slots:
    void stableNamesComeFirstWithTheirAdaptersThenTheOtherDevices()
    {
        // A folder of links standing for /dev/serial/by-id, a pseudo-terminal behind each.
        QTemporaryDir byId;
        Pty first;
        Pty second;
        QVERIFY(byId.isValid() && first.IsOpen() && second.IsOpen());
        const QString b = byId.filePath("usb-B_Adapter_2-if00-port0");
        const QString a = byId.filePath("usb-A_Adapter_1-if00-port0");
        QVERIFY(QFile::link(second.DevicePath(), b));
        QVERIFY(QFile::link(first.DevicePath(), a));
        QVERIFY(QFile::link("/dev/unplugged-adapter", byId.filePath("usb-C_Gone-if00-port0")));

        const QList<SystemSerialPort> ports{{"/dev/ttyS0", ""},
                                            {second.DevicePath(), "Adapter B"},
                                            {"/dev/ttyACM0", "Modem"},
                                            {first.DevicePath(), "Adapter A"}};
        const QList<SerialDeviceChoice> expected{
            {a, "usb-A_Adapter_1-if00-port0 (Adapter A)"},
            {b, "usb-B_Adapter_2-if00-port0 (Adapter B)"},
            {"/dev/ttyACM0", "/dev/ttyACM0 (Modem)"},
            {"/dev/ttyS0", "/dev/ttyS0"},
        };
        QCOMPARE(SerialDeviceChoices(byId.path(), ports), expected);
        QCOMPARE(SerialDeviceChoices(byId.filePath("missing"), {}), {});

        // A device named in the settings, listed or not, says whether it is there.
        QCOMPARE(NamedSerialDevice(first.DevicePath()).m_text, first.DevicePath() + " (present)");
        QCOMPARE(NamedSerialDevice(b).m_text, b + " (present)");
        const QString gone = byId.filePath("usb-C_Gone-if00-port0");
        QCOMPARE(NamedSerialDevice(gone), (SerialDeviceChoice{gone, gone + " (absent)"}));
    }
};

QTEST_APPLESS_MAIN(SerialDevicesTest)
#include "tst_serialdevices.moc"
