// Passed messages that wait for an operator's acknowledgement, in the real program over a
// pseudo-terminal: the status bar's count, the notification's action over a real session bus,
// the chime again from a PulseAudio server of the test's own, and the journal's record.
#include "AppTest.h"
#include "NotificationServer.h"

#include "app/Acknowledgements.h"
#include "app/CAlvetraView.h"
#include "app/CHistoryModel.h"
#include "app/CHistoryWindow.h"
#include "app/CMainFrame.h"
#include "app/Notifier.h"
#include "app/Troubles.h"
#include "doors/Doors.h"
#include "journal/Journal.h"
#include "journal/JournalReader.h"
#include "tools/Pty.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>

#include <cstring>

using namespace std::chrono_literals;

namespace {

// Handling a and d, region "0-", source l.
QByteArray FilterFile()
{
    QByteArray plain("\x02"
                     "ad\x01\x00\x02"
                     "0-\x01"
                     "l\x00\x00\x00\x00",
                     14);
    for (char &byte : plain)
        byte = char(byte ^ 0xA7);
    return plain;
}

QByteArray Message(int number, char handling)
{
    return "\x01" + QByteArray::number(10000 + number) + "\x1f" + handling + "0-l9\x02"
           + "Storm warning " + QByteArray::number(number) + "\r    Body\x03 trailer\x04";
}

QString Pane()
{
    auto *pane = CAlvetraApp::Instance()->MainFrame()->findChild<QLabel *>("alertsPane");
    return pane && pane->isVisible() ? pane->text() : QString();
}

QString At(const QDateTime &time)
{
    const QDateTime local = time.toLocalTime();
    return local.toString(local.date() == QDate::currentDate() ? "HH:mm" : "yyyy-MM-dd HH:mm");
}

Acknowledgements &Waiting()
{
    return CAlvetraApp::Instance()->GetAcknowledgements();
}

constexpr int kBytesPerSecond = 44100 * 2;
constexpr int kAudible = 1000;

int Loudest(const QByteArray &samples, qsizetype from)
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

class AcknowledgementTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    Pty m_input;
    NotificationServer m_server;
    QDateTime m_earlier; // the message the last run left waiting
    QTemporaryDir m_soundServer{"/tmp/alvetra-sound-XXXXXX"};
    QProcess m_pulseaudio;
    QProcess m_recorder;
    QByteArray m_recorded;
    bool m_sound = false;

    QString JournalPath() const { return m_dir.filePath("journal.sqlite"); }

    // The journal's entry of the message whose headline ends in `number`, once it is kept.
    std::optional<JournalEntry> Entry(int number)
    {
        JournalReader reader;
        QString error;
        if (!reader.Open(JournalPath(), &error))
            return std::nullopt;
        JournalFilter filter;
        filter.m_text = "Storm warning " + QString::number(number);
        const std::vector<JournalListRow> rows = reader.Rows(filter, nullptr, 10);
        return rows.empty() ? std::nullopt : reader.Entry(rows.front().m_id);
    }

    void StartSoundServer()
    {
        for (const char *tool : {"pulseaudio", "parec", "pactl"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                return;
        }
        const QString socket = m_soundServer.filePath("native");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", m_soundServer.path());
        m_pulseaudio.setProcessEnvironment(environment);
        m_pulseaudio.start("pulseaudio",
                           {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                            "-L", "module-null-sink sink_name=alvetra_test", "-L",
                            "module-native-protocol-unix auth-anonymous=1 socket=" + socket});
        if (!m_pulseaudio.waitForStarted())
            return;
        // Before the first sound: the player connects to this server only.
        qputenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit());
        const auto answers = [] {
            QProcess pactl;
            pactl.start("pactl", {"info"});
            return pactl.waitForFinished(5000) && pactl.exitCode() == 0;
        };
        m_sound = QTest::qWaitFor(answers, 15000);
        connect(&m_recorder, &QProcess::readyReadStandardOutput, this,
                [this] { m_recorded += m_recorder.readAllStandardOutput(); });
        m_recorder.start("parec", {"--device=alvetra_test.monitor", "--format=s16le",
                                   "--rate=44100", "--channels=1", "--latency-msec=20"});
        m_sound = m_sound && m_recorder.waitForStarted();
    }

    // Whether the last `span` of the recording is silent, once that much has come.
    bool QuietFor(std::chrono::milliseconds span)
    {
        const qsizetype window = kBytesPerSecond * span.count() / 1000;
        return m_recorded.size() >= window
               && Loudest(m_recorded, m_recorded.size() - window) < kAudible;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_input.IsOpen());
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("No session bus: run the tests under dbus-run-session, as test.sh does");
        QVERIFY(m_server.Register());
        StartSoundServer();

