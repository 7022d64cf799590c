// The journal shipped to a real PostgreSQL 15 cluster of the test's own: rows written by the
// real journal writer into real SQLite files, shipped over the cluster's Unix socket while the
// server stops, refuses and comes back.
#include "central/CentralDatabase.h"
#include "central/CentralShipper.h"
#include "doors/Doors.h"
#include "journal/Journal.h"
#include "journal/JournalDatabase.h"
#include "tools/PgCluster.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct LogDoors : Doors
{
    void LogError(const QString &text) override { Add(QStringLiteral("Error:->") + text); }
    void LogWarning(const QString &text) override { Add(QStringLiteral("Warning:->") + text); }
    void Add(const QString &line)
    {
        QMutexLocker lock(&m_mutex);
        m_lines.append(line);
    }
    QStringList Lines(const QString &containing)
    {
        QMutexLocker lock(&m_mutex);
        return m_lines.filter(containing);
    }
    QMutex m_mutex;
    QStringList m_lines;
    ScopedDoors m_installed{*this};
};

const QString kPassword = QStringLiteral("s3cret");

JournalFrame Frame(int number, JournalFate fate = JournalFate::Passed)
{
    JournalFrame row;
    row.m_received = QDateTime::currentDateTimeUtc();
    row.m_port = 2;
    row.m_device = QStringLiteral("/dev/ttyS1");
    row.m_fate = fate;
    row.m_header = QByteArray("12345e2al") + QByteArray::number(number);
    row.m_headline = "Quake";
    // A NUL and a quote on the line: the central texts take neither as they are.
    row.m_body = QByteArray("Body '") + QByteArray::number(number) + QByteArray(1, '\0') + "\\";
    row.m_bytes = row.m_header + "\x02" + row.m_body + "\x04";
    row.m_length = row.m_bytes.size();
    return row;
}

} // namespace

class tst_CentralShipper : public QObject
{
    Q_OBJECT

    LogDoors m_log;
    PgCluster m_cluster;
    QTemporaryDir m_dir;
    int m_test = 0;

    CentralSettings Settings() const
    {
        CentralSettings settings;
        settings.m_host = m_cluster.SocketFolder();
        settings.m_port = m_cluster.Port();
        settings.m_database = QStringLiteral("central");
        settings.m_user = QStringLiteral("station");
        settings.m_refusedRetrySeconds = 1;
        return settings;
    }
    QString JournalPath(const QString &name) const
    {
        return m_dir.filePath(QStringLiteral("%1-%2.sqlite").arg(name).arg(m_test));
    }
    qint64 Count(const QString &sql)
    {
        const QStringList rows = m_cluster.Sql(sql, QStringLiteral("central"));
        return rows.isEmpty() ? -1 : rows.first().toLongLong();
    }
    // The central ids of `station`'s frames in the order the server stored them.
    QStringList StoredIds(const QString &station)
    {
        return m_cluster.Sql(QStringLiteral("SELECT id FROM frames WHERE station = '%1'"
                                            " ORDER BY stored, id")
                                 .arg(station),
                             QStringLiteral("central"));
    }
    static QStringList Numbers(int from, int to)
    {
        QStringList numbers;
        for (int i = from; i <= to; ++i)
            numbers << QString::number(i);
        return numbers;
    }
    // Records `count` frames in `journal` and waits until they are committed.
    static bool Record(Journal &journal, int from, int count)
    {
        QSignalSpy committed(&journal, &Journal::Committed);
        for (int i = 0; i < count; ++i)
            if (journal.Record(Frame(from + i)) == 0)
                return false;
        return QTest::qWaitFor([&] { return committed.size() >= count; }, 20000);
    }
    void SetLocal(const QString &path, const QString &sql)
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "local");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(sql));
        }
        QSqlDatabase::removeDatabase("local");
    }

