// The journal's writer: how many rows a second it commits when the pipeline hands it more than
// it can keep up with (a burst, a backlog after a stall), and how long one passed message's row
// takes to be on disk when it comes alone, which is what holds that message's outputs. Rows are
// those of a busy line's frames (AlertMessage: real words, so the text index has real work),
// with the outputs a passed message reports. The limit beside it: the same rows inserted into
// a bare table of the same file kind, with no time index and no text index, on this thread.
#include "BusyLineStream.h"
#include "journal/Journal.h"
#include "journal/JournalDatabase.h"
#include "receiver/MsgReciever.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int kRows = 20000;
constexpr int kMessageLength = 350;

// The rows of kRows frames of a busy line, a tenth of a second apart.
const std::vector<JournalFrame> &BusyLineRows()
{
    static const std::vector<JournalFrame> rows = [] {
        std::vector<JournalFrame> made;
        const FilterSettings filter = busyline::Criteria();
        const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-1);
        MessageReceiver receiver([&](const QByteArray &message, const QDateTime &receivedAt) {
            made.push_back(busyline::JudgedRow(message, receivedAt, JudgeMessage(message, filter)));
        });
        for (int i = 0; i < kRows; ++i) {
            receiver.SetArrivalTime(start.addMSecs(100 * i));
            for (const char c : busyline::AlertMessage(i, kMessageLength))
                receiver.ProcessChar(static_cast<unsigned char>(c));
        }
        return made;
    }();
    return rows;
}

// What a passed message's outputs report: the sound, the file, the output line.
void RecordOutputs(Journal &journal, quint64 ticket, const QDateTime &at)
{
    journal.RecordOutput({ticket, JournalOutputKind::Sound, at, true, {}});
    journal.RecordOutput({ticket, JournalOutputKind::File, at, true,
                          QStringLiteral("/opt/alvetra/Received/2026-12-07 14.03.27.431.txt")});
    journal.RecordOutput({ticket, JournalOutputKind::OutputLine, at, true, QStringLiteral("sent")});
}

// Waits, without using the processor, until `journal` reports `ticket` on disk.
void AwaitCommitted(Journal &journal, quint64 ticket)
{
    bool committed = false;
    const QMetaObject::Connection connection
        = QObject::connect(&journal, &Journal::Committed, &journal,
                           [&](quint64 done, qint64) { committed |= done == ticket; });
    while (!committed && journal.IsWorking())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(connection);
}

// A backlog of kRows rows handed over at once, timed from the first hand-over until the writer
// reports the last row on disk (a passed one: rows are committed in order).
void WriterCommitsABacklog(benchmark::State &state)
{
    const std::vector<JournalFrame> &rows = BusyLineRows();
    QTemporaryDir folder;
    Journal journal;
    journal.Start(folder.filePath(QStringLiteral("journal.sqlite")), Journal::kDefaultKeepDays);
    qint64 outputs = 0;
    for (auto _ : state) {
        quint64 lastPassed = 0;
        for (const JournalFrame &row : rows) {
            const quint64 ticket = journal.Record(row);
            if (row.m_fate == JournalFate::Passed) {
                lastPassed = ticket;
                RecordOutputs(journal, ticket, row.m_received);
                outputs += 3;
            }
        }
        AwaitCommitted(journal, lastPassed);
    }
    if (!journal.IsWorking())
        state.SkipWithError("The journal failed");
    state.counters["rows/s"] = benchmark::Counter(double(state.iterations()) * double(rows.size()),
                                                  benchmark::Counter::kIsRate);
    state.counters["outputs/s"] = benchmark::Counter(double(outputs), benchmark::Counter::kIsRate);
    state.counters["file_MB"] = double(QFileInfo(journal.Path()).size()) / 1e6;
}
BENCHMARK(WriterCommitsABacklog)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// One passed message at a time, as a quiet line brings them: the time from the hand-over until
// its row is reported on disk, the most its outputs wait. One commit (and one sync) a row.
void OnePassedRowUntilOnDisk(benchmark::State &state)
{
    const std::vector<JournalFrame> &rows = BusyLineRows();
    QTemporaryDir folder;
    Journal journal;
    journal.Start(folder.filePath(QStringLiteral("journal.sqlite")), Journal::kDefaultKeepDays);
    size_t next = 0;
    for (auto _ : state) {
        while (rows[next % rows.size()].m_fate != JournalFate::Passed)
            ++next;
        AwaitCommitted(journal, journal.Record(rows[next++ % rows.size()]));
    }
    if (!journal.IsWorking())
        state.SkipWithError("The journal failed");
}
BENCHMARK(OnePassedRowUntilOnDisk)->UseRealTime()->Unit(benchmark::kMillisecond);

// The limit: the same rows, their texts decoded the same way, into a table of the same columns
// without the time index, the text index and its trigger, one transaction, on this thread.
void BareInsertsOfTheSameRows(benchmark::State &state)
{
    const std::vector<JournalFrame> &rows = BusyLineRows();
    QTemporaryDir folder;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bare"));
        db.setDatabaseName(folder.filePath(QStringLiteral("bare.sqlite")));
        if (!db.open()) {
            state.SkipWithError("The bare file cannot be opened");
            return;
        }
        QSqlQuery query(db);
        query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        query.exec(QStringLiteral("PRAGMA synchronous=FULL"));
        query.exec(QStringLiteral(
            "CREATE TABLE frames(id INTEGER PRIMARY KEY, received INTEGER, port INTEGER,"
            " device TEXT, fate INTEGER, detail TEXT, length INTEGER, bytes BLOB, header TEXT,"
            " handling TEXT, region TEXT, source TEXT, headline TEXT, trailer TEXT, body TEXT)"));
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral("INSERT INTO frames(received, port, device, fate, detail,"
                                      " length, bytes, header, handling, region, source, headline,"
                                      " trailer, body) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
        for (auto _ : state) {
            db.transaction();
            for (const JournalFrame &row : rows) {
                if (!InsertJournalFrame(insert, row)) {
                    state.SkipWithError(qPrintable(insert.lastError().text()));
                    break;
                }
            }
            db.commit();
        }
        state.counters["rows/s"] = benchmark::Counter(
            double(state.iterations()) * double(rows.size()), benchmark::Counter::kIsRate);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bare"));
}
BENCHMARK(BareInsertsOfTheSameRows)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char *argv[])
{
    // The journal reports its commits through the event loop of the thread that made it.
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
