// A station nobody sits at: start-up that waits for no click, an orderly end on the system's
// signals, over real pseudo-terminals and the real program run as a child.
#include "AppTest.h"
#include "NotifySocket.h"

#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "app/SignalHandler.h"
#include "app/SingleInstance.h"
#include "doors/Doors.h"
#include "journal/JournalReader.h"
#include "tools/Pty.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDeadlineTimer>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// flt.dat passing handling 'a', region "0-" and source 'l'; cut before the any-source flag,
// it reads as far as the sources and then runs past its end.
QByteArray FilterFile(bool whole)
{
    QByteArray plain("\x01"
                     "a\x01\x00\x02"
                     "0-\x01"
                     "l",
                     9);
    if (whole)
        plain.append(4, '\0');
    for (char &byte : plain)
        byte = char(byte ^ 0xA7);
    return plain;
}

QByteArray Body(int number)
{
    return QByteArray("Storm front number ") + QByteArray::number(number) + " reaches the coast";
}

// A message that passes FilterFile(); its header, and with it its file's name, is its own.
QByteArray Message(int number)
{
    return "\x01" + QByteArray::number(10000 + number) + "\x1f" + "a0-l9\x02" + "Storm warning "
           + QByteArray::number(number) + "\r\n\n    " + Body(number) + "\x03 trailer\x04";
}

void WriteSettings(const QString &configFolder, const Pty &input, const Pty &output)
{
    QSettings store(configFolder + "/Dorvane/Alvetra.conf", QSettings::IniFormat);
    store.setValue("Settings/InSerialPort", 2);
    store.setValue("Settings/OutSerialPort", 1);
    store.setValue("Settings/Sendtoport", 1);
    store.setValue("Settings/Sendtofile", 1);
    store.setValue("Settings/Sendtoprinter", 0);
    store.setValue("Settings/SerialPortRecoverTime", 0);
    store.setValue("Ports/COM2", input.DevicePath());
    store.setValue("Ports/COM1", output.DevicePath());
}

// Where QSerialPort may have put the lock file of `device`: the first writable of these.
QStringList LockFiles(const QString &device)
{
    QString name = device;
    name.remove(0, 5).replace('/', '_');
    QStringList files;
    for (const char *folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                               "/tmp", "/var/tmp", "/run/lock"})
        files << QString("%1/LCK..%2").arg(folder, name);
    files << QDir::tempPath() + "/LCK.." + name;
    return files;
}

bool AnyExists(const QStringList &files)
{
    return std::any_of(files.begin(), files.end(),
                       [](const QString &f) { return QFile::exists(f); });
}

// Waits until the program has read everything written to `line`, at most `limit`. The device's
// count of unread bytes is 0 for a moment whenever the reader has emptied it and the rest of a
// burst is still on its way in from the far end, so one look at 0 proves nothing: the count
// must stay at 0 for a quarter of a second.
bool AllRead(const Pty &line, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    int quietLooks = 0;
    while (quietLooks < 5 && !deadline.hasExpired()) {
        quietLooks = line.QueuedAtDevice() == 0 ? quietLooks + 1 : 0;
        QTest::qWait(50);
    }
    return quietLooks == 5;
}

// Whether one of the lock `files` is held by the process `pid`: a lock left by a killed program
// of an earlier test on a pseudo-terminal of the same number proves nothing of this one.
bool HeldBy(const QStringList &files, qint64 pid)
{
    return std::any_of(files.begin(), files.end(), [pid](const QString &f) {
        QFile lock(f);
        return lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed().toLongLong() == pid;
    });
}

// The files of the burst's messages, leaving out the probe's (Message(0)).
QStringList BurstFiles(const QDir &received)
{
    QStringList files = received.entryList(QDir::Files);
    files.removeIf([](const QString &file) { return file.startsWith("10000"); });
    return files;
}

// The program purges its input when the thread starts reading, which is after the lock file
// appears and may be long after under load: a message written before then is rightly thrown
// away. Message(0) until its file shows that bytes written now are read.
bool WaitUntilTheLineIsRead(Pty &input, const QDir &received)
{
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (!input.WriteAll(Message(0)))
            return false;
        if (QTest::qWaitFor([&] { return received.entryList(QDir::Files).size() > 0; }, 2000))
            return true;
    }
    return false;
}

