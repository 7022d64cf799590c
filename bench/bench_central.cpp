// The central journal against a PostgreSQL cluster of the benchmark's own (tools/PgCluster):
// - TenStationsAt50FramesASecond: ten journals written by the real writer at 50 frames a second
//   each, each shipped by its own shipper into one server; rows a second and the lag from the
//   local commit to the server's time of receipt (median and worst).
// - BacklogAfterAnOutage: a journal of ALVETRA_BENCH_BACKLOG rows (default 1,000,000) shipped
//   from nothing; rows a second. The limit beside it: the same rows copied by one INSERT ...
//   SELECT inside the server, which no network or client can beat.
// - HistoryOnTheServer: ALVETRA_BENCH_CENTRAL_ROWS rows (default 10,000,000) from 20 stations
//   generated on the server; the first page of the History's query, a station filter and a
//   3-character text, each until the first page is in.
#include "BusyLineStream.h"
#include "central/CentralDatabase.h"
#include "central/CentralReader.h"
#include "central/CentralShipper.h"
#include "journal/Journal.h"
#include "receiver/MsgReciever.h"
#include "tools/PgCluster.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

PgCluster *g_cluster = nullptr;
CentralSettings g_central;

// Frames of a busy line: real words, 350 bytes, 60% passed.
std::vector<JournalFrame> BusyRows(int count)
{
    std::vector<JournalFrame> made;
    const FilterSettings filter = busyline::Criteria();
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-1);
    MessageReceiver receiver([&](const QByteArray &message, const QDateTime &receivedAt) {
        made.push_back(busyline::JudgedRow(message, receivedAt, JudgeMessage(message, filter)));
    });
    for (int i = 0; i < count; ++i) {
        receiver.SetArrivalTime(start.addMSecs(100 * i));
        for (const char c : busyline::AlertMessage(i, 350))
            receiver.ProcessChar(static_cast<unsigned char>(c));
    }
    return made;
}

qint64 EnvCount(const char *name, qint64 fallback)
{
    bool ok = false;
    const qint64 value = qEnvironmentVariable(name).toLongLong(&ok);
    return ok && value > 0 ? value : fallback;
}