private slots:
    void initTestCase()
    {
        if (!m_cluster.Start())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL cluster: %1").arg(m_cluster.Error())));
        QVERIFY(!QSqlDatabase::drivers().isEmpty());
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
            QSKIP("Qt's PostgreSQL driver (libqt6sql6-psql) is not installed");
        bool ok = false;
        m_cluster.Sql(QStringLiteral("CREATE ROLE station LOGIN PASSWORD '%1'").arg(kPassword),
                      QStringLiteral("postgres"), &ok);
        QVERIFY2(ok, qPrintable(m_cluster.Error()));
        m_cluster.Sql(QStringLiteral("CREATE DATABASE central OWNER station"),
                      QStringLiteral("postgres"), &ok);
        QVERIFY2(ok, qPrintable(m_cluster.Error()));
        qputenv("PGPASSFILE",
                m_cluster.WritePasswordFile(QStringLiteral("station"), kPassword).toLocal8Bit());
    }

    void init() { ++m_test; }

    void everyRowArrivesOnceAndInOrderThroughAServerStoppedMidBurst()
    {
        Journal journal;
        journal.KeepUnshippedRows(CentralShipper::kUnshippedExtraDays);
        journal.Start(JournalPath("burst"), 0);
        CentralShipper shipper;
        connect(&journal, &Journal::RowsCommitted, &shipper, &CentralShipper::Wake);
        QSignalSpy stopped(&shipper, &CentralShipper::ShippingStopped);
        QSignalSpy resumed(&shipper, &CentralShipper::ShippingResumed);
        shipper.Start(Settings(), JournalPath("burst"), "burst", "burst-holder");
        QVERIFY(Record(journal, 1, 300));
        QTRY_COMPARE_WITH_TIMEOUT(Count("SELECT count(*) FROM frames WHERE station = 'burst'"), 300,
                                  30000);

        // Pulled out from under the shipper mid-burst, no orderly end for the connection.
        journal.Record(Frame(301));
        QVERIFY(m_cluster.Stop(true));
        QVERIFY(Record(journal, 302, 2699));
        QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 30000);
        QCOMPARE(shipper.GetState(), CentralShipper::State::Stopped);
        QCOMPARE(m_log.Lines("has stopped").size(), 1);
        QVERIFY(m_cluster.Start());
        QTRY_COMPARE_WITH_TIMEOUT(resumed.size(), 1, 60000);
        QCOMPARE(Count("SELECT count(*) FROM frames WHERE station = 'burst'"), 3000);
        QCOMPARE(StoredIds("burst"), Numbers(1, 3000));
        QCOMPARE(shipper.Waiting(), 0);
        QVERIFY2(m_log.Lines("again;").last().contains(QLatin1String("rows that waited were "
                                                                     "shipped")),
                 qPrintable(m_log.Lines("again;").join('\n')));
        // The texts as the line had them, but the NUL PostgreSQL's text cannot hold; the
        // bytes whole.
        QCOMPARE(m_cluster.Sql("SELECT body, length(bytes) FROM frames WHERE station = 'burst'"
                               " AND id = 7",
                               QStringLiteral("central")),
                 QStringList{
                     QString::fromUtf8("Body '7\xEF\xBF\xBD\\|%1").arg(Frame(7).m_bytes.size())});
    }

    void aMarkSetBackOrARestartWithABacklogShipsEachRowOnce()
    {
        const QString path = JournalPath("restart");
        Journal journal;
        journal.Start(path, 0);
        {
            CentralShipper shipper;
            shipper.Start(Settings(), path, "restart", "restart-holder");
            QVERIFY(Record(journal, 1, 50));
            QTRY_COMPARE_WITH_TIMEOUT(shipper.Shipped(), 50, 30000);
        }
        // Rows while nothing ships, and the local mark set back to the start.
        QVERIFY(Record(journal, 51, 70));
        SetLocal(path, "UPDATE shipping SET frames = 0, outputs = 0");
        CentralShipper again;
        again.Start(Settings(), path, "restart", "restart-holder");
        QTRY_COMPARE_WITH_TIMEOUT(Count("SELECT count(*) FROM frames WHERE station = 'restart'"),
                                  120, 30000);
        QTRY_COMPARE(again.GetState(), CentralShipper::State::UpToDate);
        // It went on after the central database's last row, not after the local mark.
        QCOMPARE(again.Shipped(), 70);
        QCOMPARE(StoredIds("restart"), Numbers(1, 120));
    }

    void twoStationsShipAtOnceAndASharedFileHasOneShipper()
    {
        Journal first;
        Journal second;
        first.Start(JournalPath("first"), 0);
        second.Start(JournalPath("second"), 0);
        CentralShipper one;
        CentralShipper two;
        // Another Alvetra on the first station's file: it leaves the shipping to the first.
        CentralShipper sharing;
        one.Start(Settings(), JournalPath("first"), "first", "first-holder");
        QTRY_COMPARE_WITH_TIMEOUT(one.GetState(), CentralShipper::State::UpToDate, 30000);
        sharing.Start(Settings(), JournalPath("first"), "first", "sharing-holder");
        two.Start(Settings(), JournalPath("second"), "second", "second-holder");
        for (int i = 0; i < 10; ++i) {
            QVERIFY(Record(first, i * 40 + 1, 40));
            QVERIFY(Record(second, i * 40 + 1, 40));
        }
        QTRY_COMPARE_WITH_TIMEOUT(Count("SELECT count(*) FROM frames WHERE station = 'first'"), 400,
                                  30000);
        QTRY_COMPARE_WITH_TIMEOUT(Count("SELECT count(*) FROM frames WHERE station = 'second'"),
                                  400, 30000);
        QCOMPARE(StoredIds("first"), Numbers(1, 400));
        QCOMPARE(StoredIds("second"), Numbers(1, 400));
        QCOMPARE(sharing.GetState(), CentralShipper::State::ShippedElsewhere);
        QCOMPARE(sharing.Shipped(), 0);
    }

    void aWrongPasswordIsOneLineAndShippingFollowsOnceItIsRight()
    {
        bool ok = false;
        m_cluster.Sql("ALTER ROLE station PASSWORD 'changed'", "postgres", &ok);
        QVERIFY(ok);
        const auto restore = qScopeGuard([&] {
            m_cluster.Sql(QStringLiteral("ALTER ROLE station PASSWORD '%1'").arg(kPassword));
        });
        const QString path = JournalPath("refused");
        Journal journal;
        journal.Start(path, 0);
        CentralShipper shipper;
        QSignalSpy stopped(&shipper, &CentralShipper::ShippingStopped);
        shipper.Start(Settings(), path, "refused", "refused-holder");
        QVERIFY(Record(journal, 1, 20));
        QTRY_COMPARE_WITH_TIMEOUT(shipper.GetState(), CentralShipper::State::Refused, 30000);
        // Tried again each second here: still one line.
        QTest::qWait(2500);
        const QStringList refusals = m_log.Lines("refuses this station");
        QCOMPARE(refusals.size(), 1);
        QVERIFY2(refusals.first().startsWith("Error:->")
                     && refusals.first().contains("password authentication failed"),
                 qPrintable(refusals.first()));
        QCOMPARE(stopped.size(), 1);
        QCOMPARE(shipper.Waiting(), -1);

        m_cluster.Sql(QStringLiteral("ALTER ROLE station PASSWORD '%1'").arg(kPassword));
        QTRY_COMPARE_WITH_TIMEOUT(Count("SELECT count(*) FROM frames WHERE station = 'refused'"),
                                  20, 30000);
        QTRY_COMPARE(shipper.GetState(), CentralShipper::State::UpToDate);
    }

    void rowsOfAJournalMovedAsideAsDamagedAreNotShippedAndOneLineSaysHowMany()
    {
        const QString path = JournalPath("damaged");
        CentralShipper shipper;
        shipper.Start(Settings(), path, "damaged", "damaged-holder");
        {
            Journal journal;
            journal.Start(path, 0);
            QVERIFY(Record(journal, 1, 10));
            QTRY_COMPARE_WITH_TIMEOUT(shipper.Shipped(), 10, 30000);
            QVERIFY(m_cluster.Stop(true));
            QVERIFY(Record(journal, 11, 4));
        }
        // The writer found damage: the next start moves the file aside and begins anew.
        MarkJournalDamaged(path);
        Journal fresh;
        fresh.Start(path, 0);
        QVERIFY(Record(fresh, 1, 3));
        QTRY_COMPARE_WITH_TIMEOUT(m_log.Lines("moved aside as damaged").size(), 1, 30000);
        QVERIFY2(m_log.Lines("moved aside as damaged")
                     .first()
                     .startsWith("Warning:->4 rows of the journal"),
                 qPrintable(m_log.Lines("moved aside as damaged").first()));
        QVERIFY(m_cluster.Start());
        // The new file's rows under its own identity; the old one's ten, none of the four.
        QTRY_COMPARE_WITH_TIMEOUT(Count("SELECT count(*) FROM frames WHERE station = 'damaged'"),
                                  13, 60000);
        QCOMPARE(Count("SELECT count(DISTINCT journal) FROM frames WHERE station = 'damaged'"), 2);
    }

    void theEndNeverWaitsForAServerThatSaysNothing()
    {
        // A port that takes connections and never answers: libpq waits for the server's first
        // word until its connect timeout.
        const int mute = socket(AF_INET, SOCK_STREAM, 0);
        const auto closeMute = qScopeGuard([mute] { close(mute); });
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        QVERIFY(bind(mute, reinterpret_cast<sockaddr *>(&address), size) == 0);
        QVERIFY(listen(mute, 4) == 0);
        QVERIFY(getsockname(mute, reinterpret_cast<sockaddr *>(&address), &size) == 0);
        CentralSettings settings = Settings();
        settings.m_host = QStringLiteral("127.0.0.1");
        settings.m_port = ntohs(address.sin_port);
        const QString path = JournalPath("mute");
        Journal journal;
        journal.Start(path, 0);
        QVERIFY(Record(journal, 1, 3));
        QElapsedTimer ending;
        {
            CentralShipper shipper;
            shipper.Start(settings, path, "mute", "mute-holder");
            // The shipper's connection waits in the port's queue.
            QTRY_VERIFY_WITH_TIMEOUT(([mute] {
                                         pollfd waiting{mute, POLLIN, 0};
                                         return poll(&waiting, 1, 0) == 1;
                                     }()),
                                     20000);
            ending.start();
        }
        QVERIFY2(ending.elapsed() < kCentralConnectTimeoutSeconds * 1000 / 2,
                 qPrintable(QString::number(ending.elapsed())));
    }

    void anOutputResultThatCameLaterReachesTheCentralRow()
    {
        const QString path = JournalPath("late");
        Journal journal;
        journal.Start(path, 0);
        CentralShipper shipper;
        connect(&journal, &Journal::RowsCommitted, &shipper, &CentralShipper::Wake);
        shipper.Start(Settings(), path, "late", "late-holder");
        QSignalSpy committed(&journal, &Journal::Committed);
        const quint64 ticket = journal.Record(Frame(1));
        journal.RecordOutput(
            {ticket, JournalOutputKind::Printer, QDateTime::currentDateTimeUtc(), true, "queued"});
        QTRY_COMPARE_WITH_TIMEOUT(Count("SELECT count(*) FROM outputs o JOIN frames f ON"
                                        " f.journal = o.journal AND f.id = o.frame"
                                        " WHERE f.station = 'late'"),
                                  1, 30000);
        // Later frames, then the print's end.
        QVERIFY(Record(journal, 2, 5));
        journal.RecordOutput({ticket, JournalOutputKind::Printer, QDateTime::currentDateTimeUtc(),
                              false, "not printed: jammed"});
        QTRY_COMPARE_WITH_TIMEOUT(
            m_cluster.Sql("SELECT f.header, o.ok, o.result FROM outputs o JOIN frames f ON"
                          " f.journal = o.journal AND f.id = o.frame WHERE f.station = 'late'"
                          " ORDER BY o.id",
                          QStringLiteral("central")),
            QStringList({"12345e2al1|t|queued", "12345e2al1|f|not printed: jammed"}), 30000);
    }

    // The usual case: the message waits, its frame is shipped, and an operator answers while
    // the server is away; the answer reaches the central row once, also after a restart.
    void anAcknowledgementGivenAfterItsFrameWasShippedReachesTheCentralRowOnce()
    {
        // A database the version before made, with the rows of the tests above: brought up to
        // date at the first connection.
        bool ok = false;
        m_cluster.Sql(
            "DROP TABLE IF EXISTS acknowledgements; UPDATE alvetra_schema SET version = 1",
            QStringLiteral("central"), &ok);
        QVERIFY2(ok, qPrintable(m_cluster.Error()));
        const QString path = JournalPath("answered");
        Journal journal;
        journal.Start(path, 0);
        const QString acknowledgements
            = QStringLiteral("SELECT count(*) FROM acknowledgements a JOIN journals j ON"
                             " j.journal = a.journal WHERE j.station = 'answered'");
        {
            CentralShipper shipper;
            connect(&journal, &Journal::RowsCommitted, &shipper, &CentralShipper::Wake);
            QSignalSpy stopped(&shipper, &CentralShipper::ShippingStopped);
            QSignalSpy resumed(&shipper, &CentralShipper::ShippingResumed);
            shipper.Start(Settings(), path, "answered", "answered-holder");
            JournalFrame waits = Frame(1);
            waits.m_awaitsAcknowledgement = true;
            const quint64 ticket = journal.Record(waits);
            QVERIFY(Record(journal, 2, 2));
            QTRY_COMPARE_WITH_TIMEOUT(shipper.Shipped(), 4, 30000);
            QCOMPARE(Count(acknowledgements), 1);

            QVERIFY(m_cluster.Stop(true));
            const QDateTime at = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 890), Qt::UTC);
            journal.RecordAcknowledgement({ticket, 0, at, "operator", AcknowledgedFrom::History});
            // Given twice: the first stands, and only it is shipped.
            journal.RecordAcknowledgement(
                {ticket, 0, at.addSecs(60), "other", AcknowledgedFrom::Tray});
            QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 30000);
            QVERIFY(m_cluster.Start());
            QTRY_COMPARE_WITH_TIMEOUT(resumed.size(), 1, 60000);
            QCOMPARE(m_cluster.Sql(
                         "SELECT a.frame, a.at IS NULL, (extract(epoch FROM a.at) * 1000)::bigint,"
                         " a.username, a.place FROM acknowledgements a JOIN journals j"
                         " ON j.journal = a.journal WHERE j.station = 'answered'"
                         " ORDER BY a.id",
                         QStringLiteral("central")),
                     QStringList({"1|t|||", QStringLiteral("1|f|%1|operator|%2")
                                                .arg(at.toMSecsSinceEpoch())
                                                .arg(int(AcknowledgedFrom::History))}));
            QCOMPARE(shipper.Waiting(), 0);
        }
        // Started again on the same file, with the local mark set back: nothing is sent twice.
        SetLocal(path, "UPDATE shipping SET frames = 0, outputs = 0");
        CentralShipper again;
        again.Start(Settings(), path, "answered", "answered-holder");
        QTRY_COMPARE_WITH_TIMEOUT(again.GetState(), CentralShipper::State::UpToDate, 30000);
        QCOMPARE(again.Shipped(), 0);
        QCOMPARE(Count(acknowledgements), 2);
        QCOMPARE(Count("SELECT max(version) FROM alvetra_schema"), qint64(kCentralSchemaVersion));
    }
};

QTEST_GUILESS_MAIN(tst_CentralShipper)
#include "tst_centralshipper.moc"
