// The History window on a journal of a million rows, a year of a busy line: how long until it
// shows its first page, how long until a filter typed into it shows its first page of results,
// and what it costs in memory, beside the same window on a journal of a thousand rows (the
// limit: a window that costs the rows in view, not the journal, costs the same on both).
//
// The million-row file is made once (some minutes) and kept: ALVETRA_BENCH_JOURNAL names it,
// by default history-1m.sqlite in the folder the benchmark runs in. Its size per row is the
// figure a year's file is reckoned from.
#include "BusyLineStream.h"
#include "app/CHistoryModel.h"
#include "app/CHistoryWindow.h"
#include "journal/JournalDatabase.h"
#include "receiver/MsgReciever.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int kBigRows = 1000000;
constexpr int kSmallRows = 1000;
// A year of the big journal's rows: one every 31.5 s.
constexpr qint64 kRowSpacingMs = 365LL * 24 * 3600 * 1000 / kBigRows;
// Among a busy line's frames, an event of a line now and then.
constexpr int kLineEventEvery = 5000;

QString g_bigPath;
QString g_smallPath;

// Resident memory of the process in MB; 0 where it cannot be read.
double RssMb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * 4096 / 1e6 : 0;
}

qint64 RowsIn(const QString &path)
{
    if (!QFileInfo::exists(path))
        return 0;
    qint64 rows = 0;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("SELECT max(id) FROM frames")) && query.next())
                rows = query.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return rows;
}

