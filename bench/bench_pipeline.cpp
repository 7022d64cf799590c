// The pure path of the input line: framing, the filter decision and the cut of passed
// messages, on a stream like a busy line's: 200-byte messages, a third failing the filter, a
// tenth malformed, noise between them. The limit beside it is a plain loop over the same bytes;
// beside it too, the same path with every frame handed to the journal.
#include "BusyLineStream.h"
#include "journal/Journal.h"
#include "receiver/EdisMessage.h"
#include "receiver/MsgReciever.h"
#include "settings/FilterSettings.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

constexpr int kMessages = 3000;

using busyline::Criteria;
using busyline::Stream;

void Pipeline(benchmark::State &state)
{
    const QByteArray stream = Stream(200, kMessages);
    const FilterSettings filter = Criteria();
    qint64 passed = 0;
    MessageReceiver receiver([&](const QByteArray &message, const QDateTime &) {
        if (JudgeMessage(message, filter).m_verdict == MessageVerdict::Passed)
            ++passed;
    });
    for (auto _ : state) {
        for (const char c : stream)
            receiver.ProcessChar(static_cast<unsigned char>(c));
    }
    benchmark::DoNotOptimize(passed);
    state.SetBytesProcessed(state.iterations() * stream.size());
    state.counters["msgs/s"]
        = benchmark::Counter(double(state.iterations()) * kMessages, benchmark::Counter::kIsRate);
}
BENCHMARK(Pipeline);

// The same with the journal on, as the application has it: every frame's row handed to a real
// journal on a file, a passed message's outputs (none here) held until its row is on disk.
// The writer has a thread of its own, so the figure is CPU time of the pipeline's thread alone,
// answering the writer's reports included; the wait for the writer after each pass costs no
// CPU. Compare with Pipeline's CPU time.
void PipelineWithJournal(benchmark::State &state)
{
    const QByteArray stream = Stream(200, kMessages);
    const FilterSettings filter = Criteria();
    QTemporaryDir folder;
    Journal journal;
    journal.Start(folder.filePath(QStringLiteral("journal.sqlite")), Journal::kDefaultKeepDays);
    quint64 lastPassed = 0;
    bool lastCommitted = false;
    QObject::connect(&journal, &Journal::Committed, &journal, [&](quint64 ticket, qint64) {
        if (ticket == lastPassed)
            lastCommitted = true;
    });
    qint64 passed = 0;
    MessageReceiver receiver([&](const QByteArray &message, const QDateTime &receivedAt) {
        Judgement judgement = JudgeMessage(message, filter);
        const quint64 ticket = journal.Record(busyline::JudgedRow(message, receivedAt, judgement));
        if (judgement.m_verdict != MessageVerdict::Passed)
            return;
        lastPassed = ticket;
        journal.AfterCommit(ticket, [&passed] { ++passed; });
    });
    for (auto _ : state) {
        lastCommitted = false;
        receiver.SetArrivalTime(QDateTime::currentDateTimeUtc());
        for (const char c : stream)
            receiver.ProcessChar(static_cast<unsigned char>(c));
        // Rows must not pile up across passes: that would measure memory, not the hand-over.
        while (!lastCommitted && journal.IsWorking())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (!journal.IsWorking())
        state.SkipWithError("The journal failed");
    benchmark::DoNotOptimize(passed);
    state.SetBytesProcessed(state.iterations() * stream.size());
    state.counters["msgs/s"]
        = benchmark::Counter(double(state.iterations()) * kMessages, benchmark::Counter::kIsRate);
}
// A fixed count: every pass also waits for the writer to commit its 3,000 rows.
BENCHMARK(PipelineWithJournal)->Iterations(100);

// The limit: every byte looked at once, message boundaries counted, nothing kept.
void PlainLoop(benchmark::State &state)
{
    const QByteArray stream = Stream(200, kMessages);
    qint64 boundaries = 0;
    for (auto _ : state) {
        for (const char c : stream)
            boundaries += (c == 0x01) | (c == 0x04);
        benchmark::DoNotOptimize(boundaries);
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(PlainLoop);

// Framing alone at growing message lengths: the cost per byte must stay flat.
void FramingByMessageLength(benchmark::State &state)
{
    const int length = int(state.range(0));
    const QByteArray stream = Stream(length, qMax(1, 600000 / length));
    qint64 messages = 0;
    MessageReceiver receiver([&](const QByteArray &, const QDateTime &) { ++messages; });
    for (auto _ : state) {
        for (const char c : stream)
            receiver.ProcessChar(static_cast<unsigned char>(c));
    }
    benchmark::DoNotOptimize(messages);
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(FramingByMessageLength)->Arg(200)->Arg(2000)->Arg(20000)->Arg(200000);

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
