// alvetra-linesim: a serial line with an EDIS receiver behind it, for trying Alvetra without
// one. It opens a pseudo-terminal pair, prints the device to give Alvetra and, once Alvetra
// has opened it, sends EDIS messages at the pace of a real line. It can also open a second
// line and write whatever Alvetra forwards there into a file.
#include "tools/Pty.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kSoh = 0x01;
constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kEot = 0x04;
constexpr char kTfi = 0x1F;
constexpr char kCr = 0x0D;

std::atomic<bool> g_quit = false;

void OnSignal(int)
{
    g_quit = true;
}

struct Message
{
    QByteArray bytes;
    QByteArray label;
};

QByteArray Edis(const QByteArray &serial,
                char handling,
                const QByteArray &region,
                char source,
                const QByteArray &headline,
                const QByteArray &body,
                const QByteArray &trailer)
{
    return kSoh + serial + kTfi + handling + region + source + '9' + kStx + headline + kCr
           + "\n    " + body + kEtx + trailer + kEot;
}

// Every handling, region and source code at least once, line noise between messages, and each
// kind of damage the receiver has to cope with.
QList<Message> BuiltInSet()
{
    static const char handlings[] = "abcde";
    static const char *const regions[]
        = {"0-", "1a", "1b", "2a", "2b", "2c", "3-", "4a", "4b", "5a", "5b", "6a", "6b", "6c"};
    static const char sources[] = "loqscw";
    static const char *const headlines[] = {
        "Severe storm warning",         "Flood alert for the river valley",
        "Road closed after landslide",  "Forest fire: evacuate the north slope",
        "Drinking water advisory",      "Heat wave: check on the elderly",
        "Chemical release at the port", "Power cut in the eastern district",
        "Avalanche danger level 4",     "Missing person near the lake",
        "Gas leak on the main street",  "Bridge closed for inspection",
        "Tsunami watch lifted",         "Air quality warning",
    };
    QList<Message> set;
    const int count = int(std::size(regions));
    for (int i = 0; i < count; ++i) {
        const char handling = handlings[i % 5];
        const char source = sources[i % 6];
        const QByteArray serial = QByteArray::number(10001 + i);
        const QByteArray body = "Issued by the regional office. Follow the instructions of the "
                                "authorities.\r\nMessage "
                                + QByteArray::number(i + 1) + " of the simulated series.";
        set.append(
            {Edis(serial, handling, regions[i], source, headlines[i], body,
                  "0930 " + QByteArray::number(7 + i) + "DEC"),
             QByteArray("handling ") + handling + ", region " + regions[i] + ", source " + source});
        // Noise between messages: never an SOH, anything else goes.
        static const char noise[] = "\r\n\0\x7f line noise \xff\xfe\x04\x03\r\n";
        set.append({QByteArray(noise, sizeof noise - 1), "line noise"});
    }
    set.append({Edis("10101", 'a', "1a", 'l', "Caf\xe9 fire: smoke over the old town",
                     "Windows closed, please. \xc4rger f\xfcr Anwohner.", "1200 8DEC"),
                "8-bit characters"});
    set.append({Edis("10102", 'b', "2b", 'o', "Zero byte in the body",
                     QByteArray("before\0after", 12), "1201 8DEC"),
                "a zero byte in the body"});
    set.append({Edis("10103", 'z', "9x", 'w', "Unknown codes", "Filtered out.", "1202 8DEC"),
                "codes no filter allows"});
    set.append({kSoh + QByteArray("10104 no header delimiter at all") + kEot,
                "malformed: no TFI delimiter"});
    set.append({kSoh + QByteArray("10105") + kTfi + "a1" + kEot, "malformed: too short"});
    set.append({kSoh + QByteArray("10106") + kTfi + "a0-l9 headline without STX" + kCr
                    + "\n    body" + kEtx + kEot,
                "malformed: no STX"});
    set.append(
        {kSoh + QByteArray("10107") + kTfi + "a0-l9" + kStx + "headline without CR" + kEtx + kEot,
         "malformed: no CR after the headline"});
    set.append({kSoh + QByteArray("10108") + kTfi + "a0-l9" + kStx + "headline" + kCr
                    + "\n    body without ETX" + kEot,
                "malformed: no ETX"});
    set.append({QByteArray("\x01"
                           "10109 cut off by a second SOH ")
                    + Edis("10110", 'c', "3-", 's', "After the cut", "Still framed.", "1203 8DEC"),
                "an unfinished message, then a whole one"});
    return set;
}

void Say(const QString &text)
{
    std::fprintf(stderr, "alvetra-linesim: %s\n", qPrintable(text));
}

// Waits until some program has the line open, then a little longer: it purges what came
// before it was ready.
bool WaitForReader(Pty &line)
{
    if (line.DeviceInUse())
        return true;
    Say(QStringLiteral("waiting for Alvetra to open %1").arg(line.DevicePath()));
    while (!g_quit && !line.DeviceInUse())
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(500ms);
    if (!g_quit)
        Say(QStringLiteral("%1 is open, sending").arg(line.DevicePath()));
    return !g_quit;
}