// Makes a journal of `rows` rows through the journal's own schema, its triggers and text index
// included, in as few transactions and syncs as SQLite allows: a set-up, not the writer's path.
bool MakeJournal(const QString &path, int rows)
{
    if (RowsIn(path) == rows) {
        // Opened as the program's start opens it, which adds what a newer version indexes.
        QElapsedTimer clock;
        clock.start();
        const bool ok = OpenJournalForWriting(path, QStringLiteral("upgrade")).m_ok;
        QSqlDatabase::database(QStringLiteral("upgrade"), false).close();
        QSqlDatabase::removeDatabase(QStringLiteral("upgrade"));
        std::fprintf(stderr, "opened %s for writing in %.1f s\n", qPrintable(path),
                     double(clock.elapsed()) / 1e3);
        return ok;
    }
    for (const char *end : {"", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(end));
    QElapsedTimer clock;
    clock.start();
    const QString connection = QStringLiteral("bulk");
    if (!OpenJournalForWriting(path, connection).m_ok)
        return false;
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        QSqlQuery query(db);
        query.exec(QStringLiteral("PRAGMA synchronous=OFF"));
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral(
            "INSERT INTO frames(received, port, device, fate, detail, length, bytes, header,"
            " handling, region, source, headline, trailer, body)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        const FilterSettings filter = busyline::Criteria();
        const qint64 start = QDateTime::currentMSecsSinceEpoch() - qint64(rows) * kRowSpacingMs;
        JournalFrame row;
        MessageReceiver receiver([&](const QByteArray &message, const QDateTime &receivedAt) {
            row = busyline::JudgedRow(message, receivedAt, JudgeMessage(message, filter));
        });
        db.transaction();
        for (int i = 0; i < rows && ok; ++i) {
            const QDateTime at = JournalTimeFromStored(start + i * kRowSpacingMs);
            if (i % kLineEventEvery == kLineEventEvery - 1) {
                row = JournalLineEventRow(at, 2, QStringLiteral("/dev/ttyUSB0"),
                                          JournalLineEvent::SilenceAlarm,
                                          QStringLiteral("no byte for 10 minutes"));
            } else {
                // Realistic messages of 200 to 500 bytes.
                receiver.SetArrivalTime(at);
                for (const char c : busyline::AlertMessage(i, 200 + (i * 7919) % 301))
                    receiver.ProcessChar(static_cast<unsigned char>(c));
            }
            ok = InsertJournalFrame(insert, row);
            if (!ok)
                std::fprintf(stderr, "%s\n", qPrintable(insert.lastError().text()));
            if (ok && i % 50000 == 49999) {
                ok = db.commit() && db.transaction();
                std::fprintf(stderr, "%d rows\n", i + 1);
            }
        }
        ok = ok && db.commit();
        // The file's own size, with nothing left in the write-ahead log.
        query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
    std::fprintf(stderr, "made %s: %d rows in %.0f s, %.1f MB\n", qPrintable(path), rows,
                 double(clock.elapsed()) / 1e3, double(QFileInfo(path).size()) / 1e6);
    return ok;
}

// Runs events until `done` holds; false when it does not within 60 s.
template<typename Done>
bool Await(Done done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 60000)
            return false;
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// A shown History window with its first page in, on `path`.
std::unique_ptr<CHistoryWindow> OpenWindow(const QString &path)
{
    auto window = std::make_unique<CHistoryWindow>(path, nullptr);
    window->show();
    if (!Await([&] { return window->Model()->rowCount() > 0; }))
        return nullptr;
    QApplication::processEvents();
    return window;
}

QLineEdit *TextField(CHistoryWindow &window)
{
    for (QLineEdit *field : window.findChildren<QLineEdit *>()) {
        if (field->placeholderText().startsWith(QLatin1String("Text")))
            return field;
    }
    return nullptr;
}

// From the order to show the window until its first page is in, on a million rows, then on a
// thousand; the memory the window took on each.
void WindowShownWithItsFirstPage(benchmark::State &state)
{
    const QString path = state.range(0) == kBigRows ? g_bigPath : g_smallPath;
    double growth = 0;
    for (auto _ : state) {
        const double before = RssMb();
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<CHistoryWindow> window = OpenWindow(path);
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        if (!window) {
            state.SkipWithError("No first page");
            return;
        }
        growth = std::max(growth, RssMb() - before);
    }
    state.counters["rss_growth_mb"] = growth;
}
BENCHMARK(WindowShownWithItsFirstPage)
    ->Arg(kBigRows)
    ->Arg(kSmallRows)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// What a filter typed into the open window costs until its first page of results is in, the
// window's pause for typing (150 ms) included.
const char *const kTexts[] = {
    "Fresno",        // in a tenth of the headlines and many bodies
    "tsunami surge", // a phrase that few rows hold
    "warning",       // in most passed rows
    "zqxj",          // in none
    "qx",            // too short for the index: a scan, and it matches none
};

void TextFilterFirstPage(benchmark::State &state)
{
    const QString text = QString::fromLatin1(kTexts[state.range(0)]);
    state.SetLabel(text.toStdString());
    std::unique_ptr<CHistoryWindow> window = OpenWindow(g_bigPath);
    QLineEdit *field = window ? TextField(*window) : nullptr;
    if (!field) {
        state.SkipWithError("No window");
        return;
    }
    CHistoryModel *model = window->Model();
    int rows = 0;
    for (auto _ : state) {
        bool arrived = false;
        const QMetaObject::Connection connection
            = QObject::connect(model, &CHistoryModel::PageArrived, model,
                               [&] { arrived |= model->Filter().m_text == text; });
        QElapsedTimer clock;
        clock.start();
        field->setText(text);
        const bool in = Await([&] { return arrived; });
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        QObject::disconnect(connection);
        rows = model->rowCount();
        if (!in) {
            state.SkipWithError("No first page of results");
            return;
        }
        state.PauseTiming();
        field->clear();
        Await([&] { return model->Filter().m_text.isEmpty() && model->rowCount() > 0; });
        state.ResumeTiming();
    }
    state.counters["rows_shown"] = rows;
}
BENCHMARK(TextFilterFirstPage)
    ->DenseRange(0, int(std::size(kTexts)) - 1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The rarest fate, line events (one row in 5,000), chosen in the window.
void FateFilterFirstPage(benchmark::State &state)
{
    std::unique_ptr<CHistoryWindow> window = OpenWindow(g_bigPath);
    QComboBox *fates = window ? window->findChild<QComboBox *>() : nullptr;
    if (!fates) {
        state.SkipWithError("No window");
        return;
    }
    CHistoryModel *model = window->Model();
    const int index = int(state.range(0));
    state.SetLabel(fates->itemText(index).toStdString());
    for (auto _ : state) {
        bool arrived = false;
        const QMetaObject::Connection connection
            = QObject::connect(model, &CHistoryModel::PageArrived, model, [&] {
                  arrived |= model->Filter().m_fates == JournalFilter::Fates(index);
              });
        QElapsedTimer clock;
        clock.start();
        fates->setCurrentIndex(index);
        const bool in = Await([&] { return arrived; });
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        QObject::disconnect(connection);
        if (!in) {
            state.SkipWithError("No first page of results");
            return;
        }
        state.PauseTiming();
        fates->setCurrentIndex(0);
        Await([&] {
            return model->Filter().m_fates == JournalFilter::Fates::All && model->rowCount() > 0;
        });
        state.ResumeTiming();
    }
}
BENCHMARK(FateFilterFirstPage)
    ->Arg(int(JournalFilter::Fates::LineEvents))
    ->Arg(int(JournalFilter::Fates::Malformed))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Scrolling down through 40 pages (10,240 rows): the time a page takes to come in as the view
// reaches the end, and the memory the window holds then, on a million rows and on a thousand
// (where the whole journal is in after four pages).
void ScrollingThroughPages(benchmark::State &state)
{
    const QString path = state.range(0) == kBigRows ? g_bigPath : g_smallPath;
    constexpr int kPages = 40;
    double growth = 0;
    int rows = 0;
    for (auto _ : state) {
        const double before = RssMb();
        std::unique_ptr<CHistoryWindow> window = OpenWindow(path);
        if (!window) {
            state.SkipWithError("No window");
            return;
        }
        CHistoryModel *model = window->Model();
        QElapsedTimer clock;
        clock.start();
        for (int page = 1; page < kPages && model->rowCount() < state.range(0); ++page) {
            const int had = model->rowCount();
            window->Table()->scrollToBottom();
            QApplication::processEvents();
            // The view asks for more when it reaches the end; where it has not yet, ask.
            if (model->canFetchMore({}))
                model->fetchMore({});
            if (!Await([&] { return model->rowCount() > had; })) {
                state.SkipWithError("A page did not come in");
                return;
            }
        }
        state.SetIterationTime(double(clock.nsecsElapsed()) / 1e9);
        rows = model->rowCount();
        growth = std::max(growth, RssMb() - before);
    }
    state.counters["rows_fetched"] = rows;
    state.counters["rss_growth_mb"] = growth;
}
BENCHMARK(ScrollingThroughPages)
    ->Arg(kBigRows)
    ->Arg(kSmallRows)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("config"))));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    g_bigPath = qEnvironmentVariable("ALVETRA_BENCH_JOURNAL",
                                     QDir::current().filePath(QStringLiteral("history-1m.sqlite")));
    g_smallPath = scratch.filePath(QStringLiteral("history-1k.sqlite"));
    if (!MakeJournal(g_bigPath, kBigRows) || !MakeJournal(g_smallPath, kSmallRows))
        return 1;
    const double bytes = double(QFileInfo(g_bigPath).size());
    std::fprintf(stderr, "%s: %d rows, %.1f MB, %.0f bytes a row\n", qPrintable(g_bigPath),
                 kBigRows, bytes / 1e6, bytes / kBigRows);
    // Qt's one-off set-up of fonts and style is no cost of the journal's size: paid here.
    OpenWindow(g_smallPath).reset();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