        // What an earlier run left: one message waiting, twenty minutes old, and one that
        // passed while the switch was off.
        m_earlier = QDateTime::currentDateTimeUtc().addSecs(-20 * 60);
        {
            Journal earlier;
            QSignalSpy committed(&earlier, &Journal::RowsCommitted);
            earlier.Start(JournalPath(), 0);
            JournalFrame row;
            row.m_received = m_earlier;
            row.m_port = 2;
            row.m_header = "10000a0-l9";
            row.m_headline = "Storm warning 0";
            row.m_awaitsAcknowledgement = true;
            earlier.Record(row);
            row.m_headline = "Storm warning 99";
            row.m_awaitsAcknowledgement = false;
            earlier.Record(row);
            QVERIFY(committed.wait(10000));
        }

        QFile filter("flt.dat");
        QVERIFY(filter.open(QIODevice::WriteOnly));
        filter.write(FilterFile());
        filter.close();
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Ports/COM2", m_input.DevicePath());
        store.setValue("Settings/Sendtoport", 0);
        store.setValue("Settings/Sendtofile", 0);
        store.setValue("Settings/Sendtoprinter", 0);
        store.setValue("Journal/Enabled", true);
        store.setValue("Journal/Path", JournalPath());
        store.setValue("Alerts/Acknowledge", true);
        // Test left out.
        store.setValue("Alerts/Handling", "abce");
        store.sync();
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
    }

    void cleanupTestCase()
    {
        m_recorder.kill();
        m_recorder.waitForFinished();
        m_pulseaudio.terminate();
        if (!m_pulseaudio.waitForFinished(5000))
            m_pulseaudio.kill();
    }

    void aMessageTheLastRunLeftWaitingStillWaitsAndIsATrouble()
    {
        QTRY_COMPARE(Pane(), "1 alert not acknowledged, at " + At(m_earlier));
        // Past the fifteen minutes it may wait.
        QTRY_VERIFY(CAlvetraApp::Instance()->GetTroubles().IsOn(TroubleKind::AlertsWaiting));
        QCOMPARE(Waiting().EscalatedCount(), 1);
    }

    void aHandlingLevelLeftOutNeverWaits()
    {
        // The program empties the line when it starts reading: the probe goes until it is read.
        const auto shown = [] { return GetLogView()->toPlainText().contains("Storm warning 1"); };
        for (int attempt = 0; attempt < 30 && !shown(); ++attempt) {
            QVERIFY(m_input.WriteAll(Message(1, 'd')));
            if (QTest::qWaitFor(shown, 2000))
                break;
        }
        QVERIFY(shown());
        QTRY_VERIFY(Entry(1).has_value());
        QVERIFY(!Entry(1)->m_awaited);
        QCOMPARE(Pane(), "1 alert not acknowledged, at " + At(m_earlier));
        // Nor does a row that passed while the switch was off.
        QVERIFY(Entry(99).has_value());
        QVERIFY(!Entry(99)->m_awaited);
    }

    void theNotificationsActionAcknowledgesTheMessagesItStandsFor()
    {
        m_server.m_sent.clear();
        QVERIFY(m_input.WriteAll(Message(2, 'a') + Message(3, 'a')));
        QTRY_COMPARE(Pane(), "3 alerts not acknowledged, the first at " + At(m_earlier));
        // One notification for the burst, which stays, critical, with the action.
        QTRY_VERIFY(!m_server.m_sent.isEmpty() && m_server.m_sent.last().actions.size() == 2
                    && m_server.m_sent.last().body.startsWith("Storm warning 3"));
        const Sent note = m_server.m_sent.last();
        QCOMPARE(note.expireMs, 0);
        QCOMPARE(note.urgency, 2);
        QCOMPARE(note.actions, (QStringList{"acknowledge", "Acknowledge"}));
        QTRY_VERIFY(Entry(3).has_value());

        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        QVERIFY(m_server.Invoke(note.id, "acknowledge"));
        // The earlier run's message was not in it.
        QTRY_COMPARE(Pane(), "1 alert not acknowledged, at " + At(m_earlier));
        QTRY_VERIFY(m_server.m_sent.last().method == "CloseNotification"
                    && m_server.m_sent.last().id == note.id);
        for (const int number : {2, 3}) {
            QTRY_VERIFY(Entry(number)->m_acknowledgedAt.isValid());
            const JournalEntry entry = *Entry(number);
            QVERIFY(entry.m_awaited);
            QCOMPARE(entry.m_acknowledgedBy, OperatingSystemUser());
            QCOMPARE(entry.m_acknowledgedFrom, AcknowledgedFrom::Notification);
            QVERIFY(entry.m_acknowledgedAt >= before);
            QVERIFY(entry.m_acknowledgedAt <= QDateTime::currentDateTimeUtc());
        }
        QVERIFY(!OperatingSystemUser().isEmpty());
    }

    void theHistoryShowsTheWaitingOnesAndAcknowledgesTheSelected()
    {
        QVERIFY(m_input.WriteAll(Message(4, 'a')));
        QTRY_COMPARE(Pane(), "2 alerts not acknowledged, the first at " + At(m_earlier));
        QTRY_VERIFY(Entry(4).has_value());
        CAlvetraApp::Instance()->MainFrame()->OnMessageHistory();
        CHistoryWindow *window = CAlvetraApp::Instance()->MainFrame()->HistoryWindow();
        window->findChild<QComboBox *>("fates")->setCurrentIndex(
            int(JournalFilter::Fates::Waiting));
        // The earlier run's message and this one; not those acknowledged or never waiting.
        QTRY_COMPARE(window->Model()->rowCount(), 2);
        QCOMPARE(window->Model()->index(0, CHistoryModel::Headline).data().toString(),
                 "Storm warning 4");
        QSignalSpy shown(window, &CHistoryWindow::EntryShown);
        window->Table()->selectRow(0);
        QVERIFY(shown.wait());
        QVERIFY(window->Detail()->toPlainText().contains("Waiting for acknowledgement"));
        window->findChild<QPushButton *>("acknowledgeSelected")->click();

        QCOMPARE(Pane(), "1 alert not acknowledged, at " + At(m_earlier));
        QTRY_COMPARE(window->Model()->rowCount(), 1);
        QCOMPARE(Entry(4)->m_acknowledgedFrom, AcknowledgedFrom::History);
        window->findChild<QComboBox *>("fates")->setCurrentIndex(0);
        QTRY_VERIFY(window->Model()->rowCount() > 1);
        window->Table()->selectRow(0);
        QVERIFY(shown.wait());
        QVERIFY2(window->Detail()->toPlainText().contains(
                     "Acknowledged "
                     + Entry(4)->m_acknowledgedAt.toLocalTime().toString("yyyy-MM-dd HH:mm:ss")
                     + " by " + OperatingSystemUser() + " from the History"),
                 qPrintable(window->Detail()->toPlainText()));
        window->close();
    }

    void theChimeComesBackUntilAcknowledgeAllAndIsSilentAfter()
    {
        // The earlier run's message still waits.
        constexpr auto kPeriod = 2s;
        if (m_sound) {
            // The chime of the burst is over by now.
            QTRY_VERIFY_WITH_TIMEOUT(QuietFor(700ms), 15000);
            const int lines = GetLogView()->toPlainText().split('\n').size();
            Waiting().SetRepeatPeriod(kPeriod);
            const qsizetype from = m_recorded.size();
            QTRY_VERIFY_WITH_TIMEOUT(Loudest(m_recorded, from) >= kAudible, 15000);
            // The repeat is no new line in the log.
            QCOMPARE(GetLogView()->toPlainText().split('\n').size(), lines);
        } else {
            qWarning("PulseAudio is missing (pulseaudio, pulseaudio-utils): the chime is not "
                     "listened to; scripts/setup.sh test installs it");
        }

        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        QAction *acknowledgeAll = CAlvetraApp::Instance()->MainFrame()->Command(32797);
        QVERIFY(acknowledgeAll);
        QCOMPARE(acknowledgeAll->shortcut(), QKeySequence("Ctrl+K"));
        acknowledgeAll->trigger();
        QCOMPARE(Pane(), QString());
        QTRY_VERIFY(!CAlvetraApp::Instance()->GetTroubles().IsOn(TroubleKind::AlertsWaiting));

        if (m_sound) {
            // Whatever rang before the acknowledgement is over within a second; then more than
            // two periods of silence.
            QTRY_VERIFY_WITH_TIMEOUT(QuietFor(700ms), 15000);
            const qsizetype after = m_recorded.size();
            QTRY_VERIFY_WITH_TIMEOUT(m_recorded.size() - after >= kBytesPerSecond * 5, 20000);
            QCOMPARE_LT(Loudest(m_recorded, after), kAudible);
        }

        QTRY_VERIFY(Entry(0)->m_acknowledgedAt.isValid());
        const JournalEntry entry = *Entry(0);
        QCOMPARE(entry.m_acknowledgedBy, OperatingSystemUser());
        QCOMPARE(entry.m_acknowledgedFrom, AcknowledgedFrom::Window);
        QVERIFY(entry.m_acknowledgedAt >= before);
        QVERIFY(entry.m_acknowledgedAt <= QDateTime::currentDateTimeUtc());
    }

    void withoutAJournalOneWarningLineSaysAcknowledgementIsKeptInMemoryOnly()
    {
        Notifier notifier;
        Troubles troubles;
        Acknowledgements inMemory(notifier, troubles);
        inMemory.SetJournal(nullptr);
        const auto lines
            = [] { return GetLogView()->toPlainText().split('\n').filter("kept in memory only"); };
        QCOMPARE(lines().size(), 0);
        inMemory.Add(0, QDateTime::currentDateTimeUtc());
        inMemory.Add(0, QDateTime::currentDateTimeUtc());
        QCOMPARE(lines(),
                 QStringList{"Warning:->No journal is written: messages waiting for "
                             "acknowledgement and their acknowledgements are kept in memory only, "
                             "and do not wait after Alvetra ends"});
        QCOMPARE(inMemory.WaitingCount(), 2);
        inMemory.AcknowledgeAll(AcknowledgedFrom::Window);
        QCOMPARE(inMemory.WaitingCount(), 0);
    }
};

ALVETRA_APP_TEST_MAIN(AcknowledgementTest)
#include "tst_acknowledgement.moc"
