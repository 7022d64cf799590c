// The station seen from afar, in the real program over a pseudo-terminal: its word to systemd
// on a notification socket of the test's own, /metrics read by Prometheus's own parser, and
// /health, while the window's thread turns and while it is held.
#include "AppTest.h"
#include "HttpGet.h"
#include "NotifySocket.h"

#include "app/Acknowledgements.h"
#include "app/CAlvetraApp.h"
#include "app/StationMonitor.h"
#include "doors/Doors.h"
#include "settings/GeneralSettings.h"
#include "tools/Pty.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace std::chrono_literals;

namespace {

// flt.dat passing handling 'a', region "0-" and source 'l'.
QByteArray FilterFile()
{
    QByteArray plain("\x01"
                     "a\x01\x00\x02"
                     "0-\x01"
                     "l\0\0\0\0",
                     13);
    for (char &byte : plain)
        byte = char(byte ^ 0xA7);
    return plain;
}

QByteArray Message(int number, char handling)
{
    return "\x01" + QByteArray::number(20000 + number) + "\x1f" + handling + "0-l9\x02"
           + "Storm warning " + QByteArray::number(number) + "\r\n\n    Body\x03 trailer\x04";
}

// The samples of a text in the exposition format as Prometheus's Python client parses it:
// "name{label=value,...}" to the value. Empty, with the parser's complaint in `error`, when it
// rejects the text.
QMap<QString, double> ParsedMetrics(const QByteArray &text, QString *error)
{
    QProcess python;
    python.start("/usr/bin/python3",
                 {"-c",
                  "import sys\n"
                  "from prometheus_client.parser import text_string_to_metric_families\n"
                  "for family in text_string_to_metric_families(sys.stdin.read()):\n"
                  "    for s in family.samples:\n"
                  "        labels = ','.join(k + '=' + v for k, v in sorted(s.labels.items()))\n"
                  "        print(s.name + '{' + labels + '}', repr(s.value))\n"});
    python.write(text);
    python.closeWriteChannel();
    QMap<QString, double> samples;
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        *error = QString::fromUtf8(python.readAllStandardError());
        return samples;
    }
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
        const qsizetype space = line.lastIndexOf(' ');
        if (space > 0)
            samples.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1).toDouble());
    }
    return samples;
}

bool HavePrometheusParser()
{
    return QProcess::execute("/usr/bin/python3", {"-c", "import prometheus_client.parser"}) == 0;
}

int OpenDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}

} // namespace

class StationMonitorTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<NotifySocket> m_systemd;
    std::unique_ptr<Pty> m_line = std::make_unique<Pty>();
    Pty &Input() { return *m_line; }

    quint16 Port() const { return CAlvetraApp::Instance()->Monitor()->ListeningPort(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_systemd = std::make_unique<NotifySocket>(m_dir.filePath("notify"));
        QVERIFY(m_systemd->IsBound());
        qputenv("NOTIFY_SOCKET", QFile::encodeName(m_dir.filePath("notify")));
        // A second, so that a test sees the pings stop in a few.
        qputenv("WATCHDOG_USEC", "1000000");
        QFile filter("flt.dat");
        QVERIFY(filter.open(QIODevice::WriteOnly) && filter.write(FilterFile()) == 13);
        filter.close();
        QVERIFY(QDir().mkpath(QCoreApplication::applicationDirPath() + "/Received"));
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Settings/Sendtoport", 0);
        store.setValue("Settings/Sendtofile", 1);
        store.setValue("Settings/Sendtoprinter", 0);
        store.setValue("Ports/COM2", m_dir.filePath("adapter"));
        store.setValue("Monitor/Listen", "127.0.0.1:0");
        store.sync();
        QVERIFY(QFile::link(Input().DevicePath(), m_dir.filePath("adapter")));
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        QVERIFY(GetInPort().IsDeviceOpen());
        QVERIFY(Port() != 0);
    }

    void systemdHearsReadyTheStatusPanesAndPings()
    {
        QTRY_COMPARE(m_systemd->Times("READY=1").size(), 1);
        QTRY_VERIFY(m_systemd->Last("STATUS=").startsWith("STATUS=Input COM2: "));
        QVERIFY(m_systemd->Last("STATUS=").contains("; Output COM"));
        QTRY_VERIFY(m_systemd->Times("WATCHDOG=1").size() >= 2);
    }

    void metricsCountTheFramesSentAsPrometheusReadsThem()
    {
        if (!HavePrometheusParser())
            QSKIP("python3-prometheus-client is not installed (scripts/setup.sh test)");
        QString error;
        const QMap<QString, double> before
            = ParsedMetrics(HttpGet(Port(), "/metrics").body, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // The passed ones wait for an operator, and are counted so.
        GetGeneralSettings().m_alerts.m_acknowledge = true;
        const auto switchOff = qScopeGuard([] {
            CAlvetraApp::Instance()->GetAcknowledgements().AcknowledgeAll(AcknowledgedFrom::Window);
            GetGeneralSettings().m_alerts.m_acknowledge = false;
        });
        QByteArray bytes;
        for (int i = 0; i < 7; ++i)
            bytes += Message(i, 'a'); // passes
        for (int i = 7; i < 10; ++i)
            bytes += Message(i, 'b'); // filtered on its handling
        QVERIFY(Input().WriteAll(bytes));
        QMap<QString, double> samples;
        const auto added
            = [&](const char *name) { return samples.value(name) - before.value(name); };
        QTRY_VERIFY_WITH_TIMEOUT((samples = ParsedMetrics(HttpGet(Port(), "/metrics").body, &error),
                                  added("alvetra_frames_total{fate=filtered}") == 3),
                                 20000);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(added("alvetra_frames_total{fate=passed}"), 7.0);
        QCOMPARE(added("alvetra_frames_total{fate=malformed}"), 0.0);
        QCOMPARE(added("alvetra_passed_messages_total{handling=a}"), 7.0);
        QVERIFY(!samples.contains("alvetra_passed_messages_total{handling=b}"));
        QCOMPARE(added("alvetra_input_bytes_total{}"), double(bytes.size()));
        QCOMPARE(samples.value("alvetra_line_state{com=2,line=input,state=up}"), 1.0);
        QCOMPARE(samples.value("alvetra_line_state{com=2,line=input,state=reconnecting}"), 0.0);
        QVERIFY(samples.value("alvetra_last_passed_message_timestamp_seconds{}") > 0);
        QTRY_VERIFY((samples = ParsedMetrics(HttpGet(Port(), "/metrics").body, &error),
                     samples.value("alvetra_alerts_waiting{}") == 7));
        QCOMPARE(samples.value("alvetra_alerts_escalated{}"), 0.0);
        QVERIFY(samples.value("alvetra_oldest_waiting_alert_timestamp_seconds{}") > 0);
        // No [Central] group: nothing ships.
        QCOMPARE(samples.value("alvetra_central_state{state=off}"), 1.0);
        QCOMPARE(samples.value("alvetra_central_rows_waiting{}"), 0.0);
        // Nothing of a message's text or header.
        const QByteArray text = HttpGet(Port(), "/metrics").body;
        QVERIFY(!text.contains("Storm") && !text.contains("20001"));
    }

    void healthTurns503WhileTheLineIsLostAndBack()
    {
        QTRY_COMPARE(HttpGet(Port(), "/health").status, 200);
        Input().CloseFarEnd();
        QFile::remove(m_dir.filePath("adapter"));
        QTRY_COMPARE(HttpGet(Port(), "/health").status, 503);
        const HttpAnswer down = HttpGet(Port(), "/health");
        const QJsonObject body = QJsonDocument::fromJson(down.body).object();
        QCOMPARE(body.value("status").toString(), "failing");
        QVERIFY2(down.body.contains("the input line COM2 is not open and reading"), down.body);

        auto replugged = std::make_unique<Pty>();
        QVERIFY(QFile::link(replugged->DevicePath(), m_dir.filePath("adapter")));
        QTRY_VERIFY_WITH_TIMEOUT(GetInPort().IsDeviceOpen(), 10000);
        QTRY_COMPARE(HttpGet(Port(), "/health").status, 200);
        QCOMPARE(QJsonDocument::fromJson(HttpGet(Port(), "/health").body)
                     .object()
                     .value("status")
                     .toString(),
                 "ok");
        // The test's line from here on.
        m_line = std::move(replugged);
    }

    void whileTheWindowsThreadIsHeldPingsStopAndHealthSaysSo()
    {
        QTRY_COMPARE(HttpGet(Port(), "/health").status, 200);
        constexpr auto kHold = 6500ms;
        const auto watchdog = 1s;
        HttpAnswer health;
        HttpAnswer metrics;
        std::atomic<bool> released{false};
        const Clock::time_point heldAt = Clock::now();
        // From another thread: the window's is held, and answers nothing meanwhile.
        std::thread asker([&] {
            std::this_thread::sleep_until(heldAt + 5500ms);
            health = HttpGet(Port(), "/health");
            metrics = HttpGet(Port(), "/metrics");
        });
        QMetaObject::invokeMethod(
            qApp,
            [&] {
                std::this_thread::sleep_until(heldAt + kHold);
                released = true;
            },
            Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(released, 20000);
        asker.join();
        const Clock::time_point releasedAt = Clock::now();

        // The pings stopped within one period of the hold (and one more, for a look a loaded
        // machine ran late), and come again after it.
        const QList<Clock::time_point> late = m_systemd->Times("WATCHDOG=1", heldAt + 2 * watchdog);
        QVERIFY2(late.isEmpty() || late.first() >= heldAt + kHold,
                 qPrintable(QString::number(
                     std::chrono::duration<double>(late.value(0) - heldAt).count())));
        QTRY_VERIFY(!m_systemd->Times("WATCHDOG=1", releasedAt).isEmpty());

        QCOMPARE(health.status, 503);
        QVERIFY2(health.body.contains("the window's thread has not answered for 5 s"), health.body);
        QCOMPARE(metrics.status, 200);
        const qsizetype stallAt = metrics.body.indexOf("\nalvetra_window_stall_seconds ");
        QVERIFY(stallAt > 0);
        QVERIFY2(metrics.body.mid(stallAt + 30, 10).toDouble() >= 5.0, metrics.body.mid(stallAt));
        QTRY_COMPARE(HttpGet(Port(), "/health").status, 200);
    }

    // A client holding a thousand connections takes neither the program's descriptors nor its
    // line: a message that comes meanwhile is filed.
    void aMessageIsFiledWhileAThousandConnectionsAreHeld()
    {
        const int before = OpenDescriptors();
        QProcess holder;
        holder.start("/usr/bin/python3", {"-c",
                                          "import socket, sys\n"
                                          "held = []\n"
                                          "for i in range(1000):\n"
                                          "    c = socket.socket()\n"
                                          "    c.connect(('127.0.0.1', int(sys.argv[1])))\n"
                                          "    held.append(c)\n"
                                          "print('held', flush=True)\n"
                                          "sys.stdin.read()\n",
                                          QString::number(Port())});
        const auto release = qScopeGuard([&holder] {
            holder.closeWriteChannel();
            holder.waitForFinished(10000);
        });
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += holder.readAllStandardOutput()).contains("held"),
                                  qPrintable(holder.readAllStandardError()), 60000);
        // The server's connections, and the pipes to the holder.
        QVERIFY2(OpenDescriptors() <= before + 64 + 6,
                 qPrintable(QString::number(OpenDescriptors() - before)));

        const QDir received(QCoreApplication::applicationDirPath() + "/Received");
        // The folder is the test program's, and outlives a run.
        for (const QString &file : received.entryList({"20099*"}, QDir::Files))
            QVERIFY(QFile::remove(received.filePath(file)));
        QVERIFY(Input().WriteAll(Message(99, 'a')));
        QTRY_VERIFY_WITH_TIMEOUT(!received.entryList({"20099*"}, QDir::Files).isEmpty(), 20000);
        // The server's connections, and the pipes to the holder.
        QVERIFY2(OpenDescriptors() <= before + 64 + 6,
                 qPrintable(QString::number(OpenDescriptors() - before)));
    }
};

ALVETRA_APP_TEST_MAIN(StationMonitorTest)
#include "tst_stationmonitor.moc"
