// The pure path of the input line: framing, the filter decision and the cut of passed
// messages, on a stream like a busy line's: 200-byte messages, a third failing the filter, a
// tenth malformed, noise between them. The limit beside it is a plain loop over the same bytes.
#include "receiver/EdisMessage.h"
#include "receiver/MsgReciever.h"
#include "settings/FilterSettings.h"

#include <benchmark/benchmark.h>

namespace {

constexpr int kMessages = 3000;

FilterSettings Criteria()
{
    FilterSettings settings;
    settings.m_handling = "abe";
    settings.m_regions = {"0-", "1a", "2a", "2b", "6c"};
    settings.m_sources = "lqw";
    return settings;
}

// One message of `length` bytes between SOH and EOT, both included.
QByteArray Message(int index, int length)
{
    const bool filtered = index % 3 == 1;
    const bool malformed = index % 10 == 7;
    QByteArray message = "\x01" + QByteArray::number(10000 + index).right(5) + '\x1f'
                         + (filtered ? "c2al9" : "e2al9") + "\x02" + "Earthquake near "
                         + QByteArray::number(index) + '\r' + "12345";
    const QByteArray tail = QByteArray(malformed ? "" : "\x03") + "0930\x04";
    message += QByteArray(qMax<qsizetype>(0, length - message.size() - tail.size()), 'b');
    return message + tail;
}

QByteArray Stream(int messageLength, int messages)
{
    QByteArray stream;
    for (int i = 0; i < messages; ++i)
        stream += "line noise\r\n" + Message(i, messageLength);
    return stream;
}

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

BENCHMARK_MAIN();
