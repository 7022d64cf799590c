// The input line while a long forward runs: a passed message of about 3 KB is forwarded with the
// default recover time of 1000 ms (five pauses), while the receiver keeps sending at 9600 baud
// (960 bytes a second). Measures, on the real program over pseudo-terminals, the most bytes that
// ever wait unread at the device Alvetra opened (FIONREAD, as Pty::QueuedAtDevice reads it) and
// the longest the window's event loop went without answering a 10 ms timer.
//   build-bench/bench/measure_busyline
#include "app/CAlvetraApp.h"
#include "app/CAlvetraView.h"
#include "doors/Doors.h"
#include "serial/SerialPort.h"
#include "settings/FilterSettings.h"
#include "settings/GeneralSettings.h"
#include "tools/Pty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr qsizetype kBytesPerSecond = 960;
constexpr auto kTick = 50ms;

// A passed message whose output text is a little over 3 KB: six pieces of 510, five pauses.
QByteArray LongMessage()
{
    QByteArray body;
    while (body.size() < 3000)
        body += "Severe storm warning for the coast, gusts of 120 km/h from 18:00. ";
    return "\x01"
           "10001\x1f"
           "a1al9\x02Severe storm warning\r"
           + body + "\x03" + "0930 7DEC\x04";
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath("config")));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QDir::setCurrent(scratch.path());
    Pty input;
    Pty output;
    {
        QFile filter("flt.dat");
        if (!filter.open(QIODevice::WriteOnly))
            return 1;
        filter.write(QByteArray(8, char(0xA7)));
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Settings/OutSerialPort", 1);
        store.setValue("Settings/Sendtoport", 1);
        store.setValue("Settings/Sendtofile", 0);
        store.setValue("Settings/Sendtoprinter", 0);
        store.setValue("Settings/SerialPortRecoverTime", 1000);
        store.setValue("Ports/COM2", input.DevicePath());
        store.setValue("Ports/COM1", output.DevicePath());
    }
    CAlvetraApp app(argc, argv);
    if (!app.InitInstance({"alvetra"}) || !GetInPort().IsRunning() || !GetOutPort().IsRunning())
        return 1;
    FilterSettings &filter = GetFilterSettings();
    filter.m_handling = "a";
    filter.AllowRegion("1a");
    filter.m_sources = "l";

    // The receiver: idle traffic at line speed, the long message inside it after a second.
    const QByteArray message = LongMessage();
    std::atomic<bool> stop = false;
    std::thread receiver([&] {
        QByteArray stream = QByteArray(kBytesPerSecond, 'x') + message;
        const qsizetype perTick = kBytesPerSecond * kTick.count() / 1000;
        auto next = std::chrono::steady_clock::now();
        for (qsizetype sent = 0; !stop; sent += perTick) {
            if (sent + perTick > stream.size())
                stream += QByteArray(perTick, 'x');
            input.WriteAll(QByteArrayView(stream).sliced(sent, perTick));
            next += kTick;
            std::this_thread::sleep_until(next);
        }
    });
    // The far end of the output line reads as a receiver on it would.
    std::atomic<qsizetype> forwarded = 0;
    std::atomic<int> mostWaiting = 0;
    std::thread watcher([&] {
        while (!stop) {
            mostWaiting = std::max(mostWaiting.load(), input.QueuedAtDevice());
            forwarded += output.ReadAvailable().size();
            std::this_thread::sleep_for(5ms);
        }
    });

    // The window's thread answers a 10 ms timer; the longest gap between two answers.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, &tick,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    sinceTick.start();
    tick.start();
    QElapsedTimer run;
    run.start();
    QTimer::singleShot(12s, &app, [] { QCoreApplication::quit(); });
    app.exec();
    stop = true;
    receiver.join();
    watcher.join();

    std::printf("output text forwarded: %lld bytes\n", static_cast<long long>(forwarded.load()));
    std::printf("most bytes waiting at the input device: %d (limit 512)\n", mostWaiting.load());
    std::printf("longest the window's event loop did not answer: %lld ms (limit 250)\n",
                static_cast<long long>(longestGap));
    return forwarded > 3000 && mostWaiting < 512 && longestGap < 250 ? 0 : 2;
}
