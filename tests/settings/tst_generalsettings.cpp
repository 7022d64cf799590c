#include "settings/GeneralSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

// Each run has its own XDG_CONFIG_HOME (tests/run-isolated.sh), so the store starts empty.
class GeneralSettingsTest : public QObject
{
    Q_OBJECT

private:
    static QSettings Store()
    {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
    }
    // The user's file alone, without the system-wide one behind it.
    static bool UserFileHas(const QString &key)
    {
        QSettings store = Store();
        store.setFallbacksEnabled(false);
        return store.contains(key);
    }

private slots:
    void init()
    {
        QSettings store = Store();
        store.clear();
        store.sync();
    }

    void firstStartWritesAllSixDefaults()
    {
        GeneralSettings settings;
        settings.Load();
        settings.Save();
        QCOMPARE(settings.m_inSerialPort, 2);
        QCOMPARE(settings.m_outSerialPort, 1);
        QCOMPARE(settings.m_recoverTime, 1000);
        QCOMPARE(settings.m_sendToFile, 1);
        QCOMPARE(settings.m_sendToPrinter, 1);
        QCOMPARE(settings.m_sendToPort, 1);
        QCOMPARE(settings.m_silenceMinutes, 60);

        QSettings store = Store();
        // The silence alarm keeps to a group of its own: the six are all "Settings" holds.
        QCOMPARE(store.value("Supervision/SilenceMinutes").toInt(), 60);
        QVERIFY(QFile::exists(store.fileName()));
        store.beginGroup("Settings");
        QCOMPARE(store.childKeys().size(), 6);
        QCOMPARE(store.value("InSerialPort").toInt(), 2);
        QCOMPARE(store.value("OutSerialPort").toInt(), 1);
        QCOMPARE(store.value("SerialPortRecoverTime").toInt(), 1000);
        QCOMPARE(store.value("Sendtofile").toInt(), 1);
        QCOMPARE(store.value("Sendtoprinter").toInt(), 1);
        QCOMPARE(store.value("Sendtoport").toInt(), 1);
    }

    void storedValuesSurviveARestartUnchanged()
    {
        GeneralSettings first;
        first.Load();
        first.m_inSerialPort = 7;
        first.m_recoverTime = 0;
        first.m_sendToPrinter = 5; // a switch is taken as it is
        first.m_sendToFile = 0;
        first.m_silenceMinutes = 0;
        first.m_onPassed = "/usr/local/bin/page \"on call\" --from alvetra";
        first.m_hookTimeLimitSeconds = 5;
        first.Save();

        GeneralSettings second;
        second.Load();
        QCOMPARE(second.m_inSerialPort, 7);
        QCOMPARE(second.m_recoverTime, 0);
        QCOMPARE(second.m_sendToPrinter, 5);
        QCOMPARE(second.m_sendToFile, 0);
        QCOMPARE(second.m_outSerialPort, 1);
        QCOMPARE(second.m_silenceMinutes, 0);
        QCOMPARE(second.m_onPassed, first.m_onPassed);
        QCOMPARE(second.m_hookTimeLimitSeconds, 5);
    }

    void anEntryThatIsNotA32BitIntegerFallsBackToItsDefault()
    {
        {
            QSettings store = Store();
            store.setValue("Settings/InSerialPort", "three");
            // Cut to 32 bits it would read as 1,215,752,191 ms.
            store.setValue("Settings/SerialPortRecoverTime", "99999999999");
            store.setValue("Settings/OutSerialPort", "-2147483649");
            store.setValue("Settings/Sendtofile", "");
            store.setValue("Settings/Sendtoprinter", "-2147483648");
            store.setValue("Settings/Sendtoport", 0);
            store.setValue("Hooks/TimeLimitSeconds", "1m");
            store.setValue("Supervision/SilenceMinutes", "4294967356");
        }
        GeneralSettings settings;
        settings.Load();
        QCOMPARE(settings.m_inSerialPort, 2);
        QCOMPARE(settings.m_recoverTime, 1000);
        QCOMPARE(settings.m_outSerialPort, 1);
        QCOMPARE(settings.m_sendToFile, 1);
        QCOMPARE(settings.m_sendToPrinter, std::numeric_limits<int>::min());
        QCOMPARE(settings.m_sendToPort, 0);
        QCOMPARE(settings.m_silenceMinutes, 60);
        QCOMPARE(settings.m_hookTimeLimitSeconds, 60);
        QCOMPARE(settings.m_onPassed, QString());

        // The default, not the user's entry cut short, is what goes back.
        QCOMPARE(settings.Save(), QString());
        QCOMPARE(Store().value("Settings/SerialPortRecoverTime").toString(), "1000");
    }

