// The serial lines over real pseudo-terminal pairs, with the real program behind them.
#include "AppTest.h"

#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "dispatch/MessageDispatcher.h"
#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "receiver/MsgReciever.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"
#include "tools/Pty.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <thread>

#include <termios.h>
#include <time.h>

using namespace std::chrono_literals;

namespace {

constexpr char kSoh = 0x01;
constexpr char kEot = 0x04;

QByteArray Framed(const QByteArray &inside)
{
    return kSoh + inside + kEot;
}

void MapPort(int number, const QString &device)
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
    store.setValue(QStringLiteral("Ports/COM%1").arg(number), device);
    store.sync();
}

QString Log()
{
    return GetLogView()->toPlainText();
}

// What a port does with its line, as the status pane tells it.
QString State(const SerialPort &port)
{
    if (port.IsDeviceOpen())
        return "open";
    if (!port.ReconnectingSince().isNull())
        return "reconnecting";
    return port.IsRunning() ? "running without its device" : "stopped";
}

// An owner that keeps every run of bytes, one list per opening of the port.
class Recorder : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void OnSerialBytes(const QByteArray &bytes, int portNumber, const QDateTime &)
    {
        if (m_sessions.isEmpty())
            m_sessions.append(QByteArray());
        m_sessions.last() += bytes;
        m_lastPort = portNumber;
    }
    // The notices beside the bytes, as "event 2: detail" and "tag 7: sent".
    Q_INVOKABLE void OnSerialLineEvent(int, int event, const QString &detail, const QDateTime &)
    {
        m_notices.append(QStringLiteral("event %1: %2").arg(event).arg(detail));
    }
    Q_INVOKABLE void
    OnSerialMessageDone(int, quint64 tag, bool, const QString &result, const QDateTime &)
    {
        m_notices.append(QStringLiteral("tag %1: %2").arg(tag).arg(result));
    }
    Q_INVOKABLE void OnSerialBytesDropped(int, qint64 count, const QDateTime &)
    {
        m_notices.append(QStringLiteral("dropped %1").arg(count));
    }
    void NewSession() { m_sessions.append(QByteArray()); }
    qsizetype LastSessionSize() const
    {
        return m_sessions.isEmpty() ? 0 : m_sessions.last().size();
    }

    QList<QByteArray> m_sessions;
    QStringList m_notices;
    int m_lastPort = 0;
};

