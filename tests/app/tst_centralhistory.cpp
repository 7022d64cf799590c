// The central journal read back: the History window's "All stations" and the command line's
// export, on rows two stations shipped to a PostgreSQL cluster of the test's own.
#include "AppTest.h"

#include "app/CHistoryModel.h"
#include "app/CHistoryWindow.h"
#include "app/CMainFrame.h"
#include "central/CentralShipper.h"
#include "journal/Journal.h"
#include "tools/PgCluster.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QTableView>
#include <QTemporaryDir>

namespace {

const QDateTime kAnswered = QDateTime(QDate(2024, 5, 17), QTime(0, 5), Qt::UTC);

JournalFrame Passed(int n, const QByteArray &body)
{
    JournalFrame row;
    row.m_received = QDateTime(QDate(2024, 5, 17), QTime(0, 0), Qt::UTC).addSecs(n);
    row.m_port = 2;
    row.m_header = QByteArray::number(10000 + n) + "e2al9";
    row.m_headline = "Headline " + QByteArray::number(n);
    row.m_body = body;
    return row;
}

} // namespace

class CentralHistoryTest : public QObject
{
    Q_OBJECT

    PgCluster m_cluster;
    QTemporaryDir m_dir;
    CentralSettings m_central;

    // The rows the window's table holds, as "station header".
    static QStringList Shown(const CHistoryModel &model)
    {
        QStringList rows;
        for (int row = 0; row < model.rowCount(); ++row)
            rows << model.index(row, CHistoryModel::Station).data().toString() + ' '
                        + model.Row(row)->m_header;
        return rows;
    }

private slots:
    void initTestCase()
    {
        if (!m_cluster.Start())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL cluster: %1").arg(m_cluster.Error())));
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
            QSKIP("Qt's PostgreSQL driver (libqt6sql6-psql) is not installed");
        QVERIFY2(m_cluster.AddUserWithDatabase("office", "pw"), qPrintable(m_cluster.Error()));
        qputenv("PGPASSFILE", m_cluster.WritePasswordFile("office", "pw").toLocal8Bit());
        m_central.m_host = m_cluster.SocketFolder();
        m_central.m_port = m_cluster.Port();
        m_central.m_database = "office";
        m_central.m_user = "office";

        // Two stations, each shipping its own journal; one passed row gets an output. At the
        // north two rows waited for acknowledgement: the first was acknowledged, after its
        // frame was shipped.
        for (const QString station : {"north", "south"}) {
            Journal journal;
            journal.Start(m_dir.filePath(station + ".sqlite"), 0);
            QSignalSpy committed(&journal, &Journal::Committed);
            quint64 answered = 0;
            for (int n = 0; n < 5; ++n) {
                JournalFrame row
                    = Passed(n + (station == "south" ? 10 : 0),
                             n == 3 ? "Tremor near the " + station.toLatin1() : "Body");
                row.m_awaitsAcknowledgement = station == "north" && (n == 1 || n == 2);
                const quint64 ticket = journal.Record(row);
                if (n == 1)
                    answered = ticket;
                if (n == 3)
                    journal.RecordOutput({ticket, JournalOutputKind::File,
                                          QDateTime::currentDateTimeUtc(), true, "Received/x.txt"});
            }
            QTRY_COMPARE(committed.size(), 5);
            CentralShipper shipper;
            shipper.Start(m_central, m_dir.filePath(station + ".sqlite"), station, station);
            const int rows = station == "north" ? 8 : 6;
            QTRY_COMPARE_WITH_TIMEOUT(shipper.Shipped(), rows, 30000);
            if (station == "north") {
                journal.RecordAcknowledgement(
                    {answered, 0, kAnswered, "operator", AcknowledgedFrom::Notification});
                connect(&journal, &Journal::RowsCommitted, &shipper, &CentralShipper::Wake);
                QTRY_COMPARE_WITH_TIMEOUT(shipper.Shipped(), rows + 1, 30000);
            }
        }
    }