void TenStationsAt50FramesASecond(benchmark::State &state)
{
    constexpr int kStations = 10;
    const int seconds = int(EnvCount("ALVETRA_BENCH_SECONDS", 30));
    const std::vector<JournalFrame> rows = BusyRows(50 * seconds);
    for (auto _ : state) {
        QTemporaryDir folder;
        std::vector<std::unique_ptr<Journal>> journals;
        std::vector<std::unique_ptr<CentralShipper>> shippers;
        // The local commit time of each row, by station and row id.
        std::vector<QHash<qint64, qint64>> committedAt(kStations);
        for (int s = 0; s < kStations; ++s) {
            const QString path = folder.filePath(QStringLiteral("s%1.sqlite").arg(s));
            journals.push_back(std::make_unique<Journal>());
            journals.back()->Start(path, 0);
            shippers.push_back(std::make_unique<CentralShipper>());
            QObject::connect(journals.back().get(), &Journal::RowsCommitted, shippers.back().get(),
                             &CentralShipper::Wake);
            QObject::connect(journals.back().get(), &Journal::Committed, journals.back().get(),
                             [&committedAt, s](quint64, qint64 rowId) {
                                 committedAt[size_t(s)].insert(rowId,
                                                               QDateTime::currentMSecsSinceEpoch());
                             });
            shippers.back()->Start(g_central, path, QStringLiteral("bench-%1").arg(s),
                                   QStringLiteral("holder-%1").arg(s));
        }
        QElapsedTimer clock;
        clock.start();
        // Every 20 ms one frame for each station: 50 a second each.
        size_t next = 0;
        while (next < rows.size()) {
            const qint64 due = qint64(next) * 20;
            if (clock.elapsed() >= due) {
                for (auto &journal : journals) {
                    JournalFrame row = rows[next];
                    row.m_fate = JournalFate::Passed; // every row reports its commit
                    row.m_received = QDateTime::currentDateTimeUtc();
                    journal->Record(std::move(row));
                }
                ++next;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        const qint64 expected = qint64(rows.size());
        QElapsedTimer drain;
        drain.start();
        while (drain.elapsed() < 120000
               && std::any_of(shippers.begin(), shippers.end(),
                              [&](const auto &shipper) { return shipper->Shipped() < expected; }))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const double wall = clock.elapsed() / 1000.0;
        std::vector<qint64> lags;
        for (int s = 0; s < kStations; ++s) {
            for (const QString &line :
                 g_cluster->Sql(QStringLiteral("SELECT id, (extract(epoch FROM stored) * 1000)"
                                               "::bigint FROM frames WHERE station = 'bench-%1'")
                                    .arg(s),
                                QStringLiteral("bench"))) {
                const QStringList fields = line.split(QLatin1Char('|'));
                const qint64 local = committedAt[size_t(s)].value(fields[0].toLongLong(), -1);
                if (local >= 0)
                    lags.push_back(fields[1].toLongLong() - local);
            }
        }
        std::sort(lags.begin(), lags.end());
        qint64 shipped = 0;
        for (const auto &shipper : shippers)
            shipped += shipper->Shipped();
        state.counters["rows_per_s"] = double(shipped) / wall;
        state.counters["rows_shipped"] = double(shipped);
        state.counters["lag_median_ms"] = lags.empty() ? -1 : double(lags[lags.size() / 2]);
        state.counters["lag_worst_ms"] = lags.empty() ? -1 : double(lags.back());
        state.counters["lags_measured"] = double(lags.size());
        g_cluster->Sql(QStringLiteral("DELETE FROM outputs; DELETE FROM frames;"
                                      " DELETE FROM journals"),
                       QStringLiteral("bench"));
    }
}

void BacklogAfterAnOutage(benchmark::State &state)
{
    const qint64 backlog = EnvCount("ALVETRA_BENCH_BACKLOG", 1000000);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("backlog.sqlite"));
    {
        // The writer makes the file; the rows go in by one statement, as a week would leave them.
        Journal journal;
        journal.Start(path, 0);
        const std::vector<JournalFrame> rows = BusyRows(2000);
        bool done = false;
        QObject::connect(&journal, &Journal::RowsCommitted, &journal, [&] { done = true; });
        for (const JournalFrame &row : rows)
            journal.Record(row);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "fill");
        db.setDatabaseName(path);
        db.open();
        QSqlQuery query(db);
        query.exec(QStringLiteral("SELECT count(*) FROM frames"));
        query.next();
        const qint64 have = query.value(0).toLongLong();
        // Copies of the busy line's rows, doubled until the backlog is there.
        for (qint64 rows = have; rows < backlog; rows *= 2)
            query.exec(QStringLiteral("INSERT INTO frames(received, port, device, fate, detail,"
                                      " length, bytes, header, handling, region, source,"
                                      " headline, trailer, body) SELECT received, port, device,"
                                      " fate, detail, length, bytes, header, handling, region,"
                                      " source, headline, trailer, body FROM frames LIMIT %1")
                           .arg(std::min(rows, backlog - rows)));
        query.exec(QStringLiteral("INSERT INTO outputs(frame, kind, at, ok, result) SELECT id,"
                                  " 1, received, 1, 'Received/x.txt' FROM frames WHERE fate = 0"));
    }
    QSqlDatabase::removeDatabase("fill");
    for (auto _ : state) {
        g_cluster->Sql(QStringLiteral("DELETE FROM outputs; DELETE FROM frames;"
                                      " DELETE FROM journals"),
                       QStringLiteral("bench"));
        QElapsedTimer clock;
        clock.start();
        CentralShipper shipper;
        shipper.Start(g_central, path, QStringLiteral("backlog"), QStringLiteral("backlog"));
        while (shipper.GetState() != CentralShipper::State::UpToDate)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        const double seconds = clock.elapsed() / 1000.0;
        state.counters["rows"] = double(shipper.Shipped());
        state.counters["rows_per_s"] = double(shipper.Shipped()) / seconds;
        // The limit: the same rows copied inside the server.
        clock.restart();
        g_cluster->Sql(QStringLiteral("CREATE TEMP TABLE c AS SELECT * FROM frames;"
                                      " INSERT INTO frames SELECT journal || 'x', id, station,"
                                      " stored, received, port, device, fate, detail, length,"
                                      " bytes, header, handling, region, source, headline,"
                                      " trailer, body FROM c"),
                       QStringLiteral("bench"));
        state.counters["server_copy_rows_per_s"]
            = double(shipper.Shipped()) / (clock.elapsed() / 1000.0);
    }
}