    void theAlertsGroupReadsWhatItCanAndDefaultsTheRest_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<bool>("acknowledge");
        QTest::addColumn<QByteArray>("handling");
        QTest::addColumn<int>("repeat");
        QTest::addColumn<int>("escalate");
        QTest::newRow("nothing-stored") << QVariantMap() << false << QByteArray("abcde") << 5 << 15;
        QTest::newRow("as-the-dialog-writes") << QVariantMap{{"Acknowledge", true},
                                                             {"Handling", "bd"},
                                                             {"RepeatMinutes", 0},
                                                             {"EscalateMinutes", 30}}
                                              << true << QByteArray("bd") << 0 << 30;
        QTest::newRow("no-level-at-all") << QVariantMap{{"Acknowledge", true}, {"Handling", ""}}
                                         << true << QByteArray() << 5 << 15;
        QTest::newRow("letters-beyond-the-five-and-repeats")
            << QVariantMap{{"Handling", "xEbb;a"}} << false << QByteArray("ab") << 5 << 15;
        // Minutes a timer could not hold, or none at all.
        QTest::newRow("minutes-out-of-range")
            << QVariantMap{{"RepeatMinutes", "99999999999"}, {"EscalateMinutes", -3}} << false
            << QByteArray("abcde") << 7 * 24 * 60 << 0;
        QTest::newRow("minutes-not-a-number")
            << QVariantMap{{"RepeatMinutes", "five"}} << false << QByteArray("abcde") << 5 << 15;
    }

    void theAlertsGroupReadsWhatItCanAndDefaultsTheRest()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(bool, acknowledge);
        QFETCH(QByteArray, handling);
        QFETCH(int, repeat);
        QFETCH(int, escalate);
        {
            QSettings store = Store();
            for (auto it = stored.cbegin(); it != stored.cend(); ++it)
                store.setValue("Alerts/" + it.key(), it.value());
        }
        GeneralSettings settings;
        settings.Load();
        QCOMPARE(settings.m_alerts.m_acknowledge, acknowledge);
        QCOMPARE(settings.m_alerts.m_handling, handling);
        QCOMPARE(settings.m_alerts.m_repeatMinutes, repeat);
        QCOMPARE(settings.m_alerts.m_escalateMinutes, escalate);
        // Off, no level waits; on, only those named.
        QCOMPARE(settings.m_alerts.Waits('b'), acknowledge && handling.contains('b'));
        QVERIFY(!settings.m_alerts.Waits('x'));

        QCOMPARE(settings.Save(), QString());
        GeneralSettings again;
        again.Load();
        QCOMPARE(again.m_alerts.m_acknowledge, acknowledge);
        QCOMPARE(again.m_alerts.m_handling, handling);
        QCOMPARE(again.m_alerts.m_repeatMinutes, repeat);
    }

    void aGarbageSettingsFileNeverStopsTheLoad()
    {
        const QString path = Store().fileName();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\x00\xff[Settings\n=\n\x01\x02InSerialPort=\xff\xfe", 30));
        file.close();

        GeneralSettings settings;
        settings.Load();
        QCOMPARE(settings.m_inSerialPort, 2);
        QCOMPARE(settings.m_sendToFile, 1);
    }

    void comPortsMapToDevicesThroughThePortsGroup()
    {
#ifndef Q_OS_WIN
        QCOMPARE(SerialDeviceForPort(1), QString("/dev/ttyS0"));
        Store().setValue("Ports/COM2", "/dev/ttyUSB0");
        QCOMPARE(SerialDeviceForPort(2), QString("/dev/ttyUSB0"));
        QCOMPARE(SerialDeviceForPort(3), QString("/dev/ttyS2"));
        SetSerialDeviceForPort(2, QString());
        QCOMPARE(SerialDeviceForPort(2), QString("/dev/ttyS1"));
        QVERIFY(!Store().contains("Ports/COM2"));
#else
        QCOMPARE(SerialDeviceForPort(4), QString("COM4"));
#endif
    }

    // The station's name: the user's own, else the shared file's, else the host's; a save
    // never freezes the shared name into the user's file, so a change there reaches everyone.
    void theStationNameFallsBackToTheSharedFileAndIsNotCopiedFromIt()
    {
        QTemporaryDir shared;
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, shared.path());
        GeneralSettings settings;
        settings.Load();
        QCOMPARE(settings.m_stationName, GeneralSettings::DefaultStationName());
        QVERIFY(!settings.m_stationName.isEmpty());

        QSettings(QSettings::NativeFormat, QSettings::SystemScope, "Dorvane", "Alvetra")
            .setValue("Station/Name", "Leitstelle Nord");
        settings.Load();
        QCOMPARE(settings.m_stationName, QString("Leitstelle Nord"));
        QCOMPARE(settings.Save(), QString());
        QVERIFY(!UserFileHas("Station/Name"));

        settings.m_stationName = "  Wache 3 ";
        settings.Save();
        QCOMPARE(Store().value("Station/Name").toString(), QString("Wache 3"));
        settings.m_stationName = "Leitstelle Nord";
        settings.Save();
        QVERIFY(!UserFileHas("Station/Name"));
    }

    // Where the monitoring listens follows the shared file the same way; a user who turns it
    // off where the shared file turns it on keeps it off.
    void theMonitoringAddressFollowsTheSharedFileUnlessTheUserSetsItsOwn()
    {
        QTemporaryDir shared;
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, shared.path());
        GeneralSettings settings;
        settings.Load();
        QCOMPARE(settings.m_monitor.m_listen, QString());

        QSettings(QSettings::NativeFormat, QSettings::SystemScope, "Dorvane", "Alvetra")
            .setValue("Monitor/Listen", "0.0.0.0:9466");
        settings.Load();
        QCOMPARE(settings.m_monitor.m_listen, QString("0.0.0.0:9466"));
        QCOMPARE(settings.Save(), QString());
        QVERIFY(!UserFileHas("Monitor/Listen"));

        settings.m_monitor.m_listen.clear();
        QCOMPARE(settings.Save(), QString());
        settings.Load();
        QCOMPARE(settings.m_monitor.m_listen, QString());
    }

    // The central server as the office sets it for all in the shared file: followed, never
    // frozen into the user's file, and nothing written where none is named (nothing ships).
    void theCentralServerComesFromTheSharedFileAndOnlyTheUsersOwnIsWritten()
    {
        QTemporaryDir shared;
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, shared.path());
        GeneralSettings settings;
        settings.Load();
        QVERIFY(!settings.m_central.IsSet());
        QCOMPARE(settings.Save(), QString());
        QVERIFY(!UserFileHas("Central/Host"));
        QVERIFY(!UserFileHas("Central/Port"));

        QSettings office(QSettings::NativeFormat, QSettings::SystemScope, "Dorvane", "Alvetra");
        office.setValue("Central/Host", "db1.office,db2.office");
        office.setValue("Central/Database", "region");
        office.setValue("Central/SslMode", "sometimes");
        office.setValue("Central/Port", "70000");
        office.sync();
        settings.Load();
        QCOMPARE(settings.m_central.m_host, QString("db1.office,db2.office"));
        QCOMPARE(settings.m_central.m_database, QString("region"));
        QCOMPARE(settings.m_central.m_sslMode, QString("prefer"));
        QCOMPARE(settings.m_central.m_port, 5432);
        QCOMPARE(settings.Save(), QString());
        QVERIFY(!UserFileHas("Central/Host"));
        QVERIFY(!UserFileHas("Central/Database"));

        settings.m_central.m_user = "wache3";
        settings.Save();
        QCOMPARE(Store().value("Central/User").toString(), QString("wache3"));
        QVERIFY(!UserFileHas("Central/Host"));
        settings.Load();
        QCOMPARE(settings.m_central.m_host, QString("db1.office,db2.office"));
        QCOMPARE(settings.m_central.m_user, QString("wache3"));
    }
};

QTEST_APPLESS_MAIN(GeneralSettingsTest)
#include "tst_generalsettings.moc"