    void allStationsShowsEveryStationsRowsAndOneStationItsOwn()
    {
        Journal local;
        local.Start(m_dir.filePath("local.sqlite"), 0);
        QVERIFY(local.Record(Passed(100, "Local")) != 0);
        CHistoryWindow window(m_dir.filePath("local.sqlite"), &local);
        window.show();
        CHistoryModel *model = window.Model();
        QTRY_COMPARE(model->rowCount(), 1);
        QVERIFY(window.Table()->isColumnHidden(CHistoryModel::Station));
        QVERIFY(!window.Scope()->isVisible());

        window.SetCentral(m_central);
        QVERIFY(window.Scope()->isVisible());
        window.Scope()->setCurrentIndex(1);
        QTRY_COMPARE(model->rowCount(), 10);
        QVERIFY(!window.Table()->isColumnHidden(CHistoryModel::Station));
        QCOMPARE(Shown(*model).first(), "south 10014e2al9");
        QCOMPARE(Shown(*model).last(), "north 10000e2al9");
        QTRY_COMPARE(window.Stations()->count(), 3);

        // One station; then a text through the trigram index, in any case.
        window.Stations()->setCurrentIndex(window.Stations()->findText("north"));
        emit window.Stations()->activated(window.Stations()->currentIndex());
        QTRY_COMPARE(model->rowCount(), 5);
        QVERIFY(Shown(*model).filter("south").isEmpty());
        window.findChildren<QLineEdit *>().at(2)->setText("TREMOR near");
        QTRY_COMPARE(Shown(*model), QStringList{"north 10003e2al9"});

        // The row whole, with its output, from the central database.
        QSignalSpy shown(&window, &CHistoryWindow::EntryShown);
        window.Table()->setCurrentIndex(model->index(0, 0));
        QVERIFY(shown.wait());
        QVERIFY2(window.Detail()->toPlainText().contains("file: Received/x.txt"),
                 qPrintable(window.Detail()->toPlainText()));

        // The messages still waiting, of all stations; the answered one's detail says who.
        window.findChildren<QLineEdit *>().at(2)->clear();
        window.findChild<QComboBox *>("fates")->setCurrentIndex(int(JournalFilter::Fates::Waiting));
        QTRY_COMPARE(Shown(*model), QStringList{"north 10002e2al9"});
        window.findChild<QComboBox *>("fates")->setCurrentIndex(int(JournalFilter::Fates::All));
        QTRY_COMPARE(model->rowCount(), 5);
        window.Table()->setCurrentIndex(model->index(3, 0));
        QVERIFY(shown.wait());
        QCOMPARE(model->Row(3)->m_header, "10001e2al9");
        QVERIFY2(window.Detail()->toPlainText().contains(
                     QStringLiteral("Acknowledged %1 by operator from the notification")
                         .arg(kAnswered.toLocalTime().toString("yyyy-MM-dd HH:mm:ss"))),
                 qPrintable(window.Detail()->toPlainText()));

        // Back to this station's own journal.
        window.Scope()->setCurrentIndex(0);
        QTRY_COMPARE(model->rowCount(), 1);
        QCOMPARE(model->Row(0)->m_header, "10100e2al9");
    }

    void theCommandLineExportsTheCentralRowsOfOneStation()
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Central/Host", m_central.m_host);
        store.setValue("Central/Port", m_central.m_port);
        store.setValue("Central/Database", m_central.m_database);
        store.setValue("Central/User", m_central.m_user);
        store.sync();
        const QString target = m_dir.filePath("central.csv");
        QProcess process;
        process.start(qEnvironmentVariable("ALVETRA_PROGRAM_DIR") + "/alvetra",
                      {"--export-journal", target, "--central", "--station", "south", "--since",
                       "2024-05-17T00:00:12Z"});
        QVERIFY(process.waitForFinished(60000));
        QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
        QFile csv(target);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QVERIFY(lines.first().startsWith("station,received,line"));
        QCOMPARE(lines.size(), 1 + 3 + 1); // the header, three rows, the last line's end
        QVERIFY(lines[1].startsWith("south,") && lines[1].contains("10012e2al9"));
        QVERIFY(lines[3].contains("10014e2al9"));
        QVERIFY(lines.first().startsWith("station,received,line"));
        QVERIFY(lines[1].endsWith(",,,\r"));