void HistoryOnTheServer(benchmark::State &state)
{
    const qint64 total = EnvCount("ALVETRA_BENCH_CENTRAL_ROWS", 10000000);
    g_cluster->Sql(QStringLiteral("DELETE FROM outputs; DELETE FROM frames; DELETE FROM journals"),
                   QStringLiteral("bench"));
    QElapsedTimer made;
    made.start();
    // 20 stations, a row every 3 s each, the busy line's words in the bodies.
    g_cluster->Sql(
        QStringLiteral(
            "INSERT INTO frames(journal, id, station, received, port, device, fate, detail,"
            " length, header, handling, region, source, headline, body)"
            " SELECT 'j' || (n % 20), n / 20 + 1, 'station-' || (n % 20),"
            " now() - (%1 - n) * interval '150 milliseconds', 2, '/dev/ttyS1',"
            " CASE WHEN n % 10 < 6 THEN 0 ELSE 1 END, '', 350,"
            " lpad((n % 99999)::text, 5, '0') || 'e2al9', 'e', '2a', 'l',"
            " (ARRAY['Warning','Quake','Storm','Flood','Fire'])[1 + n % 5] || ' ' || n,"
            " (ARRAY['The river is rising near Fresno','Seismic tremor near the ridge',"
            "'Tsunami surge expected on the coast','High winds through the valley',"
            "'All clear for the northern district'])[1 + (n / 7) % 5] || ' ' || md5(n::text)"
            " FROM generate_series(0, %1 - 1) n")
            .arg(total),
        QStringLiteral("bench"));
    g_cluster->Sql(QStringLiteral("VACUUM ANALYZE frames"), QStringLiteral("bench"));
    state.counters["rows"] = double(total);
    state.counters["generate_s"] = made.elapsed() / 1000.0;
    CentralReader reader;
    QString error;
    if (!reader.Open(g_central, &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        const auto first = reader.Rows({}, {}, nullptr, 256);
        state.counters["first_page_ms"] = clock.nsecsElapsed() / 1e6;
        clock.restart();
        const auto station = reader.Rows({}, QStringLiteral("station-7"), nullptr, 256);
        state.counters["station_page_ms"] = clock.nsecsElapsed() / 1e6;
        JournalFilter text;
        text.m_text = QStringLiteral("Fre");
        clock.restart();
        const auto found = reader.Rows(text, {}, nullptr, 256);
        state.counters["text3_page_ms"] = clock.nsecsElapsed() / 1e6;
        JournalFilter rare;
        rare.m_text = QStringLiteral("tsunami surge");
        clock.restart();
        const auto few = reader.Rows(rare, QStringLiteral("station-3"), nullptr, 256);
        state.counters["text_station_page_ms"] = clock.nsecsElapsed() / 1e6;
        if (first.size() != 256 || station.size() != 256 || found.size() != 256)
            state.SkipWithError("a page came back short");
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    PgCluster cluster;
    if (!cluster.Start()) {
        std::fprintf(stderr, "no PostgreSQL cluster: %s\n", qPrintable(cluster.Error()));
        return 1;
    }
    if (!cluster.AddUserWithDatabase(QStringLiteral("bench"), QStringLiteral("bench"))) {
        std::fprintf(stderr, "%s\n", qPrintable(cluster.Error()));
        return 1;
    }
    qputenv(
        "PGPASSFILE",
        cluster.WritePasswordFile(QStringLiteral("bench"), QStringLiteral("bench")).toLocal8Bit());
    g_cluster = &cluster;
    g_central.m_host = cluster.SocketFolder();
    g_central.m_port = cluster.Port();
    g_central.m_database = QStringLiteral("bench");
    g_central.m_user = QStringLiteral("bench");
    {
        // The tables, as the first shipper would make them.
        QString error;
        if (!OpenCentral(g_central, QStringLiteral("schema"), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("schema"));
        if (!EnsureCentralSchema(db, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    CloseCentral(QStringLiteral("schema"));
    benchmark::RegisterBenchmark("TenStationsAt50FramesASecond", TenStationsAt50FramesASecond)
        ->Iterations(1)
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BacklogAfterAnOutage", BacklogAfterAnOutage)
        ->Iterations(1)
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("HistoryOnTheServer", HistoryOnTheServer)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
