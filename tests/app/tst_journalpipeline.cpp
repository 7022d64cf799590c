// The journal of the real program, run as a child process on pseudo-terminals: what each frame,
// each output and the line's events leave in it, and that a passed message's row survives a
// SIGKILL taken the moment its file appears. With them the station's command for its troubles
// (OnTrouble), which the journal keeps, and the start after a kill.
#include "journal/JournalReader.h"
#include "settings/FilterSettings.h"
#include "tools/Pty.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

const QByteArray kPassed = "\x01"
                           "12345\x1f"
                           "e2al9\x02Quake\rmnopqBody\x03"
                           "0930\x04";
const QByteArray kFiltered = "\x01"
                             "00001\x1f"
                             "e2zl9\x02Filtered\rmnopqBody\x03"
                             "1111\x04";
const QByteArray kMalformed = "\x01"
                              "00002\x1f"
                              "e2al9 no text\x04";
const QByteArray kForwarded = "\x01"
                              "54321\x1f"
                              "e2al9\x02Storm\rmnopqBody\x03"
                              "0931\x04";

// The environment of each run of the station's command for a trouble, in the order they ran.
using TroubleRuns = QList<QMap<QString, QString>>;

} // namespace

class JournalPipelineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_program;
    Pty m_out;
    QString m_journalName = "journal.sqlite";
    QString Journal() const { return m_dir.filePath(m_journalName); }
    // The input line's name, a link to the pseudo-terminal of the moment, as a by-id name is.
    QString InLink() const { return m_dir.filePath("in-line"); }
    bool LinkInput(const Pty &pty)
    {
        QFile::remove(InLink());
        return QFile::link(pty.DevicePath(), InLink());
    }

    // The program started on `pty` as its input line COM2, forwarding to m_out as COM3 and
    // printing where there is no printer at all.
    bool Start(QProcess &process, const Pty &pty, const QProcessEnvironment &extra = {})
    {
        if (!LinkInput(pty))
            return false;
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Ports/COM2", InLink());
        store.setValue("Ports/COM3", m_out.DevicePath());
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Settings/OutSerialPort", 3);
        store.setValue("Settings/Sendtoport", 1);
        store.setValue("Settings/Sendtofile", 1);
        store.setValue("Settings/Sendtoprinter", 1);
        store.setValue("Journal/Path", Journal());
        store.sync();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("CUPS_SERVER", m_dir.filePath("no-print-service"));
        environment.insert(extra);
        process.setProcessEnvironment(environment);
        process.start(m_program, {});
        return process.waitForStarted();
    }

    // The rows of the journal, oldest first, as "fate: detail [header]".
    QStringList Rows()
    {
        JournalReader reader;
        QString error;
        QStringList rows;
        if (!reader.Open(Journal(), &error))
            return rows;
        for (const JournalListRow &row : reader.Rows({}, nullptr, 100))
            rows.prepend(QStringLiteral("%1: %2 [%3]")
                             .arg(JournalFateText(row.m_fate), row.m_detail, row.m_header));
        return rows;
    }

    void SetInputDevice(const QString &device)
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Ports/COM2", device);
        store.sync();
    }

    // The devices kept with the line events whose detail is `detail`, oldest first.
    QStringList LineEventDevices(const QString &detail)
    {
        JournalReader reader;
        QString error;
        QStringList devices;
        if (!reader.Open(Journal(), &error))
            return devices;
        for (const JournalListRow &row : reader.Rows({}, nullptr, 100))
            if (row.m_fate == JournalFate::LineEvent && row.m_detail == detail)
                devices.prepend(row.m_device);
        return devices;
    }

    // The outputs kept under the passed message `header`, oldest first, as "kind: result".
    QStringList Outputs(const QString &header)
    {
        JournalReader reader;
        QString error;
        QStringList outputs;
        if (!reader.Open(Journal(), &error))
            return outputs;
        for (const JournalListRow &row : reader.Rows({}, nullptr, 100)) {
            if (row.m_header != header || row.m_fate != JournalFate::Passed)
                continue;
            if (const std::optional<JournalEntry> entry = reader.Entry(row.m_id))
                for (const JournalOutputRow &output : entry->m_outputs)
                    outputs.append(JournalOutputKindText(output.m_kind) + ": " + output.m_result);
        }
        return outputs;
    }

    // OnTrouble set to a script that writes each run's ALVETRA_ variables to a file of its own
    // in `folder`, whole once it has its name, and the station named.
    bool SetTroubleCommand(const QString &folder)
    {
        const QString script = m_dir.filePath("trouble.sh");
        QFile file(script);
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly)
            || file.write("#!/bin/sh\n"
                          "env | grep '^ALVETRA_' > \"$1/.run-$$\"\n"
                          "mv \"$1/.run-$$\" \"$1/$(date +%s%N).env\"\n")
                   <= 0)
            return false;
        file.close();
        file.setPermissions(file.permissions() | QFile::ExeOwner);
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Hooks/OnTrouble", script + " " + folder);
        store.setValue("Station/Name", "North Watch 3");
        return true;
    }

    static TroubleRuns Runs(const QString &folder)
    {
        TroubleRuns runs;
        const QDir dir(folder);
        for (const QString &name : dir.entryList({"*.env"}, QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            QMap<QString, QString> run;
            for (const QByteArray &line : file.readAll().split('\n')) {
                const qsizetype equals = line.indexOf('=');
                if (equals > 0)
                    run.insert(QString::fromUtf8(line.left(equals)),
                               QString::fromUtf8(line.mid(equals + 1)));
            }
            runs.append(run);
        }
        return runs;
    }

    static QStringList Events(const TroubleRuns &runs)
    {
        QStringList events;
        for (const auto &run : runs)
            events.append(run.value("ALVETRA_EVENT"));
        return events;
    }

    // The trouble commands' results kept under the line events `detail` starts, oldest first.
    QStringList TroubleResults(const QString &detail)
    {
        JournalReader reader;
        QString error;
        QStringList results;
        if (!reader.Open(Journal(), &error))
            return results;
        for (const JournalListRow &row : reader.Rows({}, nullptr, 100)) {
            if (row.m_fate != JournalFate::LineEvent || !row.m_detail.startsWith(detail))
                continue;
            if (const std::optional<JournalEntry> entry = reader.Entry(row.m_id))
                for (const JournalOutputRow &output : entry->m_outputs)
                    results.prepend(JournalOutputKindText(output.m_kind) + ": " + output.m_result);
        }
        return results;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_out.IsOpen());
        // A program folder of the test's own, so its Received/ is no other test's.
        QDir(m_dir.path()).mkpath("program/Received");
        m_program = m_dir.filePath("program/alvetra");
        QVERIFY(QFile::copy(qEnvironmentVariable("ALVETRA_PROGRAM_DIR") + "/alvetra", m_program));
        FilterSettings filter;
        filter.m_handling = "e";
        filter.m_regions = {"2a"};
        filter.m_sources = "l";
        filter.Save();
    }

    void eachFrameOutputAndLineEventGivesItsRowAndAPassedRowSurvivesAKill()
    {
        Pty pty;
        QVERIFY(pty.IsOpen());
        QProcess process;
        QVERIFY(Start(process, pty));
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("line event: line opened []"), 20000);
        QVERIFY(pty.WriteAll(kFiltered + kMalformed + kPassed));
        const QString file = m_dir.filePath("program/Received/12345e2al9.txt");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file), 20000);
        process.kill(); // SIGKILL: no chance to write anything more
        QVERIFY(process.waitForFinished());

        QProcess again;
        QVERIFY(Start(again, pty));
        QTRY_COMPARE_WITH_TIMEOUT(Rows().count("line event: line opened []"), 2, 20000);
        const QStringList rows = Rows();
        QCOMPARE(rows.mid(0, 4),
                 QStringList({"line event: line opened []", "filtered: region [00001e2zl9]",
                              "malformed: Could not find STX delimiter in message. Dicarding "
                              "[00002e2al9]",
                              "passed:  [12345e2al9]"}));
        // Nothing was moved aside: the killed program's file was whole.
        QCOMPARE(QDir(m_dir.path()).entryList({"journal-damaged-*"}), QStringList());

        // A passed message's later results join its row: the output line's once its last byte
        // has left, the printer's with why it printed nothing.
        QVERIFY(pty.WriteAll(kForwarded));
        QTRY_VERIFY_WITH_TIMEOUT(
            (m_out.ReadAvailable(), Outputs("54321e2al9").contains("output line: sent")), 20000);
        QTRY_VERIFY(Outputs("54321e2al9").contains("printer: not printed: no default printer"));
        const QStringList outputs = Outputs("54321e2al9");
        QVERIFY2(outputs.indexOf("output line: queued") >= 0
                     && outputs.indexOf("output line: queued")
                            < outputs.indexOf("output line: sent"),
                 qPrintable(outputs.join(" | ")));

        // The line hangs up inside a message: the message is cut, the line lost.
        QVERIFY(pty.WriteAll("\x01"
                             "77777\x1f"
                             "e2al9\x02Half"));
        // Read by the program before the hang-up, not lost with it.
        QTRY_COMPARE(pty.QueuedAtDevice(), 0);
        // Another device picked for COM2 meanwhile: the loss is of the device the line was
        // opened with.
        SetInputDevice(m_dir.filePath("picked-since"));
        pty.CloseFarEnd();
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("line event: line lost []"), 20000);
        QVERIFY(Rows().contains("cut by a lost line:  [77777e2al9]"));
        QCOMPARE(LineEventDevices("line lost"), QStringList{InLink()});
        SetInputDevice(InLink());
        // Plugged in again under its name: the line is back, after its loss.
        Pty replugged;
        QVERIFY(LinkInput(replugged));
        QTRY_VERIFY_WITH_TIMEOUT(!Rows().filter("line event: line back").isEmpty(), 20000);
        const QStringList afterLoss = Rows().mid(Rows().indexOf("line event: line lost []"));
        QCOMPARE(afterLoss.filter("line event: line back").size(), 1);
        again.kill();
        again.waitForFinished();
    }

    void aLostLineRunsTheTroubleCommandAndAFlappingOneOnceAMinute()
    {
        m_journalName = "flapping.sqlite";
        const QString folder = m_dir.filePath("flapping-runs");
        QVERIFY(SetTroubleCommand(folder));
        auto pty = std::make_unique<Pty>();
        QProcess process;
        QProcessEnvironment lowered;
        // The minute: long enough for two more losses of the line, each found back within the
        // reconnect period.
        lowered.insert("ALVETRA_TEST_TROUBLE_GAP_MS", "20000");
        QVERIFY(Start(process, *pty, lowered));
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("line event: line opened []"), 20000);
        // The device back under its name before the old one goes, so that the line's next try
        // finds the new one.
        int flaps = 0;
        const auto flap = [&] {
            auto next = std::make_unique<Pty>();
            QVERIFY(LinkInput(*next));
            pty->CloseFarEnd();
            ++flaps;
            QTRY_COMPARE_WITH_TIMEOUT(Rows().count("line event: line lost []"), flaps, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(Rows().filter("line event: line back").size(), flaps, 20000);
            pty = std::move(next);
        };
        flap();
        QTRY_COMPARE_WITH_TIMEOUT(Events(Runs(folder)), QStringList({"line-lost", "line-back"}),
                                  20000);
        const TroubleRuns told = Runs(folder);
        QCOMPARE(told[0].value("ALVETRA_LINE"), "2");
        QCOMPARE(told[0].value("ALVETRA_DEVICE"), InLink());
        QCOMPARE(told[0].value("ALVETRA_STATION"), "North Watch 3");
        QVERIFY2(told[0].value("ALVETRA_TEXT").contains("ReadFile()"),
                 qPrintable(told[0].value("ALVETRA_TEXT")));
        QVERIFY2(told[1].value("ALVETRA_TEXT").contains("is back"),
                 qPrintable(told[1].value("ALVETRA_TEXT")));
        // When it was lost, with its offset, the same in both.
        const QDateTime since
            = QDateTime::fromString(told[0].value("ALVETRA_SINCE"), Qt::ISODateWithMs);
        QVERIFY(since.isValid());
        QVERIFY(qAbs(since.secsTo(QDateTime::currentDateTime())) < 60);
        QVERIFY(told[0].value("ALVETRA_SINCE").contains(QRegularExpression("[+-]\\d\\d:\\d\\d$")));
        QCOMPARE(told[1].value("ALVETRA_SINCE"), told[0].value("ALVETRA_SINCE"));
        QTRY_COMPARE(TroubleResults("line lost"), QStringList{"trouble command: exit code 0"});
        QTRY_COMPARE(TroubleResults("line back"), QStringList{"trouble command: exit code 0"});

        // Two more losses within the minute: nothing until it has passed, then one run.
        flap();
        flap();
        QCOMPARE(Runs(folder).size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(Runs(folder).size(), 3, 30000);
        const auto summary = Runs(folder).last();
        QCOMPARE(summary.value("ALVETRA_EVENT"), "line-back");
        QCOMPARE(summary.value("ALVETRA_COUNT"), "2");
        QTest::qWait(1000); // no begin held behind it: the line stayed back
        QCOMPARE(Runs(folder).size(), 3);
        process.kill();
        process.waitForFinished();
    }

    void bytesWithoutAMessageRunTheTroubleCommandOnceUntilOneIsFramed()
    {
        m_journalName = "frames.sqlite";
        const QString folder = m_dir.filePath("frame-runs");
        QVERIFY(SetTroubleCommand(folder));
        Pty pty;
        QProcess process;
        QProcessEnvironment lowered;
        lowered.insert("ALVETRA_TEST_FRAME_SILENCE_MS", "1500");
        QVERIFY(Start(process, pty, lowered));
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("line event: line opened []"), 20000);
        // A line at the wrong speed: bytes all the time, never an SOH.
        QTimer noise;
        noise.callOnTimeout([&] { pty.WriteSome(QByteArray(24, '\xf8')); });
        noise.start(100);
        QTRY_COMPARE_WITH_TIMEOUT(Events(Runs(folder)), QStringList{"no-frames"}, 20000);
        const auto told = Runs(folder).first();
        QVERIFY2(told.value("ALVETRA_TEXT")
                     .contains(QRegularExpression(
                         "^The input line \\(com2\\) brings bytes but no message: "
                         "\\d+ bytes came since it was opened at .*The line's "
                         "speed or the receiver may be wrong\\.$")),
                 qPrintable(told.value("ALVETRA_TEXT")));
        QCOMPARE(told.value("ALVETRA_LINE"), "2");
        // Told once while it goes on.
        QTest::qWait(3000);
        QCOMPARE(Runs(folder).size(), 1);
        noise.stop();
        QVERIFY(pty.WriteAll(kFiltered));
        QTRY_COMPARE_WITH_TIMEOUT(Events(Runs(folder)), QStringList({"no-frames", "frames-again"}),
                                  20000);
        QTRY_VERIFY(!Rows().filter("line event: no message framed").isEmpty());
        QVERIFY(Rows().contains("line event: messages framed again []"));
        QTRY_COMPARE(TroubleResults("no message framed"),
                     QStringList{"trouble command: exit code 0"});
        process.kill();
        process.waitForFinished();
    }

    void theStartAfterAKillSaysSoOnceAndAnotherRunningAlvetraIsNoneOfIt()
    {
        m_journalName = "kill.sqlite";
        const QString folder = m_dir.filePath("kill-runs");
        QVERIFY(SetTroubleCommand(folder));
        Pty pty;
        QProcess process;
        QVERIFY(Start(process, pty));
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("line event: line opened []"), 20000);
        QVERIFY(pty.WriteAll(kPassed));
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("passed:  [12345e2al9]"), 20000);
        process.kill();
        QVERIFY(process.waitForFinished());

        QProcess again;
        QVERIFY(Start(again, pty));
        QTRY_COMPARE_WITH_TIMEOUT(Events(Runs(folder)), QStringList{"unclean-end"}, 20000);
        const auto told = Runs(folder).first();
        QVERIFY2(told.value("ALVETRA_TEXT")
                     .startsWith("Alvetra did not end in order when it "
                                 "last ran"),
                 qPrintable(told.value("ALVETRA_TEXT")));
        QTRY_VERIFY(!Rows().filter("line event: last run did not end in order").isEmpty());
        QTRY_COMPARE(TroubleResults("last run did not end in order"),
                     QStringList{"trouble command: exit code 0"});

        // A second Alvetra of another user on the same journal, while this one runs: no word
        // of an unclean end. Its message's row comes after anything its start would have kept.
        QTemporaryDir otherUser;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, otherUser.path());
        Pty otherLine;
        QProcess other;
        QProcessEnvironment elsewhere;
        elsewhere.insert("XDG_CONFIG_HOME", otherUser.path());
        QVERIFY(Start(other, otherLine, elsewhere));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           qEnvironmentVariable("XDG_CONFIG_HOME"));
        QTRY_COMPARE_WITH_TIMEOUT(Rows().count("line event: line opened []"), 3, 20000);
        QVERIFY(otherLine.WriteAll(kForwarded));
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("passed:  [54321e2al9]"), 20000);
        QCOMPARE(Rows().filter("line event: last run did not end in order").size(), 1);

        // Both end in order: the next start has nothing to say.
        for (QProcess *running : {&other, &again}) {
            ::kill(pid_t(running->processId()), SIGTERM);
            QVERIFY(running->waitForFinished(20000));
        }
        QProcess third;
        QVERIFY(Start(third, pty));
        QTRY_COMPARE_WITH_TIMEOUT(Rows().count("line event: line opened []"), 4, 20000);
        QVERIFY(pty.WriteAll(kFiltered));
        QTRY_VERIFY_WITH_TIMEOUT(Rows().contains("filtered: region [00001e2zl9]"), 20000);
        QCOMPARE(Rows().filter("line event: last run did not end in order").size(), 1);
        QCOMPARE(Runs(folder).size(), 1);
        third.kill();
        third.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(JournalPipelineTest)
#include "tst_journalpipeline.moc"
