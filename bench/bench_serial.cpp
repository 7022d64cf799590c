// The intake of the input line: a long stream of EDIS messages written into a pseudo-terminal,
// read by the real SerialPort and fed through the log view's handler into the receiver and
// the judge, against a plain reader draining the same kind of pseudo-terminal in the same run.
// The filter drops every message (an empty flt.dat), as it drops most traffic in service.
//   build-bench/bench/bench_serial
#include "app/CAlvetraApp.h"
#include "app/CAlvetraView.h"
#include "dispatch/ProcessMessage.h"
#include "doors/Doors.h"
#include "tools/Pty.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QByteArray Message()
{
    return QByteArray("\x01"
                      "10001\x1f"
                      "a1al9\x02Severe storm warning for the coast\r\n    Gusts of 120 km/h "
                      "from 18:00; secure loose objects and stay indoors. Issued by the "
                      "regional office.\x03"
                      "0930 7DEC\x04\r\n");
}

QByteArray Stream(const benchmark::State &state)
{
    return Message().repeated(state.range(0));
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Writes the whole stream into the far end of `line` on a thread of its own.
class Writer
{
public:
    Writer(Pty &line, const QByteArray &bytes)
        : m_thread([&line, bytes] { line.WriteAll(bytes, 30s); })
    {}
    ~Writer() { m_thread.join(); }

private:
    std::thread m_thread;
};

struct Figures
{
    double bytesPerSecond = 0;
    double cpuNanosecondsPerByte = 0;
};
Figures g_intake;
Figures g_plain;
Figures g_perByte;

void Report(benchmark::State &state, double bytes, double seconds, double cpu, Figures *figures)
{
    state.SetBytesProcessed(int64_t(bytes));
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
    state.counters["cpu_ns_per_byte"] = cpu * 1e9 / bytes;
    figures->bytesPerSecond = bytes / seconds;
    figures->cpuNanosecondsPerByte = cpu * 1e9 / bytes;
}

int g_framed = 0;

// Runs the GUI thread's event loop until the receiver has framed `messages`; false when the
// stream stalls, that is, bytes were lost.
bool AwaitFramed(int messages)
{
    auto lastProgress = std::chrono::steady_clock::now();
    int seen = 0;
    while (g_framed < messages) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        if (g_framed != seen) {
            seen = g_framed;
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > 5s) {
            return false;
        }
    }
    return true;
}

void CountFramedMessages()
{
    GetReceiver().SetMessageHandler([](const QByteArray &message, const QDateTime &receivedAt) {
        ++g_framed;
        ProcessMessage(message, receivedAt);
    });
}

void IntakeThroughSerialPort(benchmark::State &state)
{
    Pty line;
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
    store.setValue("Ports/COM2", line.DevicePath());
    store.sync();
    GetGeneralSettings().m_inSerialPort = 2;
    GetLogView()->OnInitialUpdate();
    if (!GetInPort().IsRunning()) {
        state.SkipWithError("the input port did not open");
        return;
    }
    CountFramedMessages();

    const QByteArray stream = Stream(state);
    double bytes = 0;
    double seconds = 0;
    double cpu = 0;
    for (auto _ : state) {
        g_framed = 0;
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        {
            Writer writer(line, stream);
            if (!AwaitFramed(int(state.range(0)))) {
                state.SkipWithError("messages were lost on the way");
                return;
            }
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpuBefore;
        bytes += double(stream.size());
    }
    Report(state, bytes, seconds, cpu, &g_intake);
    GetInPort().StopThread();
}

void PlainReader(benchmark::State &state)
{
    Pty line;
    const int device = ::open(line.DevicePath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY);
    if (device < 0) {
        state.SkipWithError("cannot open the device");
        return;
    }
    const QByteArray stream = Stream(state);
    QByteArray buffer(65536, 0);
    double bytes = 0;
    double seconds = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        {
            Writer writer(line, stream);
            qsizetype received = 0;
            while (received < stream.size()) {
                const ssize_t got = ::read(device, buffer.data(), size_t(buffer.size()));
                if (got <= 0)
                    break;
                received += got;
            }
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpuBefore;
        bytes += double(stream.size());
    }
    ::close(device);
    Report(state, bytes, seconds, cpu, &g_plain);
}

// The hand-off as it would be with one blocking cross-thread call for every byte, for
// comparison: a reader thread of the same device hands each byte to the view on its own.
void OneBlockingCallPerByte(benchmark::State &state)
{
    Pty line;
    CountFramedMessages();
    const QByteArray stream = Stream(state);
    CAlvetraView *view = GetLogView();
    GetGeneralSettings().m_inSerialPort = 2;
    double bytes = 0;
    double seconds = 0;
    double cpu = 0;
    for (auto _ : state) {
        g_framed = 0;
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const QByteArray path = line.DevicePath().toLocal8Bit();
        std::thread reader([view, path, size = stream.size()] {
            const int device = ::open(path.constData(), O_RDONLY | O_NOCTTY);
            char chunk[4096];
            for (qsizetype received = 0; device >= 0 && received < size;) {
                const ssize_t got = ::read(device, chunk, sizeof chunk);
                if (got <= 0)
                    break;
                for (ssize_t i = 0; i < got; ++i) {
                    const int byte = static_cast<unsigned char>(chunk[i]);
                    QMetaObject::invokeMethod(
                        view, [view, byte] { view->OnSerialByte(byte, 2); },
                        Qt::BlockingQueuedConnection);
                }
                received += got;
            }
            if (device >= 0)
                ::close(device);
        });
        bool complete = false;
        {
            Writer writer(line, stream);
            complete = AwaitFramed(int(state.range(0)));
        }
        reader.join();
        if (!complete) {
            state.SkipWithError("messages were lost on the way");
            return;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpuBefore;
        bytes += double(stream.size());
    }
    Report(state, bytes, seconds, cpu, &g_perByte);
}

} // namespace

BENCHMARK(PlainReader)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(IntakeThroughSerialPort)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(OneBlockingCallPerByte)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

int main(int argc, char *argv[])
{
    // A settings folder and working directory of its own, an empty filter, nothing shown.
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath("config")));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QDir::setCurrent(scratch.path());
    QFile filter("flt.dat");
    if (!filter.open(QIODevice::WriteOnly))
        return 1;
    filter.write(QByteArray(8, char(0xA7)));
    filter.close();
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/Sendtoport", 0);
        store.setValue("Ports/COM2", "/dev/alvetra-bench-none");
    }

    CAlvetraApp app(argc, argv);
    if (!app.InitInstance({"alvetra"}))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_plain.bytesPerSecond > 0 && g_intake.bytesPerSecond > 0) {
        std::printf("\nintake %.1f MB/s, %.0f messages/s, %.1f ns CPU a byte\n",
                    g_intake.bytesPerSecond / 1e6,
                    g_intake.bytesPerSecond / double(Message().size()),
                    g_intake.cpuNanosecondsPerByte);
        std::printf("plain reader %.1f MB/s, %.1f ns CPU a byte\n", g_plain.bytesPerSecond / 1e6,
                    g_plain.cpuNanosecondsPerByte);
        std::printf("plain reader / intake: %.1f\n",
                    g_plain.bytesPerSecond / g_intake.bytesPerSecond);
    }
    if (g_perByte.bytesPerSecond > 0)
        std::printf("one blocking call a byte %.3f MB/s, %.0f ns CPU a byte\n",
                    g_perByte.bytesPerSecond / 1e6, g_perByte.cpuNanosecondsPerByte);
    return 0;
}
