// The whole road of a message, from the line simulator's input line through the real program
// to its output line, with the filter the demo uses.
#include "AppTest.h"

#include "app/CAlvetraView.h"
#include "doors/Doors.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>

class LineSimulatorTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString program
            = qEnvironmentVariable("ALVETRA_PROGRAM_DIR") + QStringLiteral("/alvetra-linesim");
        QVERIFY2(QFile::exists(program), qPrintable(program));
        QVERIFY(WriteEmptyFilterFile());

        m_simulator.setProgram(program);
        m_simulator.setArguments({"--baud", "0", "--stay", "--capture", Capture()});
        m_simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_simulator.start();
        QVERIFY(m_simulator.waitForStarted());
        QMap<QString, QString> lines;
        while (lines.size() < 2) {
            if (!m_simulator.canReadLine())
                QVERIFY(m_simulator.waitForReadyRead(10000));
            const QStringList words
                = QString::fromLocal8Bit(m_simulator.readLine()).trimmed().split(' ');
            if (words.size() == 2)
                lines.insert(words[0], words[1]);
        }

        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Settings/OutSerialPort", 1);
        store.setValue("Settings/Sendtofile", 0);
        store.setValue("Settings/Sendtoprinter", 0);
        store.setValue("Settings/Sendtoport", 1);
        store.setValue("Ports/COM2", lines.value("input"));
        store.setValue("Ports/COM1", lines.value("output"));
        store.sync();

        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        // The demo's filter, in force before the event loop delivers the first byte:
        // handling a to d, every region but 6c, every source but w.
        FilterSettings &criteria = GetFilterSettings();
        criteria.m_handling = "abcd";
        criteria.m_regions
            = {"0-", "1a", "1b", "2a", "2b", "2c", "3-", "4a", "4b", "5a", "5b", "6a", "6b"};
        criteria.m_sources = "loqsc";
        criteria.m_anySource = 0;
        QVERIFY(GetInPort().IsRunning() && GetOutPort().IsRunning());
    }

    void cleanupTestCase()
    {
        m_simulator.terminate();
        m_simulator.waitForFinished();
    }

    void theBuiltInSetPassesWhatTheFilterAllowsAndWarnsOfEachDamage()
    {
        const auto log = [] { return GetLogView()->toPlainText(); };
        // The set ends with this one.
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("After the cut"), 30000);

        for (const char *passed :
             {"Severe storm warning", "Flood alert for the river valley",
              "Road closed after landslide", "Forest fire: evacuate the north slope",
              "Chemical release at the port", "Power cut in the eastern district",
              "Avalanche danger level 4", "Gas leak on the main street", "Tsunami watch lifted",
              "Zero byte in the body"})
            QVERIFY2(log().contains(passed), passed);
        QVERIFY(log().contains(QString::fromUtf8("Café fire")));
        for (const char *filtered :
             {"Drinking water advisory", "Heat wave", "Missing person near the lake",
              "Bridge closed for inspection", "Air quality warning", "Unknown codes"})
            QVERIFY2(!log().contains(filtered), filtered);
        for (const char *warning : {"Could not find TFI delimiter in message. Dicarding",
                                    "Message too short. Cannot find EDIS header. Dicarding",
                                    "Could not find STX delimiter in message. Dicarding",
                                    "Could not find CR Headline delimiter in message. Dicarding",
                                    "Could not find ETX delimiter in message. Dicarding"})
            QCOMPARE(log().count(QString("Warning:->") + warning), 1);
        QVERIFY(!log().contains("Error:->"));
    }

    void everyPassedMessageLeavesOnTheOutputLineReframed()
    {
        const QByteArray opening("\r\n\nT\r\n\n\x16\x16\x01");
        const auto captured = [this] {
            QFile file(Capture());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(captured().count(opening), 12, 30000);
        QVERIFY(captured().startsWith(opening
                                      + "10001\x1f"
                                        "a0-l9\x02Severe storm warning\r"));
        QVERIFY(captured().contains(QByteArray("before\0after", 12)));
    }

private:
    static QString Capture() { return QDir::current().filePath("output-line.bin"); }

    QProcess m_simulator;
};

ALVETRA_APP_TEST_MAIN(LineSimulatorTest)
#include "tst_linesimulator.moc"
