// The station's monitoring under strain: how long /health and /metrics take to answer while the
// window's thread is held for 10 s, and while 200 idle connections are held open; and how soon
// after the window's thread is held the watchdog's pings stop. The real application object
// runs in this process on a pseudo-terminal, with its settings in a temporary folder and a
// notification socket of its own standing in for systemd; a client thread asks over loopback.
//   build/bench/measure_monitor [watchdog seconds, default 2]
#include "HttpGet.h"
#include "NotifySocket.h"

#include "app/CAlvetraApp.h"
#include "app/StationMonitor.h"
#include "tools/Pty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Times
{
    std::vector<double> ms;
    int notOk = 0;
    int unanswered = 0;
};

void Ask(quint16 port, const QByteArray &path, Times &times)
{
    const auto start = Clock::now();
    const HttpAnswer answer = HttpGet(port, path);
    times.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (answer.status == 0)
        ++times.unanswered;
    else if (answer.status != 200)
        ++times.notOk;
}

void Print(const char *what, Times &times)
{
    std::sort(times.ms.begin(), times.ms.end());
    const double median = times.ms.empty() ? 0 : times.ms[times.ms.size() / 2];
    const double worst = times.ms.empty() ? 0 : times.ms.back();
    std::printf("  %-9s %4zu asked, median %6.2f ms, worst %6.2f ms, %d not 200, %d unanswered\n",
                what, times.ms.size(), median, worst, times.notOk, times.unanswered);
}

// Asks /health and /metrics in turn, every 20 ms, until `stop`.
void AskUntil(quint16 port, const std::atomic<bool> &stop, Times &health, Times &metrics)
{
    while (!stop) {
        Ask(port, "/health", health);
        Ask(port, "/metrics", metrics);
        std::this_thread::sleep_for(20ms);
    }
}

void RunEventsFor(std::chrono::milliseconds span)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < span.count())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

} // namespace

int main(int argc, char *argv[])
{
    const double watchdogSeconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")));
    qputenv("NOTIFY_SOCKET", QFile::encodeName(dir.filePath("notify")));
    qputenv("WATCHDOG_USEC", QByteArray::number(qint64(watchdogSeconds * 1e6)));
    QDir::setCurrent(dir.path());
    QFile filter("flt.dat");
    if (filter.open(QIODevice::WriteOnly))
        filter.write(QByteArray(8, char(0xA7)));
    filter.close();
    NotifySocket systemd(dir.filePath("notify"));
    Pty input;

    CAlvetraApp app(argc, argv);
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Journal/Enabled", false);
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Settings/Sendtoport", 0);
        store.setValue("Settings/Sendtofile", 0);
        store.setValue("Settings/Sendtoprinter", 0);
        store.setValue("Ports/COM2", input.DevicePath());
        store.setValue("Monitor/Listen", "127.0.0.1:0");
    }
    if (!app.InitInstance({"alvetra"}))
        return 1;
    const quint16 port = app.Monitor()->ListeningPort();
    RunEventsFor(3s);
    std::printf("Watchdog period %.1f s; pings before the hold: %lld\n", watchdogSeconds,
                static_cast<long long>(systemd.Times("WATCHDOG=1").size()));

    {
        Times health, metrics;
        std::atomic<bool> stop{false};
        std::thread asker([&] { AskUntil(port, stop, health, metrics); });
        const Clock::time_point heldAt = Clock::now();
        // The window's thread held, as a hang would hold it.
        std::this_thread::sleep_for(10s);
        stop = true;
        asker.join();
        const QList<Clock::time_point> pings = systemd.Times("WATCHDOG=1", heldAt);
        const QList<Clock::time_point> late = systemd.Times(
            "WATCHDOG=1", heldAt + std::chrono::milliseconds(qint64(watchdogSeconds * 1000)));
        std::printf("Window's thread held for 10 s:\n");
        Print("/health", health);
        Print("/metrics", metrics);
        if (pings.isEmpty())
            std::printf("  watchdog: no ping after the hold began (period %.1f s)\n",
                        watchdogSeconds);
        else
            std::printf("  watchdog: last ping %.2f s after the hold began (period %.1f s), "
                        "%lld past one period\n",
                        std::chrono::duration<double>(pings.last() - heldAt).count(),
                        watchdogSeconds, static_cast<long long>(late.size()));
    }
    RunEventsFor(2s);

    {
        std::vector<int> idle;
        for (int i = 0; i < 200; ++i)
            idle.push_back(ConnectLocal(port));
        Times health, metrics;
        std::atomic<bool> stop{false};
        std::thread asker([&] { AskUntil(port, stop, health, metrics); });
        RunEventsFor(10s);
        stop = true;
        asker.join();
        std::printf("200 idle connections held open, window's thread free:\n");
        Print("/health", health);
        Print("/metrics", metrics);
        for (const int fd : idle)
            if (fd >= 0)
                ::close(fd);
    }
    return 0;
}
