#include "AppTest.h"
#include "LogPeers.h"

#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"

#include "journal/Journal.h"

#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

QString Program()
{
    return qEnvironmentVariable("ALVETRA_PROGRAM_DIR") + QStringLiteral("/alvetra");
}

struct Outcome
{
    int exitCode = -1;
    QString errors;
};

// The real program, run to its end with `arguments`, its default printer `printer`.
Outcome RunProgram(const QStringList &arguments, const QString &printer = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!printer.isEmpty())
        environment.insert("PRINTER", printer);
    else
        environment.remove("PRINTER");
    process.setProcessEnvironment(environment);
    process.start(Program(), arguments);
    Outcome outcome;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        outcome.errors = "did not end";
        return outcome;
    }
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    outcome.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}

bool CupsRuns()
{
    return LogPeers::Has("lpadmin")
           && LogPeers::Run("lpstat", {"-r"}).trimmed() == "scheduler is running";
}

} // namespace

class CommandLineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_log;
    QString m_logText;
    QString m_queue;

    QString Path(const QString &name) const { return m_dir.filePath(name); }
    QString QueueOutput() const { return Path("queue/printed.pdf"); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(WriteEmptyFilterFile());

        // A saved log of a few lines in the log's styles.
        CAlvetraDoc document;
        RtfDocument rtf;
        const auto line = [&rtf](const QString &text, int halfPoints, RtfColour colour, bool bold) {
            RtfRun run;
            run.text = text;
            run.format.face = "MS Sans Serif";
            run.format.halfPoints = halfPoints;
            run.format.colour = colour;
            run.format.bold = bold;
            rtf.paragraphs.append(RtfParagraph{{run}});
        };
        line("ZCZC AKB1 headline of the printed log", 30, {0, 0, 255}, true);
        line(QStringView(u"Un caf\u00E9 \u00E0 Z\u00FCrich").toString(), 23, {0, 0, 0}, false);
        line("Error:->Could not initialize the input com port (com7).", 20, {255, 0, 0}, true);
        line("Warning:->Message without ETX", 20, {105, 155, 0}, true);
        CAlvetraDoc::FromRtf(rtf, *document.Document());
        m_logText = document.Document()->toPlainText();
        m_log = Path("command-line.rtf");
        QString error;
        QVERIFY2(document.OnSaveDocument(m_log, &error), qPrintable(error));
    }

    void cleanupTestCase()
    {
        if (!m_queue.isEmpty())
            LogPeers::Run("lpadmin", {"-x", m_queue});
    }

    void aLogThatCannotBeOpenedEndsTheStartWithAMessage()
    {
        const QString missing = Path("no-such-log.rtf");
        QString message;
        DialogAnswers answers({[&message](QWidget *modal) {
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                message = box->text();
            modal->close();
        }});
        CAlvetraApp *app = CAlvetraApp::Instance();
        QVERIFY(!app->InitInstance({"alvetra", missing}));
        QCOMPARE(app->ExitCode(), 1);
        QVERIFY2(message.contains(missing), qPrintable(message));
        QVERIFY(!app->MainFrame());
    }

    void aLogFileOnTheCommandLineBecomesTheLogBeforeThePortsOpen()
    {
        CAlvetraApp *app = CAlvetraApp::Instance();
        QVERIFY(app->InitInstance({"alvetra", m_log}));
        QVERIFY(app->MainFrame() && app->MainFrame()->isVisible());
        // Whatever opening the ports reports comes after the file's lines.
        QVERIFY(app->Document()->Document()->toPlainText().startsWith(m_logText));
        QCOMPARE(app->MainFrame()->windowTitle(), QString("DorvaneAtlas - Alvetra"));
        QVERIFY(app->View()->isReadOnly());
        QCOMPARE(app->Document()->PathName(), m_log);
    }

    void helpListsTheFileAndThePrintSwitches()
    {
        const Outcome outcome = RunProgram({"--help"});
        QCOMPARE(outcome.exitCode, 0);
        QProcess process;
        process.start(Program(), {"--help"});
        QVERIFY(process.waitForFinished(60000));
        const QString help = QString::fromLocal8Bit(process.readAllStandardOutput());
        for (const char *word :
             {"--print", "--print-to", "/p", "/pt", "file", "--export-journal", "--spreadsheet"})
            QVERIFY2(help.contains(word), word);
    }

    void printSwitchesThatCannotPrintSayWhyAndFail_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no-file") << QStringList{"--print"} << "name the RTF log file";
        QTest::newRow("unknown-printer")
            << QStringList{"--print-to", "no-such-printer", "LOG"} << "no-such-printer";
        QTest::newRow("unknown-printer-framework-spelling")
            << QStringList{"/pt", "no-such-printer", "LOG"} << "no-such-printer";
    }

    void printSwitchesThatCannotPrintSayWhyAndFail()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        arguments.replaceInStrings("LOG", m_log);
        const Outcome outcome = RunProgram(arguments);
        QCOMPARE(outcome.exitCode, 1);
        QVERIFY2(outcome.errors.contains(reason), qPrintable(outcome.errors));
    }

    void printSwitchesPrintTheLogWithoutADialog_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("print-on-the-default-printer") << QStringList{"--print", "LOG"};
        QTest::newRow("framework-spelling-p") << QStringList{"/p", "LOG"};
        QTest::newRow("print-to-a-named-printer") << QStringList{"--print-to", "QUEUE", "LOG"};
        QTest::newRow("framework-spelling-pt") << QStringList{"/pt", "QUEUE", "LOG"};
    }

    void printSwitchesPrintTheLogWithoutADialog()
    {
        if (!CupsRuns())
            QSKIP("No CUPS scheduler runs; scripts/test-services.sh starts one");
        if (!LogPeers::Has("pdftotext"))
            QSKIP("pdftotext (poppler-utils) is missing; scripts/setup.sh test installs it");
        if (m_queue.isEmpty()) {
            // A queue of this test's own: the generic PDF printer writing into a file here.
            const QString queue = QString("alvetra-log-%1").arg(QCoreApplication::applicationPid());
            QVERIFY(QDir().mkpath(Path("queue")));
            QFile::setPermissions(Path("queue"), QFileDevice::Permissions(0x7777));
            const QByteArray added = LogPeers::Run(
                "lpadmin", {"-p", queue, "-E", "-v", "file://" + QueueOutput(), "-m",
                            "lsb/usr/cupsfilters/Generic-PDF_Printer-PDF.ppd"});
            if (added.isNull())
                QSKIP("CUPS refused a PDF file queue (FileDevice off, or no generic PDF driver)");
            m_queue = queue;
        }
        QFETCH(QStringList, arguments);
        arguments.replaceInStrings("LOG", m_log);
        arguments.replaceInStrings("QUEUE", m_queue);
        QFile::remove(QueueOutput());

        const Outcome outcome = RunProgram(arguments, m_queue);
        QCOMPARE(outcome.exitCode, 0);
        const auto printed = [this] {
            return LogPeers::Run("lpstat", {"-o", m_queue}).trimmed().isEmpty()
                   && QFileInfo(QueueOutput()).size() > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(printed(), 60000);
        const QString text
            = QString::fromUtf8(LogPeers::Run("pdftotext", {"-enc", "UTF-8", QueueOutput(), "-"}));
        QCOMPARE(LogPeers::Ink(text), LogPeers::Ink(m_logText));
    }

    void theJournalIsExportedWithoutAWindowSystem_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expected"); // the headlines in order, or the reason
        QTest::newRow("every-row") << QStringList{} << 0 << "ten,noon,two,=2+2";
        QTest::newRow("since-inclusive")
            << QStringList{"--since", "2024-05-17T12:00:00Z"} << 0 << "noon,two,=2+2";
        QTest::newRow("for-a-spreadsheet-a-formula-as-text")
            << QStringList{"--spreadsheet", "--since", "2024-05-17T14:00:00Z"} << 0 << "two,'=2+2";
        QTest::newRow("until-exclusive-with-an-offset")
            << QStringList{"--until", "2024-05-17T14:00:00+02:00"} << 0 << "ten";
        QTest::newRow("a-date-is-its-midnight") << QStringList{"--since", "2024-05-18"} << 0 << "";
        QTest::newRow("not-a-time")
            << QStringList{"--since", "yesterday"} << 1 << "yesterday is not an ISO 8601 date";
        QTest::newRow("no-journal")
            << QStringList{"--journal-missing"} << 1 << "there is no journal at";
        QTest::newRow("unwritable-target")
            << QStringList{"--target-in-missing-folder"} << 1 << "cannot be written";
    }

    void theJournalIsExportedWithoutAWindowSystem()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        const QString journalPath = Path("journal/journal.sqlite");
        if (!QFileInfo::exists(journalPath)) {
            Journal journal;
            journal.Start(journalPath, 0);
            QSignalSpy committed(&journal, &Journal::Committed);
            for (const auto &[hour, headline] : {std::pair{10, "ten"}, std::pair{12, "noon"},
                                                 std::pair{14, "two"}, std::pair{16, "=2+2"}}) {
                JournalFrame row;
                row.m_received = QDateTime(QDate(2024, 5, 17), QTime(hour, 0), Qt::UTC);
                row.m_port = 2;
                row.m_header = "12345e2al9";
                row.m_headline = headline;
                QVERIFY(journal.Record(row) != 0);
            }
            QTRY_COMPARE(committed.size(), 4);
        }
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Journal/Path", arguments.removeAll("--journal-missing")
                                           ? Path("none.sqlite")
                                           : journalPath);
        store.sync();
        const QString target = arguments.removeAll("--target-in-missing-folder")
                                   ? Path("missing/out.csv")
                                   : Path("out.csv");
        QFile::remove(target);

        // Decided before any window system is asked for: none is there to answer.
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        process.setProcessEnvironment(environment);
        process.start(Program(), QStringList{"--export-journal", target} + arguments);
        QVERIFY(process.waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
        QCOMPARE(process.exitCode(), exitCode);
        if (exitCode != 0) {
            QVERIFY2(errors.contains(expected), qPrintable(errors));
            return;
        }
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
        QFile csv(target);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QStringList headlines;
        const QList<QByteArray> records = csv.readAll().split('\n');
        for (const QByteArray &record : records.mid(1)) {
            if (!record.isEmpty())
                headlines << QString::fromUtf8(record.trimmed().split(',').value(9));
        }
        QCOMPARE(headlines.join(','), expected);
    }
};

ALVETRA_APP_TEST_MAIN(CommandLineTest)
#include "tst_commandline.moc"
