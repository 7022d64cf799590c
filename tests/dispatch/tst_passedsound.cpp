#include "DispatchShell.h"

#include "dispatch/ProcessMessage.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kRate = 44100;
constexpr int kBytesPerSecond = kRate * 2; // 16-bit mono
// Well above the dither of a resampler, well below the chime's peaks.
constexpr int kAudible = 1000;

const QByteArray kWorkedExample = QByteArray("12345\x1f"
                                             "e2al9\x02"
                                             "Quake\rmnopqBody\x03"
                                             "0930\x04");

int Loudest(const QByteArray &samples, qsizetype from = 0)
{
    int loudest = 0;
    for (qsizetype i = from & ~qsizetype(1); i + 1 < samples.size(); i += 2) {
        qint16 sample;
        std::memcpy(&sample, samples.constData() + i, sizeof sample);
        loudest = std::max(loudest, std::abs(int(sample)));
    }
    return loudest;
}

} // namespace

// The chime really sounds: a PulseAudio server of the test's own with a null sink stands in
// for the loudspeaker, and parec records the sink's monitor.
class PassedSoundTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_server{QStringLiteral("/tmp/alvetra-sound-XXXXXX")};
    QTemporaryDir m_programFolder;
    QProcess m_pulseaudio;
    QProcess m_recorder;
    QByteArray m_recorded;

    void StartRecording()
    {
        m_recorded.clear();
        m_recorder.start(QStringLiteral("parec"),
                         {QStringLiteral("--device=alvetra_test.monitor"),
                          QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"),
                          QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
        QVERIFY(m_recorder.waitForStarted());
        // The monitor delivers silence from the start; a tenth of a second shows it is live.
        QTRY_VERIFY_WITH_TIMEOUT(m_recorded.size() >= kBytesPerSecond / 10, 10000);
    }

    void StopRecording()
    {
        m_recorder.kill();
        m_recorder.waitForFinished();
    }

private slots:
    void initTestCase()
    {
        for (const char *tool : {"pulseaudio", "parec", "pactl"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP("PulseAudio is missing (pulseaudio, pulseaudio-utils); scripts/setup.sh "
                      "test installs it");
        }
        QVERIFY(m_server.isValid());
        QVERIFY(m_programFolder.isValid());
        const QString socket = m_server.filePath(QStringLiteral("native"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_server.path());
        m_pulseaudio.setProcessEnvironment(environment);
        m_pulseaudio.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // -n: none of the machine's configuration, only the null sink and our socket.
        m_pulseaudio.start(
            QStringLiteral("pulseaudio"),
            {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
             QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
             QStringLiteral("--log-level=0"), QStringLiteral("-L"),
             QStringLiteral("module-null-sink sink_name=alvetra_test"), QStringLiteral("-L"),
             QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + socket});
        QVERIFY(m_pulseaudio.waitForStarted());
        // Before the first sound: the player connects to this server only.
        qputenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit());
        const auto serverAnswers = [] {
            QProcess pactl;
            pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
            return pactl.waitForFinished(5000) && pactl.exitCode() == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(serverAnswers(), 15000);

        connect(&m_recorder, &QProcess::readyReadStandardOutput, this,
                [this] { m_recorded += m_recorder.readAllStandardOutput(); });

        const QString source
            = qEnvironmentVariable("ALVETRA_SOURCE_DIR") + QStringLiteral("/sounds/passed.wav");
        QVERIFY(QDir(m_programFolder.path()).mkpath(QStringLiteral("sounds")));
        QVERIFY(QDir(m_programFolder.path()).mkpath(QStringLiteral("Received")));
        QVERIFY(QFile::copy(source, m_programFolder.filePath(QStringLiteral("sounds/passed.wav"))));
        Shell().m_programFolder = m_programFolder.path();
        SetOutputs(false, false, false);
    }

    void cleanupTestCase()
    {
        StopRecording();
        m_pulseaudio.terminate();
        if (!m_pulseaudio.waitForFinished(5000))
            m_pulseaudio.kill();
    }

    void aFilteredOrMalformedMessageMakesNoSound()
    {
        StartRecording();
        const qsizetype from = m_recorded.size();
        // Nothing is allowed yet: the worked example fails the filter.
        ProcessMessage(kWorkedExample);
        // Allowed, but without its STX: a warning and no sound.
        Shell().m_filterSettings.m_handling = "e";
        Shell().m_filterSettings.AllowRegion("2a");
        Shell().m_filterSettings.m_sources = "l";
        ProcessMessage(QByteArray(kWorkedExample).replace('\x02', 'x'));
        QCOMPARE(Shell().m_shownHeaders, QList<QByteArray>());
        QCOMPARE(Shell().m_log.size(), 1);
        QVERIFY(Shell().m_log.first().startsWith(QStringLiteral("Warning:->")));

        // The chime would be over within a second; record that long past the messages.
        QTRY_VERIFY_WITH_TIMEOUT(m_recorded.size() - from >= kBytesPerSecond * 3 / 2, 15000);
        QCOMPARE_LT(Loudest(m_recorded, from), kAudible);
        StopRecording();
        Shell().m_log.clear();
    }

    void theChimeSoundsWhileTheOutputLineHoldsTheGuiThread()
    {
        // The first chime of the run, so the player still has to load the file meanwhile.
        // Two full pieces, so the dispatch pauses twice before it returns; the port is set
        // up but never opened, so the pieces go nowhere.
        Shell().m_outPort.Configure(nullptr, 9, 9600, 'N', 8, 0, 0, 512);
        SetOutputs(false, true, false, 1500);
        StartRecording();
        QByteArray message = kWorkedExample;
        message.insert(message.indexOf('\x03'), QByteArray(1000, 'b'));
        const qsizetype from = m_recorded.size();
        ProcessMessage(message);
        // Everything the monitor delivered meanwhile waited in the pipe.
        QTRY_VERIFY_WITH_TIMEOUT(m_recorded.size() - from >= kBytesPerSecond * 4, 15000);
        StopRecording();
        SetOutputs(false, false, false);
        Shell().m_outPort.Configure(nullptr, 0, 0, 0, 0, 0, 0, 0);

        qsizetype onset = from & ~qsizetype(1);
        while (onset + 1 < m_recorded.size() && Loudest(m_recorded.mid(onset, 2)) < kAudible)
            onset += 2;
        QVERIFY(onset + 1 < m_recorded.size());
        // Held for the pauses, the chime would start three seconds in.
        QCOMPARE_LT(onset - from, kBytesPerSecond * 3 / 2);
    }

    void aPassedMessageSoundsWithAllOutputsOffAndOnlyTheLogBesides()
    {
        Shell().m_shownHeaders.clear();
        StartRecording();
        QCOMPARE_LT(Loudest(m_recorded), kAudible);
        ProcessMessage(kWorkedExample);
        QCOMPARE(Shell().m_shownHeaders, QList<QByteArray>{"12345e2al9"});
        QCOMPARE(Shell().m_log, QStringList());
        QVERIFY(QDir(m_programFolder.filePath(QStringLiteral("Received")))
                    .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
        QTRY_VERIFY_WITH_TIMEOUT(Loudest(m_recorded) >= kAudible, 15000);
        StopRecording();
    }

    void aSoundFileThatCannotBePlayedIsSilentAndStopsNothing_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("present");
        QTest::newRow("not-a-wave") << QByteArray("RIFF\x10\0\0\0WAVEjunk-junk-junk") << true;
        QTest::newRow("missing") << QByteArray() << false;
    }

    void aSoundFileThatCannotBePlayedIsSilentAndStopsNothing()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, present);
        // The player keeps a loaded sound; a folder of its own makes it load this one.
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("sounds")));
        QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("Received")));
        if (present) {
            QFile file(folder.filePath(QStringLiteral("sounds/passed.wav")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        Shell().m_programFolder = folder.path();
        Shell().m_log.clear();
        SetOutputs(true, false, false);
        StartRecording();
        // The chime of the test before may still ring out.
        const auto quiet = [this] {
            const qsizetype window = kBytesPerSecond * 3 / 10;
            return m_recorded.size() >= window
                   && Loudest(m_recorded, m_recorded.size() - window) < kAudible;
        };
        QTRY_VERIFY_WITH_TIMEOUT(quiet(), 15000);
        const qsizetype from = m_recorded.size();
        ProcessMessage(kWorkedExample);
        QCOMPARE(Shell().m_log, QStringList());
        QTRY_VERIFY(QFile::exists(folder.filePath(QStringLiteral("Received/12345e2al9.txt"))));
        QTRY_VERIFY_WITH_TIMEOUT(m_recorded.size() - from >= kBytesPerSecond, 15000);
        QCOMPARE_LT(Loudest(m_recorded, from), kAudible);
        StopRecording();
        SetOutputs(false, false, false);
        Shell().m_programFolder = m_programFolder.path();
    }
};

QTEST_MAIN(PassedSoundTest)
#include "tst_passedsound.moc"