// Sends `bytes` no faster than `baud` (ten bits a byte); 0 means as fast as the line takes.
bool Send(Pty &line, QByteArrayView bytes, int baud, Clock::time_point &due)
{
    const qsizetype chunk = baud > 0 ? std::max(1, baud / 10 / 100) : bytes.size();
    while (!bytes.isEmpty() && !g_quit) {
        if (!WaitForReader(line))
            return false;
        const QByteArrayView piece = bytes.first(std::min(chunk, bytes.size()));
        if (!line.WriteAll(piece, 1000ms))
            continue; // the reader went away mid-piece; start the piece again once it is back
        bytes = bytes.sliced(piece.size());
        if (baud > 0) {
            due += std::chrono::microseconds(piece.size() * 10 * 1'000'000 / baud);
            std::this_thread::sleep_until(due);
        }
    }
    return !g_quit;
}

void Capture(Pty &line, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        Say(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return;
    }
    while (!g_quit) {
        if (!line.DeviceInUse()) {
            std::this_thread::sleep_for(100ms);
            continue;
        }
        if (line.WaitReadable(200ms)) {
            file.write(line.ReadAvailable());
            file.flush();
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("alvetra-linesim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Opens a pseudo-terminal as a serial line and sends EDIS messages on it. Prints\n"
        "\"input <device>\" (and \"output <device>\" with --capture) on standard output:\n"
        "give Alvetra the device, for example with [Ports] COM2=<device> in\n"
        "Dorvane/Alvetra.conf."));
    parser.addHelpOption();
    const QCommandLineOption baudOption(
        QStringLiteral("baud"), QStringLiteral("Line speed, ten bits a byte; 0 for unpaced."),
        QStringLiteral("baud"), QStringLiteral("9600"));
    const QCommandLineOption fileOption(QStringLiteral("file"),
                                        QStringLiteral("Send the bytes of this file as they are, "
                                                       "instead of the built-in messages."),
                                        QStringLiteral("file"));
    const QCommandLineOption repeatOption(
        QStringLiteral("repeat"), QStringLiteral("Send the set this many times; 0 for ever."),
        QStringLiteral("count"), QStringLiteral("1"));
    const QCommandLineOption pauseOption(QStringLiteral("pause"),
                                         QStringLiteral("Pause between messages."),
                                         QStringLiteral("milliseconds"), QStringLiteral("0"));
    const QCommandLineOption captureOption(
        QStringLiteral("capture"),
        QStringLiteral("Open a second line and append what arrives on it to this file."),
        QStringLiteral("file"));
    const QCommandLineOption stayOption(
        QStringLiteral("stay"), QStringLiteral("Keep the lines open after the last message."));
    parser.addOptions(
        {baudOption, fileOption, repeatOption, pauseOption, captureOption, stayOption});
    parser.process(app);

    bool ok = false;
    const int baud = parser.value(baudOption).toInt(&ok);
    if (!ok || baud < 0) {
        Say(QStringLiteral("--baud wants a number of baud, 0 or more"));
        return 2;
    }
    const int repeat = parser.value(repeatOption).toInt(&ok);
    if (!ok || repeat < 0) {
        Say(QStringLiteral("--repeat wants a count, 0 or more"));
        return 2;
    }
    const int pause = parser.value(pauseOption).toInt(&ok);
    if (!ok || pause < 0) {
        Say(QStringLiteral("--pause wants milliseconds, 0 or more"));
        return 2;
    }

    QList<Message> messages;
    if (parser.isSet(fileOption)) {
        QFile file(parser.value(fileOption));
        if (!file.open(QIODevice::ReadOnly)) {
            Say(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
            return 1;
        }
        messages.append({file.readAll(), file.fileName().toLocal8Bit()});
    } else {
        messages = BuiltInSet();
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    Pty input;
    if (!input.IsOpen()) {
        Say(QStringLiteral("cannot open a pseudo-terminal"));
        return 1;
    }
    input.ReleaseDevice();
    std::printf("input %s\n", qPrintable(input.DevicePath()));

    Pty output;
    std::thread capture;
    if (parser.isSet(captureOption)) {
        if (!output.IsOpen()) {
            Say(QStringLiteral("cannot open a second pseudo-terminal"));
            return 1;
        }
        output.ReleaseDevice();
        std::printf("output %s\n", qPrintable(output.DevicePath()));
        capture = std::thread(Capture, std::ref(output), parser.value(captureOption));
    }
    std::fflush(stdout);

    Clock::time_point due = Clock::now();
    for (int round = 0; !g_quit && (repeat == 0 || round < repeat); ++round) {
        for (const Message &message : std::as_const(messages)) {
            if (!Send(input, message.bytes, baud, due))
                break;
            if (message.label != "line noise")
                Say(QStringLiteral("sent %1").arg(QString::fromLocal8Bit(message.label)));
            if (pause > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                due = Clock::now();
            }
        }
    }
    while (parser.isSet(stayOption) && !g_quit)
        std::this_thread::sleep_for(100ms);
    // Closing the line at once would hang up on bytes the reader has not taken yet.
    for (int wait = 0; wait < 20 && !g_quit && input.DeviceInUse(); ++wait)
        std::this_thread::sleep_for(100ms);
    g_quit = true;
    if (capture.joinable())
        capture.join();
    return 0;
}