// Feeds the far end of a line as fast as it takes bytes: 0, 1, 2, ... 255, 0, 1, ...
class CountingWriter
{
public:
    explicit CountingWriter(Pty &line)
        : m_thread([this, &line] {
            QByteArray chunk(4096, 0);
            quint8 next = 0;
            while (!m_stop) {
                for (char &byte : chunk)
                    byte = char(next++);
                QByteArrayView rest(chunk);
                while (!rest.isEmpty() && !m_stop) {
                    const qsizetype written = line.WriteSome(rest);
                    if (written < 0)
                        return;
                    if (written == 0)
                        line.WaitWritable(20ms);
                    rest = rest.sliced(written);
                }
                // Whatever was cut short starts the next chunk where the count left off.
                next = quint8(next - quint8(rest.size()));
            }
        })
    {}
    ~CountingWriter()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

double ProcessCpuSeconds()
{
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

bool CountsUpWithoutRepeats(const QByteArray &bytes)
{
    for (qsizetype i = 1; i < bytes.size(); ++i) {
        if (quint8(bytes[i]) != quint8(quint8(bytes[i - 1]) + 1))
            return false;
    }
    return true;
}

} // namespace

class SerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_input.IsOpen() && m_output.IsOpen());
        QVERIFY(WriteEmptyFilterFile());

        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Settings/OutSerialPort", 1);
        store.setValue("Settings/Sendtoport", 1);
        store.sync();
        MapPort(2, m_input.DevicePath());
        MapPort(1, m_output.DevicePath());

        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        GetReceiver().SetMessageHandler(
            [this](const QByteArray &message, const QDateTime &) { m_messages.append(message); });
        QVERIFY(GetInPort().IsRunning());
        QVERIFY(GetOutPort().IsRunning());
    }

    void init() { m_messages.clear(); }

    void everyByteValueReachesTheReceiverInArrivalOrder()
    {
        QByteArray inside;
        for (int value = 0; value < 256; ++value) {
            if (value != kEot)
                inside.append(char(value));
        }
        QVERIFY(m_input.WriteAll(Framed(inside)));
        QTRY_COMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.first(), inside + kEot);
    }

    void bothLinesRunAt9600Baud8N1WithoutFlowControlAsTheFarEndSeesThem()
    {
        // Start from settings that differ in every point checked.
        for (Pty *line : {&m_input, &m_output}) {
            termios odd{};
            QVERIFY(line->GetLineSettings(&odd));
            cfsetspeed(&odd, B115200);
            odd.c_cflag = (odd.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
            odd.c_iflag |= IXON | IXOFF;
            QVERIFY(line->SetLineSettings(odd));
        }
        GetLogView()->OnInitialUpdate();
        for (Pty *line : {&m_input, &m_output}) {
            termios seen{};
            QVERIFY(line->GetLineSettings(&seen));
            QCOMPARE(cfgetispeed(&seen), speed_t(B9600));
            QCOMPARE(cfgetospeed(&seen), speed_t(B9600));
            QCOMPARE(seen.c_cflag & CSIZE, tcflag_t(CS8));
            QCOMPARE(seen.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
            QCOMPARE(seen.c_iflag & (IXON | IXOFF), tcflag_t(0));
        }
    }

    void forwardedPiecesKeepTheRecoverTimeWhenTheFarEndAnswersEachOne()
    {
        GeneralSettings &settings = GetGeneralSettings();
        const GeneralSettings saved = settings;
        constexpr auto kRecover = 400ms;
        settings.m_recoverTime = int(kRecover.count());
        settings.m_sendToPort = 1;
        EdisMessage message;
        message.m_outputText = QByteArray(1196, 'p'); // pieces of 510, 510 and 176
        m_output.ReadAvailable();

        // The far end answers every run it reads with an ACK, as many receivers do, and notes
        // when the first byte of each piece came.
        using Clock = std::chrono::steady_clock;
        std::vector<Clock::time_point> pieceCame;
        std::atomic<bool> done = false;
        std::thread farEnd([&] {
            const auto deadline = Clock::now() + 10s;
            qsizetype got = 0;
            while (got < message.m_outputText.size() && Clock::now() < deadline) {
                m_output.WaitReadable(20ms);
                const QByteArray bytes = m_output.ReadAvailable();
                if (bytes.isEmpty())
                    continue;
                for (const qsizetype start : {0, 510, 1020}) {
                    if (got <= start && start < got + bytes.size())
                        pieceCame.push_back(Clock::now());
                }
                got += bytes.size();
                m_output.WriteAll("\x06");
            }
            done = true;
        });
        QVERIFY(MessageDispatcher(&message).SendToPort());
        QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
        farEnd.join();
        settings = saved;

        QCOMPARE(pieceCame.size(), size_t(3));
        // A quarter off for the time one write takes to reach the far end.
        for (size_t i = 1; i < pieceCame.size(); ++i)
            QVERIFY2(pieceCame[i] - pieceCame[i - 1] >= kRecover * 3 / 4,
                     qPrintable(QString::number(i)));
    }

    void aMessageArrivingDuringALongForwardIsHandledBeforeTheForwardEnds()
    {
        GeneralSettings &settings = GetGeneralSettings();
        const GeneralSettings saved = settings;
        const auto restore = qScopeGuard([&] { settings = saved; });
        settings.m_recoverTime = 1000;
        EdisMessage forwarded;
        forwarded.m_outputText = QByteArray(3000, 'f'); // five full pieces, five pauses
        m_output.ReadAvailable();

        QVERIFY(MessageDispatcher(&forwarded).SendToPort());
        QVERIFY(m_input.WriteAll(Framed("during the forward")));
        QByteArray out;
        QTRY_VERIFY((out += m_output.ReadAvailable(), m_messages.size() == 1));
        QVERIFY2(out.size() < forwarded.m_outputText.size(),
                 qPrintable(QString::number(out.size())));
        QTRY_VERIFY_WITH_TIMEOUT(
            (out += m_output.ReadAvailable()).size() >= forwarded.m_outputText.size(), 15000);
        QCOMPARE(out, forwarded.m_outputText);
    }

    void bytesBeyondTheInputBoundAreCountedAndTheMessageTheyCutIsDiscarded()
    {
        SerialPort &port = GetInPort();
        port.SetInputBound(1000);
        const auto restore = qScopeGuard([&] { port.SetInputBound(InputQueue::kDefaultBound); });
        const QString before = Log();

        // The window's thread stays busy here while the line's thread takes everything.
        const auto drained = [this] {
            while (m_input.QueuedAtDevice() > 0)
                std::this_thread::sleep_for(1ms);
        };
        QVERIFY(m_input.WriteAll(kSoh + QByteArray(99, 'o')));
        drained();
        QVERIFY(m_input.WriteAll(QByteArray(2000, 'y')));
        drained();
        QTRY_VERIFY(Log().mid(before.size()).contains("dropped"));

        QVERIFY(m_input.WriteAll(Framed("whole")));
        QTRY_COMPARE(m_messages, QList<QByteArray>{"whole\x04"});
        const QString added = Log().mid(before.size());
        const QRegularExpression gap("^\nError:->The input line COM2 brought more than Alvetra "
                                     "could hold while it was busy: (\\d+) bytes were dropped, "
                                     "and the message they cut was discarded.$");
        const QRegularExpressionMatch match = gap.match(added);
        QVERIFY2(match.hasMatch(), qPrintable(added));
        // Nothing is taken again until half the bound is free, and the window took nothing.
        QVERIFY2(match.captured(1).toInt() > 1000, qPrintable(added));
    }

    void aLineReadAFewBytesAtATimeHoldsLittleMoreThanItsBytesWhileTheWindowIsBusy()
    {
        Pty line;
        MapPort(8, line.DevicePath());
        Recorder recorder;
        SerialPort port;
        port.Configure(&recorder, 8, 9600, 'N', 8, 0, 9, 512);
        // Room for the bytes many times over, not for a read buffer of Qt's for every run.
        constexpr int kRuns = 3000;
        constexpr qint64 kBound = 1024 * 1024;
        port.SetInputBound(kBound);
        QVERIFY(port.OpenPort());
        QVERIFY(port.StartThread());

        // The window's thread takes nothing meanwhile, as an adapter at 9600 baud hands over
        // a few bytes at a time.
        QByteArray sent;
        for (int run = 0; run < kRuns; ++run) {
            QByteArray bytes;
            for (int i = 0; i < 5; ++i)
                bytes.append(char(sent.size() + i));
            QVERIFY(line.WriteAll(bytes));
            while (line.QueuedAtDevice() > 0)
                std::this_thread::sleep_for(100us);
            sent += bytes;
        }
        const qint64 held = port.InputHeld();
        QVERIFY2(held >= sent.size() && held <= kBound, qPrintable(QString::number(held)));

        QTRY_COMPARE(recorder.LastSessionSize(), sent.size());
        QCOMPARE(recorder.m_sessions.last(), sent);
        QVERIFY2(recorder.m_notices.isEmpty(), qPrintable(recorder.m_notices.join(", ")));
        // A count that drifted would leave the queue full for ever, and the line deaf.
        QCOMPARE(port.InputHeld(), 0);
        port.StopThread();
    }

    void aFragmentLeftOpenAcrossASilenceIsDroppedAndTheNextMessagePasses()
    {
        GetReceiver().SetFragmentSilence(300ms);
        const auto restore = qScopeGuard(
            [] { GetReceiver().SetFragmentSilence(MessageReceiver::kFragmentSilence); });
        const QString before = Log();
        QVERIFY(m_input.WriteAll(kSoh
                                 + QByteArray("\x1f"
                                              "a1al9\x02"
                                              "cut off")));
        QTRY_COMPARE(m_input.QueuedAtDevice(), 0);
        // The receiver goes quiet, as one switched off does, and comes back.
        QTest::qWait(400);
        QVERIFY(m_input.WriteAll(Framed("after the silence")));
        QTRY_COMPARE(m_messages, QList<QByteArray>{"after the silence\x04"});
        const QString added = Log().mid(before.size());
        QVERIFY2(added.count("Warning:->") == 1 && added.contains("its 15 bytes were dropped"),
                 qPrintable(added));

        // Within a message on a live line a SOH stays data.
        QVERIFY(m_input.WriteAll(kSoh + QByteArray("one")));
        QVERIFY(m_input.WriteAll(Framed("two")));
        QTRY_COMPARE(m_messages.size(), 2);
        QCOMPARE(m_messages.last(), QByteArray("one\x01two\x04"));
    }

    void bytesFromTheOutputPortNeverReachTheReceiver()
    {
        QVERIFY(m_output.WriteAll(Framed("from the output line")));
        QTRY_COMPARE(m_output.QueuedAtDevice(), 0);
        QVERIFY(m_input.WriteAll(Framed("first")));
        QVERIFY(m_input.WriteAll(Framed("second")));
        QTRY_COMPARE(m_messages.size(), 2);
        QCOMPARE(m_messages, QList<QByteArray>({"first\x04", "second\x04"}));
    }

    void aNewInputNumberLeavesTheOpenLinePassingUntilThePortsReopen()
    {
        // As the General Settings dialog leaves it on OK: the number changed, the ports not.
        GetGeneralSettings().m_inSerialPort = 3;
        const auto restore = qScopeGuard([] { GetGeneralSettings().m_inSerialPort = 2; });
        QVERIFY(m_input.WriteAll(Framed("still on the old line")));
        QTRY_COMPARE(m_messages.size(), 1);
    }

    void aPortThatCannotBeOpenedGivesTheViewsLineAndIsTriedAgain_data()
    {
        QTest::addColumn<int>("input");
        QTest::addColumn<int>("output");
        QTest::addColumn<bool>("sendToPort");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("inputState");
        QTest::addColumn<QString>("outputState");

        const QString input = "Error:->Could not initialize the input com port (com%1).\n"
                              "Other devices may be using it or it does not exist.";
        const QString output = "Error:->Could not initialize the output com port (com%1).\n"
                               "Other devices may be using it or it does not exist.";
        QTest::newRow("device-missing") << 7 << 1 << false << input.arg(7) << "reconnecting"
                                        << "open";
        QTest::newRow("output-device-missing") << 2 << 7 << true << output.arg(7) << "open"
                                               << "reconnecting";
        // A setting to change, not an outage to wait out.
        QTest::newRow("device-taken-by-the-other-port") << 2 << 2 << true << output.arg(2) << "open"
                                                        << "stopped";
        QTest::newRow("device-taken-by-another-program")
            << 5 << 1 << false << input.arg(5) << "reconnecting"
            << "open";
        QTest::newRow("output-switched-off-is-left-alone") << 2 << 7 << false << QString() << "open"
                                                           << "open";
        // The running output port holds the device the input is to take over.
        QTest::newRow("numbers-swapped") << 1 << 2 << true << QString() << "open"
                                         << "open";
        QTest::newRow("numbers-swapped-output-switched-off")
            << 1 << 2 << false << QString() << "open"
            << "stopped";
    }

    void aPortThatCannotBeOpenedGivesTheViewsLineAndIsTriedAgain()
    {
        QFETCH(int, input);
        QFETCH(int, output);
        QFETCH(bool, sendToPort);
        QFETCH(QString, line);

        MapPort(7, "/dev/alvetra-no-such-device");
        Pty taken;
        MapPort(5, taken.DevicePath());
        QSerialPort otherProgram(taken.DevicePath());
        QVERIFY(otherProgram.open(QIODevice::ReadWrite));

        GeneralSettings &settings = GetGeneralSettings();
        const GeneralSettings saved = settings;
        settings.m_inSerialPort = input;
        settings.m_outSerialPort = output;
        settings.m_sendToPort = sendToPort;
        const QString before = Log();
        GetLogView()->OnInitialUpdate();
        const QString added = Log().mid(before.size());
        settings = saved;

        QCOMPARE(added, line.isEmpty() ? QString() : "\n" + line);
        QTEST(State(GetInPort()), "inputState");
        QTEST(State(GetOutPort()), "outputState");
        // Back to the lines the other tests use; the trying ends with the new log.
        GetLogView()->OnInitialUpdate();
        QVERIFY(GetInPort().IsDeviceOpen() && GetOutPort().IsDeviceOpen());
    }

    void lineSettingsThePortCannotTakeFailTheOpenWithTheirLine_data()
    {
        QTest::addColumn<char>("parity");
        QTest::addColumn<int>("dataBits");
        QTest::addColumn<int>("stopBits");
        QTest::addColumn<QString>("call");

        QTest::newRow("stop-bits-code-3") << 'N' << 8 << 3 << "BuildCommDCB()";
        QTest::newRow("parity-letter-unknown") << 'X' << 8 << 0 << "BuildCommDCB()";
        QTest::newRow("nine-data-bits") << 'N' << 9 << 0 << "BuildCommDCB()";
    }

    void lineSettingsThePortCannotTakeFailTheOpenWithTheirLine()
    {
        QFETCH(char, parity);
        QFETCH(int, dataBits);
        QFETCH(int, stopBits);
        QFETCH(QString, call);

        Pty line;
        MapPort(6, line.DevicePath());
        SerialPort port;
        port.Configure(GetLogView(), 6, 9600, parity, dataBits, stopBits, 9, 512);
        const QString before = Log();
        QVERIFY(!port.OpenPort());
        QVERIFY(!port.StartThread());
        QVERIFY(!port.IsRunning());
        const QRegularExpression failure(
            "^\nError:->WARNING:  " + QRegularExpression::escape(call)
            + " Failed with the following error: \n[^\n]+\nPort: 6\n$");
        QVERIFY2(failure.match(Log().mid(before.size())).hasMatch(),
                 qPrintable(Log().mid(before.size())));
        // The device was let go again.
        QSerialPort other(line.DevicePath());
        QVERIFY(other.open(QIODevice::ReadWrite));
    }

    void reopeningReplacesTheThreadAndPurgesWhatArrivedInBetween()
    {
        QVERIFY(m_input.WriteAll(Framed("before")));
        QTRY_COMPARE(m_messages.size(), 1);

        SerialPort &port = GetInPort();
        port.StopThread();
        QVERIFY(m_input.WriteAll(Framed("while closed")));
        QTRY_VERIFY(m_input.QueuedAtDevice() > 0);
        QVERIFY(port.OpenPort());
        QVERIFY(m_input.WriteAll(Framed("between open and start")));
        QTRY_VERIFY(m_input.QueuedAtDevice() > 0);
        QVERIFY(port.StartThread());
        QVERIFY(port.StartThread()); // a second go returns too
        QVERIFY(m_input.WriteAll(Framed("after")));
        QTRY_COMPARE(m_messages.size(), 2);
        QCOMPARE(m_messages, QList<QByteArray>({"before\x04", "after\x04"}));

        // The view's own reopening, too.
        GetLogView()->OnInitialUpdate();
        QVERIFY(m_input.WriteAll(Framed("again")));
        QTRY_COMPARE(m_messages.size(), 3);
        QCOMPARE(m_messages.last(), QByteArray("again\x04"));
    }

    void stoppingInTheMiddleOfALongBurstNeverDeadlocksNorRepeatsABytes()
    {
        Pty line;
        MapPort(8, line.DevicePath());
        Recorder recorder;
        SerialPort port;
        port.Configure(&recorder, 8, 9600, 'N', 8, 0, 9, 512);
        CountingWriter writer(line);
        for (int round = 0; round < 40; ++round) {
            recorder.NewSession();
            // Every other round the stop is the one of a reopening.
            if (round % 2 == 0 || !port.IsRunning())
                QVERIFY(port.OpenPort());
            QVERIFY(port.StartThread());
            QTRY_VERIFY(recorder.LastSessionSize() > 8192);
            // The thread is most likely waiting in a hand-off right now.
            if (round % 2 == 0)
                port.StopThread();
            else
                QVERIFY(port.OpenPort());
            QVERIFY(!port.IsRunning() || round % 2 == 1);
        }
        port.StopThread();
        for (const QByteArray &session : recorder.m_sessions)
            QVERIFY(CountsUpWithoutRepeats(session));
        QCOMPARE(recorder.m_lastPort, 8);
    }

    void aHandOffDueAfterTheOwnerIsGoneIsDropped()
    {
        Pty line;
        MapPort(8, line.DevicePath());
        auto *recorder = new Recorder;
        SerialPort port;
        port.Configure(recorder, 8, 9600, 'N', 8, 0, 9, 512);
        CountingWriter writer(line);
        QVERIFY(port.OpenPort());
        QVERIFY(port.StartThread());
        QTRY_VERIFY(recorder->LastSessionSize() > 0);
        delete recorder;
        // Pending and later hand-offs find no owner; nothing may touch the destroyed one.
        QCoreApplication::processEvents();
        port.StopThread();
        QVERIFY(!port.IsRunning());
    }

    void queuedTextsLeaveWholeAndInOrder_data()
    {
        QTest::addColumn<QByteArrayList>("texts");

        QByteArray long511;
        for (int i = 0; i < 511; ++i)
            long511.append(char('A' + i % 26));
        QTest::newRow("one-text-of-511-bytes") << QByteArrayList{long511};
        QTest::newRow("two-texts-queued-at-once")
            << QByteArrayList{long511.left(510), QByteArray("the second text")};
        QTest::newRow("zero-bytes-inside")
            << QByteArrayList{QByteArray("\0a\0\0b\0", 6), QByteArray(1, '\0')};
        QTest::newRow("empty-text-between")
            << QByteArrayList{QByteArray("one"), QByteArray(), QByteArray("two")};
    }

    void queuedTextsLeaveWholeAndInOrder()
    {
        QFETCH(QByteArrayList, texts);
        m_output.ReadAvailable();
        for (const QByteArray &text : texts)
            GetOutPort().QueueWrite(text);
        const QByteArray expected = texts.join();
        QByteArray arrived;
        QTRY_VERIFY((arrived += m_output.ReadAvailable()).size() >= expected.size());
        QCOMPARE(arrived, expected);
    }

    void anOutputLineThatNeverDrainsStopsQueueingAtTheBoundWithOneLineAndSaysWhatLeft()
    {
        Pty line;
        MapPort(8, line.DevicePath());
        Recorder recorder;
        SerialPort port;
        port.Configure(&recorder, 8, 9600, 'N', 8, 0, 0, 512);
        QVERIFY(port.OpenPort());
        QVERIFY(port.StartThread());
        const QByteArray text(64 * 1024, 'x');
        const qint64 texts = 3 * SerialPort::kMaxUnsentBytes / text.size();

        const QString before = Log();
        qint64 taken = 0;
        QStringList expected;
        for (quint64 tag = 1; tag <= quint64(texts); ++tag) {
            if (port.QueueMessage({{text, {}}}, tag)) {
                ++taken;
                expected.append(QStringLiteral("tag %1: sent").arg(tag));
            }
        }
        const QString stuck = Log().mid(before.size());
        QVERIFY2(stuck.startsWith("\nError:->WARNING:  WriteFile() Failed with the following "
                                  "error: \nThe output line is not draining"),
                 qPrintable(stuck));
        // Messages are taken whole, no more than the bound beyond the first.
        QVERIFY(taken * text.size() <= SerialPort::kMaxUnsentBytes + text.size());

        // The far end reads at last: every message taken arrives whole, and once half the bound
        // has drained one line counts those refused.
        QByteArray arrived;
        QTRY_VERIFY_WITH_TIMEOUT((arrived += line.ReadAvailable()).size() >= taken * text.size(),
                                 20000);
        QCOMPARE(arrived, text.repeated(taken));
        QTRY_VERIFY2(
            Log().contains(
                QStringLiteral("drains again; %1 messages were not forwarded").arg(texts - taken)),
            qPrintable(Log().mid(before.size())));
        QVERIFY(port.QueueWrite("forwarded again"));
        QTRY_VERIFY((arrived += line.ReadAvailable()).endsWith("forwarded again"));
        const QString added = Log().mid(before.size());
        QVERIFY2(added.count("Error:->") == 1 && added.count("Warning:->") == 1, qPrintable(added));
        // Each message taken is reported sent, in the order it left; the line's two events
        // come in their turns.
        QTRY_COMPARE(recorder.m_notices.filter("tag ").size(), taken);
        QCOMPARE(recorder.m_notices.filter("tag "), expected);
        const QStringList events = recorder.m_notices.filter("event ");
        QCOMPARE(events.size(), 2);
        QVERIFY2(QRegularExpression(QStringLiteral("^event %1: \\d+ bytes wait unsent$")
                                        .arg(int(SerialPort::LineEvent::NotDraining)))
                     .match(events[0])
                     .hasMatch(),
                 qPrintable(events[0]));
        QCOMPARE(events[1],
                 QStringLiteral("event %1: ").arg(int(SerialPort::LineEvent::DrainsAgain)));

        // A message still on its way when the port closes is dropped, and said so.
        recorder.m_notices.clear();
        QVERIFY(port.QueueMessage({{text.repeated(4), {}}}, 999));
        port.StopThread();
        QCOMPARE(recorder.m_notices, QStringList({"tag 999: dropped: the port was closed"}));
    }

    void aLineThatComesUnderItsNameIsOpenedByItself_data()
    {
        QTest::addColumn<bool>("presentAtStart");
        QTest::newRow("unplugged-while-open") << true;
        // A station that starts before its USB adapter is awake.
        QTest::newRow("absent-at-the-start") << false;
    }

    void aLineThatComesUnderItsNameIsOpenedByItself()
    {
        QFETCH(bool, presentAtStart);
        GeneralSettings &settings = GetGeneralSettings();
        const GeneralSettings saved = settings;
        settings.m_inSerialPort = 3;
        settings.m_sendToPort = 0;
        // A stable name, as /dev/serial/by-id gives: a link the system makes again on replug.
        QTemporaryDir folder;
        const QString link = folder.filePath("usb-adapter-if00");
        auto unplugged = std::make_unique<Pty>();
        if (presentAtStart)
            QVERIFY(QFile::link(unplugged->DevicePath(), link));
        MapPort(3, link);
        QString before = Log();
        GetLogView()->OnInitialUpdate();
        QCOMPARE(GetInPort().IsDeviceOpen(), presentAtStart);

        if (presentAtStart) {
            QVERIFY(unplugged->WriteAll(kSoh
                                        + QByteArray("\x1f"
                                                     "a1al9\x02"
                                                     "cut in the middle")));
            QTRY_COMPARE(unplugged->QueuedAtDevice(), 0);
            before = Log();
            unplugged->CloseFarEnd();
        }
        QTRY_VERIFY(!GetInPort().ReconnectingSince().isNull());
        QVERIFY(!GetInPort().IsDeviceOpen());
        QCOMPARE(GetLogView()->Watch().InputPaneText(),
                 "Input COM3: reconnecting since "
                     + GetInPort().ReconnectingSince().toString("hh:mm"));
        // A line that never opened is silence too.
        GetLogView()->Watch().SetSilencePeriod(300ms);
        const auto alarmOff = qScopeGuard([] { GetLogView()->Watch().SetSilencePeriod(0ms); });
        QTRY_VERIFY(
            Log().mid(before.size()).contains("\nWarning:->The input line (com3) is silent: "));

        // While the device is gone: no second line, and the process sleeps. The window spans
        // more than one try.
        const double cpuBefore = ProcessCpuSeconds();
        QTest::qWait(int((SerialPort::kReconnectPeriod + 500ms).count()));
        const double cpuUsed = ProcessCpuSeconds() - cpuBefore;
        QVERIFY2(cpuUsed < 0.25, qPrintable(QString::number(cpuUsed)));
        QCOMPARE(Log().mid(before.size()).count("Error:->"), 1);

        // Replugged, the link now leads to another device.
        Pty replugged;
        QFile::remove(link);
        QVERIFY(QFile::link(replugged.DevicePath(), link));
        QTRY_VERIFY_WITH_TIMEOUT(GetInPort().IsDeviceOpen(),
                                 int((SerialPort::kReconnectPeriod + 1s).count()));
        QVERIFY(GetInPort().ReconnectingSince().isNull());
        // Another program (or Alvetra) opening the device by its own name finds it taken, so
        // that no second reader takes the line's bytes.
        QSerialPort otherProgram(replugged.DevicePath());
        QVERIFY(!otherProgram.open(QIODevice::ReadWrite));
        QVERIFY(replugged.WriteAll(Framed("after the replug")));
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 10000);
        QCOMPARE(m_messages.first(), QByteArray("after the replug\x04"));

        const QString added = Log().mid(before.size());
        QVERIFY2(added.count("Error:->") == 1
                     && added.contains("\nWarning:->The serial line COM3 (" + link + " -> "
                                       + replugged.DevicePath() + ") is back and works again."),
                 qPrintable(added));

        settings = saved;
        GetLogView()->OnInitialUpdate();
        QVERIFY(GetInPort().IsRunning());
    }

    void aFarEndThatHangsUpGivesOneErrorLineAndTheDeviceIsLetGo()
    {
        GeneralSettings &settings = GetGeneralSettings();
        const GeneralSettings saved = settings;
        // Also when a check fails, so that the tests after this one find their line again.
        auto restore = qScopeGuard([&] {
            settings = saved;
            GetLogView()->OnInitialUpdate();
        });
        settings.m_inSerialPort = 3;
        settings.m_sendToPort = 0;
        auto unplugged = std::make_unique<Pty>();
        MapPort(3, unplugged->DevicePath());
        GetLogView()->OnInitialUpdate();
        QVERIFY(GetInPort().IsDeviceOpen());

        const QString before = Log();
        // Two messages read while the window is busy, the first one a run of its own, then the
        // hang-up: the failure line comes after both, as the far end sent them.
        QStringList failureShown;
        GetReceiver().SetMessageHandler([&](const QByteArray &message, const QDateTime &) {
            m_messages.append(message);
            failureShown.append(Log().mid(before.size()).contains("ReadFile()") ? "after"
                                                                                : "before");
        });
        const auto handler = qScopeGuard([this] {
            GetReceiver().SetMessageHandler([this](const QByteArray &message, const QDateTime &) {
                m_messages.append(message);
            });
        });
        const QByteArray first = Framed("first");
        for (const QByteArray &bytes :
             {QByteArray(InputQueue::kGatherLimit - first.size(), 'z') + first, Framed("second")}) {
            QVERIFY(unplugged->WriteAll(bytes));
            while (unplugged->QueuedAtDevice() > 0)
                std::this_thread::sleep_for(1ms);
        }
        unplugged->CloseFarEnd();
        const QDeadlineTimer letGo(10s);
        while (GetInPort().IsDeviceOpen() && !letGo.hasExpired())
            std::this_thread::sleep_for(1ms);
        QVERIFY(!GetInPort().IsDeviceOpen());
        // A loaded machine (the suite runs two tests at once) may take seconds for 64 KiB.
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 2, 20000);
        QCOMPARE(failureShown, QStringList({"before", "before"}));
        const QRegularExpression failure("^\nError:->WARNING:  ReadFile\\(\\) Failed with the "
                                         "following error: \n[^\n]+\nPort: 3\n$");
        QTRY_VERIFY(Log().size() > before.size());
        QTRY_VERIFY(!GetInPort().ReconnectingSince().isNull());

        // The program runs on; a new log stops the reconnecting and opens the port again.
        Pty replugged;
        MapPort(3, replugged.DevicePath());
        GetLogView()->OnInitialUpdate();
        QVERIFY(replugged.WriteAll(Framed("after the replug")));
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 3, 20000);
        QVERIFY(GetInPort().ReconnectingSince().isNull());
        const QString added = Log().mid(before.size());
        QVERIFY2(failure.match(added).hasMatch(), qPrintable(added));
        // Qt's own text for a hang-up is a leftover of another call.
        QVERIFY2(!added.contains("Inappropriate ioctl"), qPrintable(added));

        restore.dismiss();
        settings = saved;
        GetLogView()->OnInitialUpdate();
        QVERIFY(GetInPort().IsRunning());
    }

    // Last: it ends the event loop of the program.
    void closingTheWindowWhileMessagesPourInStopsTheLinesAndEndsTheProgram()
    {
        std::atomic<bool> stop = false;
        std::thread sender([this, &stop] {
            const QByteArray message = Framed("\x1f"
                                              "a1al9\x02headline\rmnopqbody\x03trailer");
            while (!stop && m_input.WriteAll(message, 100ms)) {
            }
        });
        const auto join = qScopeGuard([&] {
            stop = true;
            sender.join();
        });
        QTRY_VERIFY_WITH_TIMEOUT(m_messages.size() > 10, 20000);

        CAlvetraApp *app = CAlvetraApp::Instance();
        QTimer::singleShot(0, app->MainFrame(), &QWidget::close);
        QTimer::singleShot(20000, app, [] { QCoreApplication::exit(42); });
        const int exitCode = app->exec();
        QCOMPARE(exitCode, 0);
        QVERIFY(!GetInPort().IsRunning());
        QVERIFY(!GetOutPort().IsRunning());
    }

private:
    Pty m_input;
    Pty m_output;
    QList<QByteArray> m_messages;
};

ALVETRA_APP_TEST_MAIN(SerialPortTest)
#include "tst_serialport.moc"