// A stand-in for the program whose orderly end hangs: it takes the signals as the program
// does, and its end never returns. Says "ready" once the handler is in place.
int HangingEnd(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SignalHandler handler;
    QObject::connect(&handler, &SignalHandler::EndRequested, &app, [] {
        std::fputs("ending\n", stdout);
        std::fflush(stdout);
        for (;;)
            ::pause();
    });
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    return app.exec();
}

} // namespace

// A copy that holds the name and takes Raise but never answers it: one in its end, or hung.
class MuteHolder : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "invalid.alvetra.Alvetra")

public:
    int m_asked = 0;

public slots:
    Q_SCRIPTABLE void Raise()
    {
        setDelayedReply(true);
        ++m_asked;
    }
};

class UnattendedTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString Path(const QString &name) const { return m_dir.filePath(name); }

    // A copy of the program of its own, so that its Received/ is this test's; its settings
    // folder and working directory in `name`.
    QProcess *StartProgram(const QString &name,
                           const QStringList &arguments = {},
                           const QProcessEnvironment &extra = {})
    {
        const QString folder = Path(name);
        if (!QDir().mkpath(folder + "/program/Received") || !QDir().mkpath(folder + "/work"))
            return nullptr;
        const QString program = folder + "/program/alvetra";
        if (!QFile::exists(program)
            && !QFile::copy(qEnvironmentVariable("ALVETRA_PROGRAM_DIR") + "/alvetra", program))
            return nullptr;
        auto *process = new QProcess(this);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", folder + "/config");
        environment.insert(extra);
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(folder + "/work");
        process->start(program, arguments);
        return process->waitForStarted() ? process : nullptr;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void startUpWaitsForNoClickBeforeTheLineIsRead_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<bool>("passes");
        // Missing first: a failed read keeps what the store held before.
        QTest::newRow("missing-flt-dat") << false << "flt.dat was not found." << false;
        QTest::newRow("damaged-flt-dat")
            << true << "An attempt was made to access an unnamed file past its end." << true;
    }

    void startUpWaitsForNoClickBeforeTheLineIsRead()
    {
        QFETCH(bool, present);
        QFETCH(QString, failure);
        QFETCH(bool, passes);
        QFile::remove("flt.dat");
        if (present) {
            QFile filter("flt.dat");
            QVERIFY(filter.open(QIODevice::WriteOnly));
            filter.write(FilterFile(false));
        }
        Pty input;
        Pty output;
        WriteSettings(qEnvironmentVariable("XDG_CONFIG_HOME"), input, output);
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra")
            .setValue("Settings/Sendtofile", 0);

        // Nothing answers a modal box here: one would hold InitInstance until the test ends.
        CAlvetraApp *app = CAlvetraApp::Instance();
        QVERIFY(app->InitInstance({"alvetra"}));
        QVERIFY(GetInPort().IsDeviceOpen());
        auto *box = app->MainFrame()->findChild<QMessageBox *>("startUpFailure");
        QVERIFY(box);
        QTRY_VERIFY(box->isVisible());
        QCOMPARE(box->text(), failure);
        const QString log = GetLogView()->toPlainText();
        QVERIFY2(log.contains("Error:->" + failure), qPrintable(log));
        QCOMPARE(log.contains("Warning:->No filter criteria could be read from flt.dat: no "
                              "message will pass until they are set in Filter Settings."),
                 !passes);

        QVERIFY(input.WriteAll(Message(1) + Message(2)));
        if (passes)
            QTRY_VERIFY(GetLogView()->toPlainText().contains("Storm warning 2"));
        box->close();
        // The pseudo-terminals go with this row, and their numbers to the next ones: a lock
        // file of this process left on them would stand in a later program's way.
        GetInPort().StopThread();
        GetOutPort().StopThread();
    }

    void aSignalToEndLeavesNoLockAndNoMessageHalfHandled_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("sigterm") << SIGTERM;
        QTest::newRow("sighup") << SIGHUP;
        QTest::newRow("sigint") << SIGINT;
    }

    void aSignalToEndLeavesNoLockAndNoMessageHalfHandled()
    {
        QFETCH(int, signalNumber);
        const QString name = QString("signal-%1").arg(signalNumber);
        Pty input;
        Pty output;
        WriteSettings(Path(name + "/config"), input, output);
        QVERIFY(QDir().mkpath(Path(name + "/work")));
        QFile filter(Path(name + "/work/flt.dat"));
        QVERIFY(filter.open(QIODevice::WriteOnly) && filter.write(FilterFile(true)) == 13);
        filter.close();

        // What systemd hears of a unit of Type=notify.
        NotifySocket systemd(Path(name + "/notify"));
        QVERIFY(systemd.IsBound());
        QProcessEnvironment underSystemd;
        underSystemd.insert("NOTIFY_SOCKET", Path(name + "/notify"));
        QProcess *program = StartProgram(name, {}, underSystemd);
        QVERIFY(program);
        const auto stop = qScopeGuard([program] {
            program->kill();
            program->waitForFinished();
        });
        const QStringList inputLocks = LockFiles(input.DevicePath());
        const QStringList outputLocks = LockFiles(output.DevicePath());
        // The locks prove the ports open, and that the check below would see one left behind.
        QTRY_VERIFY_WITH_TIMEOUT(HeldBy(inputLocks, program->processId())
                                     && HeldBy(outputLocks, program->processId()),
                                 20000);

        // A burst still arriving when the signal comes.
        QByteArray burst;
        constexpr int kMessages = 60;
        for (int i = 1; i <= kMessages; ++i)
            burst += Message(i);
        const QDir received(Path(name + "/program/Received"));
        QVERIFY(WaitUntilTheLineIsRead(input, received));
        QVERIFY(input.WriteAll(burst.first(burst.size() / 2)));
        QTRY_VERIFY_WITH_TIMEOUT(!BurstFiles(received).isEmpty(), 20000);
        QVERIFY(input.WriteAll(burst.sliced(burst.size() / 2)));
        // Read from the line, most of it not yet handled: nothing of it may be lost. The
        // reader's pace on a loaded machine is not what is tested here.
        QVERIFY(AllRead(input, std::chrono::seconds(60)));
        ::kill(program->processId(), signalNumber);

        QVERIFY(program->waitForFinished(15000));
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        QVERIFY(!AnyExists(inputLocks));
        QVERIFY(!AnyExists(outputLocks));
        QTRY_COMPARE(systemd.Times("STOPPING=1").size(), 1);
        QCOMPARE(systemd.Times("READY=1").size(), 1);
        QVERIFY(systemd.Times("READY=1").first() < systemd.Times("STOPPING=1").first());

        // Every message whose last byte the program took from the line has its file, whole.
        const qsizetype taken = burst.size() - input.QueuedAtDevice();
        const qsizetype completeMessages = burst.first(taken).count('\x04');
        const QStringList files = BurstFiles(received);
        QCOMPARE(files.size(), completeMessages);
        for (const QString &file : files) {
            QFile text(received.filePath(file));
            QVERIFY(text.open(QIODevice::ReadOnly));
            const int number = file.first(5).toInt() - 10000;
            QVERIFY2(text.readAll().endsWith(Body(number)), qPrintable(file));
        }
    }

    // The window's thread alone stopped, as a hang would hold it: the input line's thread and
    // the notifier's go on, and the pings must stop all the same.
    void theWatchdogsPingsStopWhileTheWindowsThreadIsStopped()
    {
        const QString name = "watchdog";
        Pty input;
        Pty output;
        WriteSettings(Path(name + "/config"), input, output);
        NotifySocket systemd(Path(name + "/notify"));
        QVERIFY(systemd.IsBound());
        QProcessEnvironment underSystemd;
        underSystemd.insert("NOTIFY_SOCKET", Path(name + "/notify"));
        underSystemd.insert("WATCHDOG_USEC", "1000000");
        QProcess *program = StartProgram(name, {}, underSystemd);
        QVERIFY(program);
        const auto stop = qScopeGuard([program] {
            program->kill();
            program->waitForFinished();
        });
        QTRY_VERIFY_WITH_TIMEOUT(!systemd.Times("READY=1").isEmpty(), 20000);
        QTRY_VERIFY(systemd.Times("WATCHDOG=1", systemd.Times("READY=1").first()).size() >= 2);

        // The main thread's id is the process's.
        const pid_t window = pid_t(program->processId());
        if (::ptrace(PTRACE_SEIZE, window, nullptr, nullptr) != 0)
            QSKIP("this machine does not let a test trace its child (ptrace_scope)");
        const Clock::time_point heldAt = Clock::now();
        QCOMPARE(::ptrace(PTRACE_INTERRUPT, window, nullptr, nullptr), 0L);
        int status = 0;
        QCOMPARE(::waitpid(window, &status, __WALL), window);
        QVERIFY(WIFSTOPPED(status));
        // Four periods held; the pings stop within one (and one more, for a look a loaded
        // machine ran late).
        QTest::qWait(4000);
        const QList<Clock::time_point> late = systemd.Times("WATCHDOG=1", heldAt + 2s);
        QCOMPARE(::ptrace(PTRACE_DETACH, window, nullptr, nullptr), 0L);
        const Clock::time_point releasedAt = Clock::now();
        QVERIFY2(late.isEmpty(), qPrintable(QString::number(late.size())));
        QTRY_VERIFY(!systemd.Times("WATCHDOG=1", releasedAt).isEmpty());
    }

    void aSecondSignalWhileTheEndHangsEndsAtOnce_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::newRow("sigterm-twice") << SIGTERM << SIGTERM;
        QTest::newRow("sigint-after-sigterm") << SIGTERM << SIGINT;
    }

    void aSecondSignalWhileTheEndHangsEndsAtOnce()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ALVETRA_TEST_HANGING_END", "1");
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath());
        const auto said = [&child](const QByteArray &word) {
            QByteArray out;
            while (!out.contains(word) && child.waitForReadyRead(20000))
                out += child.readAllStandardOutput();
            return out.contains(word);
        };
        QVERIFY(said("ready"));
        ::kill(child.processId(), first);
        QVERIFY(said("ending"));
        ::kill(child.processId(), second);
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    }

    void theDisplayGoingAwayEndsInOrder()
    {
        const QString xvfb = QStandardPaths::findExecutable("Xvfb");
        if (xvfb.isEmpty())
            QSKIP("No Xvfb: ./test.sh installs it");
        const QString name = "display-gone";
        Pty input;
        Pty output;
        WriteSettings(Path(name + "/config"), input, output);
        const QString journal = Path(name + "/journal.sqlite");
        QSettings(Path(name + "/config/Dorvane/Alvetra.conf"), QSettings::IniFormat)
            .setValue("Journal/Path", journal);
        QVERIFY(QDir().mkpath(Path(name + "/work")));
        QFile filter(Path(name + "/work/flt.dat"));
        QVERIFY(filter.open(QIODevice::WriteOnly) && filter.write(FilterFile(true)) == 13);
        filter.close();

        QProcess server;
        server.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
        QByteArray display;
        while (!display.contains('\n') && server.waitForReadyRead(20000))
            display += server.readAllStandardOutput();
        QVERIFY2(display.contains('\n'), "Xvfb gave no display");
        QProcessEnvironment onTheDisplay;
        onTheDisplay.insert("QT_QPA_PLATFORM", "xcb");
        onTheDisplay.insert("DISPLAY", ":" + display.trimmed());
        QProcess *program = StartProgram(name, {}, onTheDisplay);
        QVERIFY(program);
        const auto stop = qScopeGuard([&] {
            program->kill();
            program->waitForFinished();
            server.kill();
            server.waitForFinished();
        });
        const QStringList inputLocks = LockFiles(input.DevicePath());
        const QStringList outputLocks = LockFiles(output.DevicePath());
        QTRY_VERIFY_WITH_TIMEOUT(HeldBy(inputLocks, program->processId())
                                     && HeldBy(outputLocks, program->processId()),
                                 20000);
        const QDir received(Path(name + "/program/Received"));
        QVERIFY(WaitUntilTheLineIsRead(input, received));

        // Each message waits for its file's sync and its row: most are still to be handled
        // when the display goes.
        constexpr int kMessages = 100;
        QByteArray burst;
        for (int i = 1; i <= kMessages; ++i)
            burst += Message(i);
        QVERIFY(input.WriteAll(burst));
        // Under a loaded machine the program has taken 20 s to read such a burst; what is
        // tested here is what becomes of the bytes once read.
        QVERIFY(AllRead(input, std::chrono::seconds(60)));
        server.kill();
        QVERIFY(program->waitForFinished(30000));
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QVERIFY(!AnyExists(inputLocks));
        QVERIFY(!AnyExists(outputLocks));

        const QStringList files = BurstFiles(received);
        QCOMPARE(files.size(), kMessages);
        JournalReader reader;
        QString error;
        QVERIFY2(reader.Open(journal, &error), qPrintable(error));
        int rows = 0;
        for (const JournalListRow &row : reader.Rows({}, nullptr, 1000))
            rows += row.m_fate == JournalFate::Passed && !row.m_header.startsWith("10000");
        QCOMPARE(rows, kMessages);
    }

    void aSecondStartWithTheSameSettingsLeavesOneRunning_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<int>("exitCode"); // -1: the second start runs
        QTest::newRow("running-copy-is-raised") << "answering" << 0;
        QTest::newRow("holder-that-does-not-answer") << "mute" << 1;
        QTest::newRow("holder-that-lets-the-name-go") << "ending" << -1;
        QTest::newRow("no-session-bus") << "no-bus" << -1;
    }

    void aSecondStartWithTheSameSettingsLeavesOneRunning()
    {
        QFETCH(QString, holder);
        QFETCH(int, exitCode);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("No session bus: run the tests under dbus-run-session, as test.sh does");
        const QString name = "single-" + holder;
        const QString service = SingleInstance::ServiceName(Path(name + "/config/Dorvane"));
        Pty input;
        Pty output;
        WriteSettings(Path(name + "/config"), input, output);
        QProcess *first = nullptr;
        MuteHolder mute;
        QDBusConnection holderBus{QString()};
        QProcessEnvironment environment;
        if (holder == "answering") {
            first = StartProgram(name);
            QVERIFY(first);
            QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered(service), 20000);
        } else if (holder == "no-bus") {
            environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Path("no-bus"));
        } else {
            // A connection of its own: this test's application has its object at the path.
            holderBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "holder");
            QVERIFY(holderBus.registerObject("/invalid/alvetra/Alvetra", &mute,
                                             QDBusConnection::ExportScriptableSlots));
            QVERIFY(holderBus.registerService(service));
        }
        const auto stop = qScopeGuard([&] {
            if (first) {
                first->kill();
                first->waitForFinished();
            }
            if (holderBus.isConnected()) {
                holderBus.unregisterService(service);
                holderBus.unregisterObject("/invalid/alvetra/Alvetra");
                QDBusConnection::disconnectFromBus("holder");
            }
        });

        QProcess *second = StartProgram(name, {}, environment);
        QVERIFY(second);
        if (holder == "ending") {
            // It ends after the new start asked it to raise its window.
            QTRY_VERIFY_WITH_TIMEOUT(mute.m_asked > 0, 20000);
            QVERIFY(holderBus.unregisterService(service));
        }
        if (exitCode >= 0) {
            QVERIFY(second->waitForFinished(60000));
            QCOMPARE(second->exitCode(), exitCode);
            const QString errors = QString::fromLocal8Bit(second->readAllStandardError());
            QCOMPARE(errors.contains("does not answer"), exitCode == 1);
        } else {
            // Its lines open: it is past the claim, and running.
            QTRY_VERIFY_WITH_TIMEOUT(HeldBy(LockFiles(input.DevicePath()), second->processId()),
                                     40000);
            QCOMPARE(second->state(), QProcess::Running);
            ::kill(second->processId(), SIGTERM);
            QVERIFY(second->waitForFinished(15000));
            QCOMPARE(second->exitCode(), 0);
        }
        if (first) {
            QCOMPARE(first->state(), QProcess::Running);
            ::kill(first->processId(), SIGTERM);
            QVERIFY(first->waitForFinished(15000));
            QCOMPARE(first->exitCode(), 0);
            first = nullptr;
        }
    }
};

int main(int argc, char *argv[])
{
    // The child of aSecondSignalWhileTheEndHangsEndsAtOnce: no test runs in it.
    if (qEnvironmentVariableIsSet("ALVETRA_TEST_HANGING_END"))
        return HangingEnd(argc, argv);
    CAlvetraApp app(argc, argv);
    DisableJournal();
    UnattendedTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_unattended.moc"
