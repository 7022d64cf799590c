#include "FileSizeLimit.h"
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
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <optional>

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

    // One value the file holds now, read on a connection of the test's own.
    QVariant Scalar(const QString &sql)
    {
        QVariant value;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "scalar");
            db.setDatabaseName(Path());
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
            QSqlQuery query(db);
            if (db.open() && query.exec(sql) && query.next())
                value = query.value(0);
        }
        QSqlDatabase::removeDatabase("scalar");
        return value;
    }
    bool AllIndexed()
    {
        return Scalar("SELECT (SELECT upto FROM text_indexed) = (SELECT MAX(id) FROM frames)")
                   .toInt()
               == 1;
    }

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

    void aJournalThatCannotBeOpenedGivesOneErrorLineAndHoldsTheRowsForTheNextTry()
    {
        // A file where the folder should be: no journal can be made below it.
        QFile blocker(m_dir.filePath(QStringLiteral("Journal")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LogDoors log;
        Journal journal;
        journal.Start(Path(), 0);
        QTRY_VERIFY(!journal.IsWorking());
        QVERIFY(journal.Record(Frame(JournalFate::Passed, "12345e2al9")) != 0);
        // Nothing waits for a row that cannot be written.
        bool ran = false;
        journal.AfterCommit(1, [&ran] { ran = true; });
        QVERIFY(ran);
        QCOMPARE(log.Lines().size(), 1);
        QVERIFY(log.Lines()[0].contains(QStringLiteral("goes on without it")));
    }

    void aJournalStartedOnAFullDiskBeginsOnceThereIsRoom()
    {
        LogDoors log;
        Journal journal;
        {
            FileSizeLimit full(0);
            QVERIFY(full.IsOk());
            journal.Start(Path(), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!journal.IsWorking(), 20000);
            QVERIFY(journal.Record(Frame(JournalFate::Passed, "12345e2al9")) != 0);
        }
        // Seconds after, not the minute a journal that cannot be made at all waits.
        QTRY_COMPARE_WITH_TIMEOUT(Scalar("SELECT COUNT(*) FROM frames").toInt(), 1, 20000);
        QCOMPARE(log.Lines().filter("is written again").size(), 1);
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
            // Days are counted back from the newest row, when it is earlier than now.
            JournalFrame today = Frame(JournalFate::Passed, "12345e2al7");
            today.m_received = QDateTime::currentDateTimeUtc();
            QVERIFY(RecordAll(journal, {old, recent, today}));
        }
        Journal journal;
        journal.Start(Path(), 10);
        JournalReader reader;
        QString error;
        QVERIFY(reader.Open(Path(), &error));
        QTRY_COMPARE(reader.Rows({}, nullptr, 10).size(), size_t(2));
        QCOMPARE(reader.Rows({}, nullptr, 10)[1].m_header, QStringLiteral("12345e2al8"));
    }

    void rowsNotShippedYetWaitForTheCentralJournalThenGoWithOneLine()
    {
        LogDoors log;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        {
            Journal journal;
            journal.Start(Path(), 0);
            std::vector<JournalFrame> rows;
            // Shipped and old; not shipped and old; not shipped and past the days it waits.
            for (const int age : {50, 35, 60, 12, 0}) {
                rows.push_back(Frame(JournalFate::Passed, "12345e2al9"));
                rows.back().m_received = now.addDays(-age);
            }
            QVERIFY(RecordAll(journal, rows));
        }
        QVERIFY(!Scalar("SELECT journal FROM identity").toString().isEmpty());
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "mark");
            db.setDatabaseName(Path());
            QVERIFY(db.open());
            QVERIFY(QSqlQuery(db).exec("UPDATE shipping SET frames = 1"));
        }
        QSqlDatabase::removeDatabase("mark");
        Journal journal;
        journal.KeepUnshippedRows(30);
        journal.Start(Path(), 10);
        // Row 1 shipped, pruned at 10 days; rows 2 and 4 within 10 + 30 days wait; row 3 is
        // past them too.
        QTRY_COMPARE(Scalar("SELECT group_concat(id) FROM frames").toString(),
                     QStringLiteral("2,4,5"));
        QTRY_COMPARE(log.Lines().size(), 1);
        QVERIFY2(log.Lines().first().startsWith(QStringLiteral("Warning:->1 rows of the journal"))
                     && log.Lines().first().contains("without ever being shipped"),
                 qPrintable(log.Lines().first()));
    }

    void pruningNeverEmptiesTheJournalNorGivesAnIdTwice_data()
    {
        QTest::addColumn<QList<int>>("ages"); // days before now, in the order recorded
        QTest::addColumn<int>("kept");
        QTest::addColumn<int>("keptAfterARowOfToday");
        // Off longer than the days kept: the last days before the stop stay.
        QTest::newRow("after-a-long-stop") << QList<int>{520, 500, 500} << 2 << 1;
        // The clock was set back: the last row is the oldest, and its id is the highest.
        QTest::newRow("last-row-received-earliest") << QList<int>{1, 30} << 2 << 2;
    }

    void pruningNeverEmptiesTheJournalNorGivesAnIdTwice()
    {
        QFETCH(QList<int>, ages);
        QFETCH(int, kept);
        QFETCH(int, keptAfterARowOfToday);
        LogDoors log;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        {
            Journal journal;
            journal.Start(Path(), 0);
            std::vector<JournalFrame> rows;
            for (const int age : ages) {
                rows.push_back(Frame(JournalFate::Passed, "12345e2al9"));
                rows.back().m_received = now.addDays(-age);
            }
            QVERIFY(RecordAll(journal, rows));
            QTRY_VERIFY(AllIndexed());
        }
        const qint64 lastId = ages.size();
        for (int start = 0; start < 2; ++start) {
            Journal journal;
            journal.Start(Path(), 10);
            QTRY_COMPARE(Scalar("SELECT COUNT(*) FROM frames").toInt(),
                         start == 0 ? kept : keptAfterARowOfToday);
            if (start == 0) {
                JournalFrame next = Frame(JournalFate::Passed, "12345e2al8");
                next.m_body = "Aftershock";
                next.m_received = now;
                QVERIFY(journal.Record(next) != 0);
                QTRY_COMPARE(Scalar("SELECT MAX(id) FROM frames").toLongLong(), lastId + 1);
                QTRY_VERIFY(AllIndexed());
            }
        }
        JournalReader reader;
        QString error;
        QVERIFY(reader.Open(Path(), &error));
        const auto found = reader.Rows({{}, {}, {}, QStringLiteral("aftershock")}, nullptr, 10);
        QCOMPARE(found.size(), size_t(1));
        QCOMPARE(found[0].m_id, lastId + 1);
        QCOMPARE(Scalar("PRAGMA integrity_check").toString(), QStringLiteral("ok"));
        QVERIFY2(log.Lines().isEmpty(), qPrintable(log.Lines().join(u'\n')));
    }

    void twoJournalsOnOneFileKeepAndIndexEveryRow()
    {
        LogDoors log;
        constexpr int kBursts = 40;
        constexpr int kRows = 25;
        {
            Journal first;
            Journal second;
            first.Start(Path(), 0);
            second.Start(Path(), 0);
            // Long texts: indexing them takes long enough for the other to commit meanwhile.
            JournalFrame row = Frame(JournalFate::Passed, "12345e2al9");
            for (int word = 0; word < 800; ++word)
                row.m_body += QByteArray::number(word * 7919) + ' ';
            for (int burst = 0; burst < kBursts; ++burst) {
                for (int i = 0; i < kRows; ++i)
                    (burst % 2 ? first : second).Record(row);
                QTest::qWait(20);
            }
            QTRY_COMPARE_WITH_TIMEOUT(Scalar("SELECT COUNT(*) FROM frames").toInt(),
                                      kBursts * kRows, 30000);
            QTRY_VERIFY_WITH_TIMEOUT(AllIndexed(), 30000);
        }
        QVERIFY2(log.Lines().isEmpty(), qPrintable(log.Lines().join(u'\n')));
    }

    // The runs a start finds without their orderly end, once the file has a run of its own.
    int UncleanRunsFoundByAStart()
    {
        Journal journal;
        QSignalSpy unclean(&journal, &Journal::UncleanRunFound);
        journal.Start(Path(), 0);
        // Written after the start's look at the runs, and told after it.
        QSignalSpy committed(&journal, &Journal::RowsCommitted);
        journal.Record(Frame(JournalFate::Filtered, "12345e2zz9"));
        return committed.wait(10000) ? int(unclean.size()) : -1;
    }

    void aRunWithoutItsEndIsToldOnceUnlessItMayStillRun_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("sameBoot");
        QTest::addColumn<bool>("thisProcess");
        QTest::addColumn<bool>("ended");
        QTest::addColumn<int>("told");
        QTest::newRow("killed-on-this-host") << "" << true << false << false << 1;
        QTest::newRow("of-an-earlier-boot") << "" << false << true << false << 1;
        QTest::newRow("still-running-on-this-host") << "" << true << true << false << 0;
        QTest::newRow("on-another-host") << "elsewhere" << true << false << false << 0;
        QTest::newRow("ended-in-order") << "" << true << false << true << 0;
    }

    void aRunWithoutItsEndIsToldOnceUnlessItMayStillRun()
    {
        QFETCH(QString, host);
        QFETCH(bool, sameBoot);
        QFETCH(bool, thisProcess);
        QFETCH(bool, ended);
        QFETCH(int, told);
        LogDoors log;
        // A first run makes the file and ends in order: nothing to tell.
        QCOMPARE(UncleanRunsFoundByAStart(), 0);
        const JournalRunIdentity own = JournalRunIdentity::Own();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "runs");
            db.setDatabaseName(Path());
            QVERIFY(db.open());
            QSqlQuery insert(db);
            insert.prepare("INSERT INTO runs(started, host, boot, pid, pid_started, last_row,"
                           " ended) VALUES (?, ?, ?, ?, ?, ?, ?)");
            insert.addBindValue(JournalStoredTime(kNoon));
            insert.addBindValue(host.isEmpty() ? own.m_host : host);
            insert.addBindValue(sameBoot ? own.m_boot : QStringLiteral("an-earlier-boot"));
            // A process that started after this one cannot have its pid and its start.
            insert.addBindValue(own.m_pid);
            insert.addBindValue(thisProcess ? own.m_pidStarted : own.m_pidStarted + 1);
            insert.addBindValue(JournalStoredTime(kNoon.addSecs(90)));
            insert.addBindValue(ended ? QVariant(JournalStoredTime(kNoon.addSecs(99)))
                                      : QVariant());
            QVERIFY2(insert.exec(), qPrintable(insert.lastError().text()));
        }
        QSqlDatabase::removeDatabase("runs");

        Journal journal;
        QSignalSpy unclean(&journal, &Journal::UncleanRunFound);
        journal.Start(Path(), 0);
        QSignalSpy committed(&journal, &Journal::RowsCommitted);
        journal.Record(Frame(JournalFate::Filtered, "12345e2zz9"));
        QVERIFY(committed.wait(10000));
        QCOMPARE(unclean.size(), told);
        if (told == 1) {
            const auto run = unclean.first().first().value<JournalUncleanRun>();
            QCOMPARE(run.m_started, kNoon);
            QCOMPARE(run.m_lastRow, kNoon.addSecs(90));
        }
        // Told by one start only.
        QCOMPARE(UncleanRunsFoundByAStart(), 0);
        QVERIFY2(log.Lines().isEmpty(), qPrintable(log.Lines().join(u'\n')));
    }

    void aFileThatCannotBeWrittenKeepsTheRowsWaitingUntilItCan_data()
    {
        QTest::addColumn<QString>("fault");
        // A file system of the test's own that fills: SQLITE_FULL, as a station's disk gives.
        QTest::newRow("full-file-system") << "full-file-system";
        // Where no file system can be mounted: writes past a size fail as on a full disk.
        QTest::newRow("file-size-limit") << "file-size-limit";
        // Another Alvetra on the same file, longer than the busy timeout.
        QTest::newRow("write-lock-held-by-another") << "write-lock";
    }

    void aFileThatCannotBeWrittenKeepsTheRowsWaitingUntilItCan()
    {
        QFETCH(QString, fault);
        const QString folder = QFileInfo(Path()).path();
        QDir().mkpath(folder);
        const auto unmount = qScopeGuard([&folder, fault] {
            if (fault == "full-file-system")
                ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
        });
        if (fault == "full-file-system") {
            // In a mount namespace of the test's own, so that the mount is seen by no one else.
            if (::unshare(CLONE_NEWNS) != 0
                || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=64m")
                       != 0)
                QSKIP("no file system of the test's own can be mounted here (needs root)");
        }
        LogDoors log;
        Journal journal;
        journal.Start(Path(), 0);
        QVERIFY(RecordAll(journal, {Frame(JournalFate::Passed, "12345e2al9")}));
        QStringList ran;
        {
            const qint64 size
                = qMax(QFileInfo(Path()).size(), QFileInfo(Path() + QStringLiteral("-wal")).size());
            std::optional<FileSizeLimit> full;
            QFile filler(folder + QStringLiteral("/filler"));
            const auto free = qScopeGuard([&filler] { filler.remove(); });
            QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "holder");
            const auto release = qScopeGuard([&holder] {
                holder.close();
                holder = QSqlDatabase();
                QSqlDatabase::removeDatabase("holder");
            });
            if (fault == "full-file-system") {
                QVERIFY(filler.open(QIODevice::WriteOnly));
                const QByteArray block(64 * 1024, 'f');
                while (filler.write(block) == block.size()) {
                }
                filler.close();
            } else if (fault == "file-size-limit") {
                full.emplace(size + 16384);
                QVERIFY(full->IsOk());
            } else {
                holder.setDatabaseName(Path());
                QVERIFY(holder.open());
                QVERIFY(QSqlQuery(holder).exec("BEGIN IMMEDIATE"));
            }
            JournalFrame big = Frame(JournalFate::Passed, "12345e2al9");
            big.m_body = QByteArray(256 * 1024, 'b');
            journal.AfterCommit(journal.Record(big), [&ran] { ran << "first"; });
            QTRY_VERIFY_WITH_TIMEOUT(!journal.IsWorking(), 20000);
            QTRY_COMPARE(ran, QStringList{"first"});
            // While it is stopped, a passed message's outputs go at once.
            journal.AfterCommit(journal.Record(big), [&ran] { ran << "second"; });
            QCOMPARE(ran, (QStringList{"first", "second"}));
            // Past the bound, frames that did not pass are counted, not kept.
            for (qsizetype i = 0; i < Journal::kMaxWaiting + 3; ++i)
                journal.Record(JournalLineEventRow(kNoon, 2, {}, JournalLineEvent::Lost));
            QCOMPARE(journal.DroppedRows(), 3);
            QCOMPARE(log.Lines().filter("cannot be written").size(), 1);
            if (fault == "write-lock")
                QVERIFY(QSqlQuery(holder).exec("COMMIT"));
        } // freed
        QTRY_VERIFY_WITH_TIMEOUT(!log.Lines().filter("is written again").isEmpty(), 20000);
        QVERIFY2(log.Lines().filter("is written again")[0].contains("; 3 rows could not be kept"),
                 qPrintable(log.Lines().join(u'\n')));
        // Every row kept, and one where the gap is.
        QTRY_COMPARE_WITH_TIMEOUT(Scalar("SELECT COUNT(*) FROM frames").toLongLong(),
                                  3 + Journal::kMaxWaiting + 1, 30000);
        QCOMPARE(Scalar("SELECT detail FROM frames WHERE fate = 3").toString(),
                 QStringLiteral("3 rows from here on were not kept in the journal: too many "
                                "waited to be written"));
        QCOMPARE(log.Lines().filter("caught up").size(), 0);
    }

    void aDamagedPageMetMidRunIsMovedAsideAndTheRowsKeptInANewJournal()
    {
        {
            Journal journal;
            journal.Start(Path(), 0);
            QVERIFY(RecordAll(journal, {Frame(JournalFate::Passed, "12345e2al9")}));
            QTRY_VERIFY(AllIndexed());
        }
        // An index only a new row's insert reads, not the opening of the file.
        const int page
            = Scalar("SELECT rootpage FROM sqlite_schema WHERE name = 'frames_by_fate'").toInt();
        const int pageSize = Scalar("PRAGMA page_size").toInt();
        QVERIFY(page > 1);
        {
            QFile file(Path());
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(qint64(page - 1) * pageSize));
            file.write(QByteArray(pageSize, '\xEE'));
        }
        LogDoors log;
        Journal journal;
        journal.Start(Path(), 0);
        journal.Record(Frame(JournalFate::Passed, "12345e2al8"));
        const auto aside = [this] {
            return QDir(QFileInfo(Path()).path()).entryList({QStringLiteral("journal-damaged-*")});
        };
        QTRY_COMPARE_WITH_TIMEOUT(aside().size(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(Scalar("SELECT header FROM frames").toString(),
                                  QStringLiteral("12345e2al8"), 10000);
        QVERIFY(!log.Lines().filter("was damaged").isEmpty());
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
        // Acknowledged below; the last one still waits.
        row.m_awaitsAcknowledgement = true;
        // A NUL from the line would end the text for some readers and be refused by others.
        JournalFrame headline = Frame(JournalFate::Passed, "12345e2al9");
        headline.m_headline = QByteArray("=HYPERLINK(\"http://x.example\",\0\"Open\")", 38);
        headline.m_awaitsAcknowledgement = true;
        QVERIFY(RecordAll(journal, {row,
                                    Frame(JournalFate::Malformed, "12345e2al9",
                                          QStringLiteral("Message too short, really")),
                                    headline}));
        const QDateTime at = kNoon.addSecs(90);
        journal.RecordAcknowledgement(
            {0, 1, at, QStringLiteral("oper"), AcknowledgedFrom::History});
        QTRY_VERIFY(!Scalar("SELECT at FROM acknowledgements WHERE frame = 1").isNull());

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
        QCOMPARE(first.size(), 13);
        QCOMPARE(first[0].toString(), JournalLocalTimeText(kNoon));
        QVERIFY(QDateTime::fromString(first[0].toString(), Qt::ISODateWithMs) == kNoon);
        QCOMPARE(first[1].toString(), QStringLiteral("COM2"));
        QCOMPARE(first[3].toString(), QStringLiteral("passed"));
        QCOMPARE(first[9].toString(), QString::fromUtf8("Quake, \"strong\"\r\nsecond line é"));
        QCOMPARE(records[2].toArray()[4].toString(), QStringLiteral("Message too short, really"));
        QCOMPARE(records[3].toArray()[9].toString(), formula);
        // Each row's acknowledgement after the columns as they were.
        const auto acknowledgement = [&records](int record) {
            QStringList fields;
            for (int column = 10; column < 13; ++column)
                fields << records[record].toArray()[column].toString();
            return fields;
        };
        QCOMPARE(acknowledgement(1), (QStringList{JournalLocalTimeText(at), QStringLiteral("oper"),
                                                  QStringLiteral("History")}));
        QCOMPARE(acknowledgement(2), (QStringList{QString(), QString(), QString()}));
        QCOMPARE(acknowledgement(3),
                 (QStringList{QStringLiteral("waiting"), QString(), QString()}));

        QBuffer waiting;
        waiting.open(QIODevice::WriteOnly);
        QVERIFY(
            reader.ExportCsv({JournalFilter::Fates::Waiting, {}, {}, {}}, waiting, csvFor, &error));
        QCOMPARE(waiting.data().count("\r\n"), 2);
    }
};

QTEST_GUILESS_MAIN(tst_Journal)
#include "tst_journal.moc"
