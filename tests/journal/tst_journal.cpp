#include "doors/Doors.h"
#include "journal/Journal.h"
#include "journal/JournalDatabase.h"
#include "journal/JournalReader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// The log's lines, from whichever thread wrote them.
struct LogDoors : Doors
{
    void LogError(const QString &text) override { Add(QStringLiteral("Error:->") + text); }
    void LogWarning(const QString &text) override { Add(QStringLiteral("Warning:->") + text); }
    void Add(const QString &line)
    {
        QMutexLocker lock(&m_mutex);
        m_lines.append(line);
    }
    QStringList Lines()
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    QMutex m_mutex;
    QStringList m_lines;
    ScopedDoors m_installed{*this};
};

const QDateTime kNoon = QDateTime(QDate(2024, 5, 17), QTime(12, 0), Qt::UTC);

JournalFrame Frame(JournalFate fate, const QByteArray &header, const QString &detail = {})
{
    JournalFrame row;
    row.m_received = kNoon;
    row.m_port = 2;
    row.m_device = QStringLiteral("/dev/ttyS1");
    row.m_fate = fate;
    row.m_detail = detail;
    row.m_bytes = "12345\x1F" + header.mid(5) + "\x02Quake\r01234Body\x03\x04";
    row.m_length = row.m_bytes.size();
    row.m_header = header;
    row.m_handling = header.mid(5, 1);
    row.m_region = header.mid(6, 2);
    row.m_source = header.mid(8, 1);
    return row;
}

} // namespace

