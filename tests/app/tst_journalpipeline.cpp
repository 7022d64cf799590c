// The journal of the real program, run as a child process on pseudo-terminals: what each frame,
// each output and the line's events leave in it, and that a passed message's row survives a
// SIGKILL taken the moment its file appears.
#include "journal/JournalReader.h"
#include "settings/FilterSettings.h"
#include "tools/Pty.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

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

} // namespace

class JournalPipelineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_program;
    Pty m_out;
    QString Journal() const { return m_dir.filePath("journal.sqlite"); }
    // The input line's name, a link to the pseudo-terminal of the moment, as a by-id name is.
    QString InLink() const { return m_dir.filePath("in-line"); }
    bool LinkInput(const Pty &pty)
    {
        QFile::remove(InLink());
        return QFile::link(pty.DevicePath(), InLink());
    }

    // The program started on `pty` as its input line COM2, forwarding to m_out as COM3 and
    // printing where there is no printer at all.
    bool Start(QProcess &process, const Pty &pty)
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
};

QTEST_GUILESS_MAIN(JournalPipelineTest)
#include "tst_journalpipeline.moc"
