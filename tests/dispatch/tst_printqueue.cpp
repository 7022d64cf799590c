#include "DispatchShell.h"
#include "PdfPages.h"

#include "dispatch/MessageDispatcher.h"

#include <QFile>
#include <QPrinterInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

constexpr char kPdfDriver[] = "/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd";

QString Run(const QString &program, const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(30000);
    if (exitCode != nullptr)
        *exitCode
            = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromLocal8Bit(process.readAll());
}

} // namespace

// Passed messages printed through a real CUPS queue with the generic PDF driver, whose file
// device writes each job into this test's folder. The queue is the test's own and is removed
// at the end; it is made the default only for this process (PRINTER), so the machine's
// printers and their default stay as they were.
class PrintQueueTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_folder{QStringLiteral("/tmp/alvetra-print-XXXXXX")};
    QString m_queue;
    QString m_output;

    // Prints the message and waits until the scheduler has finished the job.
    void Print(EdisMessage &message)
    {
        QFile::remove(m_output);
        MessageDispatcher(&message).Dispatch();
        int exitCode = 0;
        // lpstat -o lists the jobs not yet completed.
        const auto done = [&] {
            const QString pending
                = Run(QStringLiteral("lpstat"), {QStringLiteral("-o"), m_queue}, &exitCode);
            return exitCode == 0 && pending.trimmed().isEmpty() && QFileInfo(m_output).size() > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(done(), 60000);
    }

private slots:
    void initTestCase()
    {
        if (!PdfPages::ToolsPresent())
            QSKIP("pdftotext and pdfinfo (poppler-utils) are missing");
        if (QStandardPaths::findExecutable(QStringLiteral("lpadmin")).isEmpty())
            QSKIP("CUPS is not installed (cups, cups-client); scripts/setup.sh test installs it");
        if (Run(QStringLiteral("lpstat"), {QStringLiteral("-r")}).trimmed()
            != QStringLiteral("scheduler is running"))
            QSKIP("No CUPS scheduler runs; test.sh starts one (scripts/test-services.sh)");
        if (!QFile::exists(QString::fromLatin1(kPdfDriver)))
            QSKIP("The generic PDF driver (cups-filters) is missing");
        if (geteuid() != 0)
            QSKIP("Adding a printer queue needs root");

        QVERIFY(m_folder.isValid());
        m_queue = QStringLiteral("alvetra-test-%1").arg(getpid());
        m_output = m_folder.filePath(QStringLiteral("printed.pdf"));
        int exitCode = 0;
        const QString added = Run(QStringLiteral("lpadmin"),
                                  {QStringLiteral("-p"), m_queue, QStringLiteral("-E"),
                                   QStringLiteral("-v"), QStringLiteral("file://") + m_output,
                                   QStringLiteral("-P"), QString::fromLatin1(kPdfDriver)},
                                  &exitCode);
        if (exitCode != 0 && added.contains(QStringLiteral("File device URIs have been disabled")))
            QSKIP("CUPS refuses file devices: set FileDevice Yes in cups-files.conf "
                  "(scripts/test-services.sh does)");
        QVERIFY2(exitCode == 0, qPrintable(added));
        qputenv("PRINTER", m_queue.toLocal8Bit());
        QCOMPARE(QPrinterInfo::defaultPrinter().printerName(), m_queue);

        Shell().m_programFolder = m_folder.path();
        SetOutputs(false, false, true);
    }

    void cleanupTestCase()
    {
        if (!m_queue.isEmpty())
            Run(QStringLiteral("lpadmin"), {QStringLiteral("-x"), m_queue});
    }

    void aPassedMessageComesOutAsItsFiveLinesOnOnePage()
    {
        EdisMessage message = WorkedExample();
        Print(message);
        if (QTest::currentTestFailed())
            return;

        QCOMPARE(PdfPages::Count(m_output), 1);
        QCOMPARE(PdfPages::Info(m_output, QStringLiteral("Title")), QStringLiteral("Alvetra"));
        QStringList printed;
        for (const QString &line : PdfPages::Text(m_output).split(u'\n')) {
            if (!line.trimmed().isEmpty() && line != QStringLiteral("\f"))
                printed.append(line.trimmed());
        }
        QCOMPARE(printed, (QStringList{"Quake", "===================================",
                                       "[12345e2al9]", "0930", "Body"}));
        QCOMPARE(Shell().m_log, QStringList());
    }

    void aLongMessageRunsOverSeveralPagesWithNoLineLostOrRepeated()
    {
        EdisMessage message = WorkedExample();
        QByteArray body;
        QStringList expected{"Quake", "===================================", "[12345e2al9]",
                             "0930"};
        for (int i = 1; i <= 250; ++i) {
            const QByteArray line = "Report line " + QByteArray::number(i) + " of 250";
            body.append(line).append("\r\n");
            expected.append(QString::fromLatin1(line));
        }
        message.m_body = body;
        Print(message);
        if (QTest::currentTestFailed())
            return;

        QCOMPARE(PdfPages::Count(m_output), 4);
        QStringList printed;
        for (const QString &line : PdfPages::Text(m_output).split(u'\n')) {
            const QString text = line.trimmed();
            if (!text.isEmpty())
                printed.append(text);
        }
        QCOMPARE(printed, expected);
    }
};

QTEST_MAIN(PrintQueueTest)
#include "tst_printqueue.moc"