class tst_Journal : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString Path() const { return m_dir.filePath(QStringLiteral("Journal/journal.sqlite")); }

    // Records `rows` in a fresh journal and waits until they are all on disk.
    bool RecordAll(Journal &journal, const std::vector<JournalFrame> &rows)
    {
        QSignalSpy committed(&journal, &Journal::RowsCommitted);
        for (const JournalFrame &row : rows)
            if (journal.Record(row) == 0)
                return false;
        JournalReader reader;
        QString error;
        return QTest::qWaitFor([&] {
            return reader.Open(Path(), &error)
                   && reader.Rows({}, nullptr, 1000).size() >= rows.size();
        });
    }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void eachRowKeepsItsFateAndFields_data()
    {
        QTest::addColumn<JournalFrame>("row");
        QTest::addColumn<QString>("fate");
        QTest::newRow("passed") << Frame(JournalFate::Passed, "12345e2al9") << "passed";
        QTest::newRow("filtered-by-region")
            << Frame(JournalFate::Filtered, "12345e2zz9", QStringLiteral("region")) << "filtered";
        QTest::newRow("malformed-with-warning")
            << Frame(JournalFate::Malformed, "12345e2al9",
                     QStringLiteral("Could not find ETX delimiter in message. Dicarding"))
            << "malformed";
        QTest::newRow("cut-by-lost-line")
            << Frame(JournalFate::CutByLostLine, "12345e2al9") << "cut by a lost line";
        QTest::newRow("line-lost")
            << JournalLineEventRow(kNoon, 2, QStringLiteral("/dev/ttyS1"), JournalLineEvent::Lost)
            << "line event";
        QTest::newRow("line-back")
            << JournalLineEventRow(kNoon, 2, QStringLiteral("/dev/ttyS1"), JournalLineEvent::Back)
            << "line event";
        JournalFrame latin = Frame(JournalFate::Passed, "12345e2al9");
        latin.m_headline = "Stra\xDF"
                           "e \x80 5";
        QTest::newRow("headline-in-windows-1252") << latin << "passed";
    }

    void eachRowKeepsItsFateAndFields()
    {
        QFETCH(JournalFrame, row);
        QFETCH(QString, fate);
        LogDoors log;
        {
            Journal journal;
            journal.Start(Path(), 0);
            QSignalSpy committed(&journal, &Journal::Committed);
            const quint64 ticket = journal.Record(row);
            QVERIFY(ticket != 0);
            if (row.m_fate == JournalFate::Passed) {
                QVERIFY(committed.wait());
                QCOMPARE(committed.at(0).at(0).toULongLong(), ticket);
                journal.RecordOutput({ticket, JournalOutputKind::File, kNoon.addMSecs(5), true,
                                      QStringLiteral("/opt/alvetra/Received/12345e2al9.txt")});
            }
        } // the writer writes what waits before it ends

        JournalReader reader;
        QString error;
        QVERIFY2(reader.Open(Path(), &error), qPrintable(error));
        const auto rows = reader.Rows({}, nullptr, 10);
        QCOMPARE(rows.size(), size_t(1));
        const auto entry = reader.Entry(rows[0].m_id);
        QVERIFY(entry);
        QCOMPARE(JournalFateText(entry->m_row.m_fate), fate);
        QCOMPARE(entry->m_row.m_received, kNoon);
        QCOMPARE(entry->m_row.m_port, 2);
        QCOMPARE(entry->m_row.m_detail, row.m_detail);
        QCOMPARE(entry->m_bytes, row.m_bytes);
        QCOMPARE(entry->m_length, row.m_length);
        QCOMPARE(entry->m_header, row.m_header);
        QCOMPARE(entry->m_headline, row.m_headline);
        QCOMPARE(entry->m_row.m_region.toLatin1(), row.m_region);
        QCOMPARE(entry->m_outputs.size(), size_t(row.m_fate == JournalFate::Passed ? 1 : 0));
        QVERIFY(log.Lines().isEmpty());
    }

    void theFileAndItsCompanionsAreGroupWritableWhateverTheUmask()
    {
        const mode_t old = ::umask(077);
        {
            Journal journal;
            journal.Start(Path(), 0);
            QVERIFY(RecordAll(journal, {Frame(JournalFate::Passed, "12345e2al9")}));
            QFileInfo wal(Path() + QStringLiteral("-wal"));
            QVERIFY(wal.exists());
            QVERIFY(wal.permissions() & QFileDevice::WriteGroup);
        }
        ::umask(old);
        QVERIFY(QFileInfo(Path()).permissions() & QFileDevice::WriteGroup);
    }

    void aDamagedFileIsMovedAsideAndANewJournalBegun()
    {
        QDir().mkpath(QFileInfo(Path()).path());
        const QByteArray garbage(8192, 'x');
        for (const char *end : {"", "-wal"}) {
            QFile file(Path() + QLatin1String(end));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        }
        LogDoors log;
        {
            Journal journal;
            journal.Start(Path(), 0);
            QVERIFY(RecordAll(journal, {Frame(JournalFate::Passed, "12345e2al9")}));
        }
        QCOMPARE(log.Lines().size(), 1);
        QVERIFY(log.Lines()[0].startsWith(QStringLiteral("Error:->The journal")));
        const QStringList aside
            = QDir(QFileInfo(Path()).path()).entryList({QStringLiteral("journal-damaged-*")});
        QCOMPARE(aside.size(), 2); // the file and its -wal, nothing deleted
        QFile moved(QFileInfo(Path()).dir().filePath(aside[0]));
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), garbage);
        QVERIFY(log.Lines()[0].contains(aside[0]));
    }

    void aJournalThatCannotBeOpenedGivesOneErrorLineAndKeepsNothing()
    {
        // A file where the folder should be: no journal can be made below it.
        QFile blocker(m_dir.filePath(QStringLiteral("Journal")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LogDoors log;
        Journal journal;
        journal.Start(Path(), 0);
        QTRY_VERIFY(!journal.IsWorking());
        QCOMPARE(journal.Record(Frame(JournalFate::Passed, "12345e2al9")), quint64(0));
        QCOMPARE(log.Lines().size(), 1);
        QVERIFY(log.Lines()[0].contains(QStringLiteral("goes on without it")));
    }

    void rowsOlderThanTheKeptDaysArePrunedAtStart()
    {
        {
            Journal journal;
            journal.Start(Path(), 0);
            JournalFrame old = Frame(JournalFate::Passed, "12345e2al9");
            old.m_received = QDateTime::currentDateTimeUtc().addDays(-11);
            JournalFrame recent = Frame(JournalFate::Passed, "12345e2al8");
            recent.m_received = QDateTime::currentDateTimeUtc().addDays(-9);
            QVERIFY(RecordAll(journal, {old, recent}));
        }
        Journal journal;
        journal.Start(Path(), 10);
        JournalReader reader;
        QString error;
        QVERIFY(reader.Open(Path(), &error));
        QTRY_COMPARE(reader.Rows({}, nullptr, 10).size(), size_t(1));
        QCOMPARE(reader.Rows({}, nullptr, 10)[0].m_header, QStringLiteral("12345e2al8"));
    }

    void theFilterSelectsRows_data()
    {
        QTest::addColumn<JournalFilter>("filter");
        QTest::addColumn<QStringList>("headers"); // newest first
        QTest::newRow("all") << JournalFilter{} << QStringList{"", "12345e2zz9", "12345e2al9"};
        QTest::newRow("passed") << JournalFilter{JournalFilter::Fates::Passed, {}, {}, {}}
                                << QStringList{"12345e2al9"};
        QTest::newRow("line-events")
            << JournalFilter{JournalFilter::Fates::LineEvents, {}, {}, {}} << QStringList{""};
        QTest::newRow("since-inclusive")
            << JournalFilter{{}, kNoon.addSecs(60), {}, {}} << QStringList{"", "12345e2zz9"};
        QTest::newRow("until-exclusive")
            << JournalFilter{{}, {}, kNoon.addSecs(60), {}} << QStringList{"12345e2al9"};
        QTest::newRow("text-in-the-body-any-case")
            << JournalFilter{{}, {}, {}, QStringLiteral("TREMOR")} << QStringList{"12345e2al9"};
        QTest::newRow("text-with-a-quote")
            << JournalFilter{{}, {}, {}, QStringLiteral("\"big\"")} << QStringList{"12345e2al9"};
        QTest::newRow("text-in-several-rows-page-by-page")
            << JournalFilter{{}, {}, {}, QStringLiteral("12345e2")}
            << QStringList{"12345e2zz9", "12345e2al9"};
        QTest::newRow("text-and-fate")
            << JournalFilter{JournalFilter::Fates::Filtered, {}, {}, QStringLiteral("12345e2")}
            << QStringList{"12345e2zz9"};
        QTest::newRow("text-of-two-characters")
            << JournalFilter{{}, {}, {}, QStringLiteral("zz")} << QStringList{"12345e2zz9"};
        QTest::newRow("text-with-a-like-wildcard")
            << JournalFilter{{}, {}, {}, QStringLiteral("%")} << QStringList{};
        // The text index folds every letter's case; the rows it has yet to take must match alike.
        QTest::newRow("text-beyond-ascii-any-case")
            << JournalFilter{{}, {}, {}, QString::fromUtf8("\xC3\x84RGER")}
            << QStringList{"12345e2al9"};
        QTest::newRow("text-beyond-ascii-of-two-characters")
            << JournalFilter{{}, {}, {}, QString::fromUtf8("\xC3\x84R")}
            << QStringList{"12345e2al9"};
        QTest::newRow("text-with-a-glob-wildcard-beyond-ascii")
            << JournalFilter{{}, {}, {}, QString::fromUtf8("\xC3\x84*")} << QStringList{};
    }

    void theFilterSelectsRows()
    {
        QFETCH(JournalFilter, filter);
        QFETCH(QStringList, headers);
        {
            Journal journal;
            journal.Start(Path(), 0);
            JournalFrame passed = Frame(JournalFate::Passed, "12345e2al9");
            passed.m_headline = "A \"big\" one";
            passed.m_body = "Tremor felt, \xE4rger";
            JournalFrame filtered
                = Frame(JournalFate::Filtered, "12345e2zz9", QStringLiteral("region"));
            filtered.m_received = kNoon.addSecs(60);
            JournalFrame event
                = JournalLineEventRow(kNoon.addSecs(120), 2, QString(), JournalLineEvent::Lost);
            QVERIFY(RecordAll(journal, {passed, filtered, event}));
        }

        // The writer indexes the texts when it is idle: a search finds rows not yet indexed,
        // partly indexed or all indexed alike.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "index");
        const auto close = qScopeGuard([&db] {
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase("index");
        });
        db.setDatabaseName(Path());
        QVERIFY(db.open());
        QSqlQuery unindex(db);
        QVERIFY(unindex.exec("INSERT INTO frames_text(frames_text) VALUES('delete-all')"));
        QVERIFY(unindex.exec("UPDATE text_indexed SET upto = 0"));
        for (const int indexed : {0, 1, 3}) {
            QString error;
            // Looked at before indexing, so that none is indexed the first time round.
            while ((unindex.exec("SELECT upto FROM text_indexed"), unindex.next())
                   && unindex.value(0).toInt() < indexed && IndexJournalText(db, 1, &error) > 0) {
            }
            QVERIFY2(error.isEmpty(), qPrintable(error));
            JournalReader reader;
            QVERIFY(reader.Open(Path(), &error));
            QStringList found;
            // One row a page: each page starts where the last ended.
            for (auto page = reader.Rows(filter, nullptr, 1); !page.empty();
                 page = reader.Rows(filter, &page.back(), 1))
                found << page[0].m_header;
            QVERIFY2(found == headers, qPrintable(QString::number(indexed)));
        }
    }

    void theExportIsCsvThatPythonReadsBackFieldForField_data()
    {
        QTest::addColumn<CsvFor>("csvFor");
        QTest::addColumn<QString>("formula"); // the formula headline as read back
        QTest::newRow("for-scripts-as-it-is")
            << CsvFor::Scripts << QStringLiteral("=HYPERLINK(\"http://x.example\",\"Open\")");
        QTest::newRow("for-a-spreadsheet-as-text")
            << CsvFor::Spreadsheets << QStringLiteral("'=HYPERLINK(\"http://x.example\",\"Open\")");
    }

    void theExportIsCsvThatPythonReadsBackFieldForField()
    {
        QFETCH(CsvFor, csvFor);
        QFETCH(QString, formula);
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty())
            QSKIP("python3 is not installed");
        Journal journal;
        journal.Start(Path(), 0);
        JournalFrame row = Frame(JournalFate::Passed, "12345e2al9");
        row.m_headline = "Quake, \"strong\"\r\nsecond line \xE9";
        // A NUL from the line would end the text for some readers and be refused by others.
        JournalFrame headline = Frame(JournalFate::Passed, "12345e2al9");
        headline.m_headline = QByteArray("=HYPERLINK(\"http://x.example\",\0\"Open\")", 38);
        QVERIFY(RecordAll(journal, {row,
                                    Frame(JournalFate::Malformed, "12345e2al9",
                                          QStringLiteral("Message too short, really")),
                                    headline}));

        JournalReader reader;
        QString error;
        QVERIFY(reader.Open(Path(), &error));
        QFile csv(m_dir.filePath(QStringLiteral("out.csv")));
        QVERIFY(csv.open(QIODevice::WriteOnly));
        QVERIFY2(reader.ExportCsv({}, csv, csvFor, &error), qPrintable(error));
        csv.close();

        QProcess read;
        read.start(python, {QStringLiteral("-c"),
                            QStringLiteral("import csv, json, sys\n"
                                           "with open(sys.argv[1], newline='', encoding='utf-8') "
                                           "as f: print(json.dumps(list(csv.reader(f))))"),
                            csv.fileName()});
        QVERIFY(read.waitForFinished());
        QCOMPARE(read.exitCode(), 0);
        const QJsonArray records = QJsonDocument::fromJson(read.readAllStandardOutput()).array();
        QCOMPARE(records.size(), 4);
        const QJsonArray first = records[1].toArray();
        QCOMPARE(first.size(), 10);
        QCOMPARE(first[0].toString(), JournalLocalTimeText(kNoon));
        QVERIFY(QDateTime::fromString(first[0].toString(), Qt::ISODateWithMs) == kNoon);
        QCOMPARE(first[1].toString(), QStringLiteral("COM2"));
        QCOMPARE(first[3].toString(), QStringLiteral("passed"));
        QCOMPARE(first[9].toString(), QString::fromUtf8("Quake, \"strong\"\r\nsecond line é"));
        QCOMPARE(records[2].toArray()[4].toString(), QStringLiteral("Message too short, really"));
        QCOMPARE(records[3].toArray()[9].toString(), formula);
    }
};

QTEST_GUILESS_MAIN(tst_Journal)
#include "tst_journal.moc"