        // The acknowledgements as the local export shows them.
        process.start(qEnvironmentVariable("ALVETRA_PROGRAM_DIR") + "/alvetra",
                      {"--export-journal", target, "--central", "--station", "north"});
        QVERIFY(process.waitForFinished(60000));
        QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
        QFile northCsv(target);
        QVERIFY(northCsv.open(QIODevice::ReadOnly));
        const QList<QByteArray> north = northCsv.readAll().split('\n');
        QVERIFY(north.first().endsWith(",acknowledged,acknowledged by,acknowledged from\r"));
        QVERIFY2(north[2].contains("10001e2al9") && north[2].endsWith(",operator,notification\r"),
                 north[2].constData());
        QVERIFY2(north[3].contains("10002e2al9") && north[3].endsWith(",waiting,,\r"),
                 north[3].constData());

        // No server: the reason, exit code 1.
        store.setValue("Central/Host", m_dir.filePath("nowhere"));
        store.sync();
        process.start(qEnvironmentVariable("ALVETRA_PROGRAM_DIR") + "/alvetra",
                      {"--export-journal", target, "--central"});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(process.readAllStandardError().contains("the central journal cannot be read"));
    }

    // The running program ships its journal where [Central] names a server, shows how far in
    // the status bar, and has a trouble on while the server is gone. Last: it stops the server.
    void theProgramShipsItsJournalAndTellsWhenShippingStops()
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Central/Host", m_central.m_host);
        store.setValue("Central/Port", m_central.m_port);
        store.setValue("Central/Database", m_central.m_database);
        store.setValue("Central/User", m_central.m_user);
        store.setValue("Station/Name", "east");
        store.setValue("Journal/Enabled", true);
        store.setValue("Journal/Path", m_dir.filePath("east.sqlite"));
        store.sync();
        QVERIFY(WriteEmptyFilterFile());
        CAlvetraApp *app = CAlvetraApp::Instance();
        QVERIFY(app->InitInstance({"alvetra"}));
        QVERIFY(app->GetShipper());
        // The line's first event (it could not be opened here) is the journal's first row.
        QTRY_VERIFY_WITH_TIMEOUT(
            m_cluster.Sql("SELECT count(*) FROM frames WHERE station = 'east'", "office")
                    .value(0)
                    .toInt()
                > 0,
            30000);
        const auto pane
            = [app] { return app->MainFrame()->findChild<QLabel *>("centralPane")->text(); };
        QTRY_COMPARE(pane(), QStringLiteral("Central journal: shipped"));

        QVERIFY(m_cluster.Stop(true));
        app->GetJournal()->Record(Passed(200, "After the server went"));
        QTRY_VERIFY_WITH_TIMEOUT(app->GetTroubles().IsOn(TroubleKind::Shipping), 30000);
        QTRY_VERIFY(pane().startsWith(QStringLiteral("Central journal: stopped")));
        QVERIFY(m_cluster.Start());
        QTRY_VERIFY_WITH_TIMEOUT(!app->GetTroubles().IsOn(TroubleKind::Shipping), 60000);
        QCOMPARE(m_cluster.Sql("SELECT count(*) FROM frames WHERE station = 'east' AND body"
                               " LIKE 'After the server%'",
                               "office"),
                 QStringList{"1"});
    }
};

ALVETRA_APP_TEST_MAIN(CentralHistoryTest)
#include "tst_centralhistory.moc"
