// A station nobody sits at: start-up that waits for no click, an orderly end on the system's
// signals, over real pseudo-terminals and the real program run as a child.
#include "AppTest.h"

#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "app/SingleInstance.h"
#include "doors/Doors.h"
#include "tools/Pty.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>

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

} // namespace

class UnattendedTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString Path(const QString &name) const { return m_dir.filePath(name); }

    // A copy of the program of its own, so that its Received/ is this test's; its settings
    // folder and working directory in `name`.
    QProcess *StartProgram(const QString &name, const QStringList &arguments = {})
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

        QProcess *program = StartProgram(name);
        QVERIFY(program);
        const auto stop = qScopeGuard([program] {
            program->kill();
            program->waitForFinished();
        });
        const QStringList inputLocks = LockFiles(input.DevicePath());
        const QStringList outputLocks = LockFiles(output.DevicePath());
        // The locks prove the ports open, and that the check below would see one left behind.
        QTRY_VERIFY_WITH_TIMEOUT(AnyExists(inputLocks) && AnyExists(outputLocks), 20000);

        // A burst still arriving when the signal comes.
        QByteArray burst;
        constexpr int kMessages = 60;
        for (int i = 1; i <= kMessages; ++i)
            burst += Message(i);
        const QDir received(Path(name + "/program/Received"));
        QVERIFY(input.WriteAll(burst.first(burst.size() / 2)));
        QTRY_VERIFY_WITH_TIMEOUT(!received.entryList(QDir::Files).isEmpty(), 20000);
        QVERIFY(input.WriteAll(burst.sliced(burst.size() / 2)));
        // Read from the line, most of it not yet handled: nothing of it may be lost.
        QTRY_COMPARE(input.QueuedAtDevice(), 0);
        ::kill(program->processId(), signalNumber);

        QVERIFY(program->waitForFinished(15000));
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        QVERIFY(!AnyExists(inputLocks));
        QVERIFY(!AnyExists(outputLocks));

        // Every message whose last byte the program took from the line has its file, whole.
        const qsizetype taken = burst.size() - input.QueuedAtDevice();
        const qsizetype completeMessages = burst.first(taken).count('\x04');
        const QStringList files = received.entryList(QDir::Files);
        QCOMPARE(files.size(), completeMessages);
        for (const QString &file : files) {
            QFile text(received.filePath(file));
            QVERIFY(text.open(QIODevice::ReadOnly));
            const int number = file.first(5).toInt() - 10000;
            QVERIFY2(text.readAll().endsWith(Body(number)), qPrintable(file));
        }
    }

    void aSecondStartWithTheSameSettingsLeavesOneRunning_data()
    {
        QTest::addColumn<bool>("holderAnswers");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("running-copy-is-raised") << true << 0;
        QTest::newRow("holder-that-does-not-answer") << false << 1;
    }

    void aSecondStartWithTheSameSettingsLeavesOneRunning()
    {
        QFETCH(bool, holderAnswers);
        QFETCH(int, exitCode);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("No session bus: run the tests under dbus-run-session, as test.sh does");
        const QString name = holderAnswers ? "single-answering" : "single-mute";
        const QString service = SingleInstance::ServiceName(Path(name + "/config/Dorvane"));
        QProcess *first = nullptr;
        if (holderAnswers) {
            first = StartProgram(name);
            QVERIFY(first);
            QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered(service), 20000);
        } else {
            QVERIFY(bus.registerService(service));
        }
        const auto stop = qScopeGuard([&] {
            if (first) {
                first->kill();
                first->waitForFinished();
            } else {
                bus.unregisterService(service);
            }
        });

        QProcess *second = StartProgram(name);
        QVERIFY(second);
        QVERIFY(second->waitForFinished(30000));
        QCOMPARE(second->exitCode(), exitCode);
        const QString errors = QString::fromLocal8Bit(second->readAllStandardError());
        QCOMPARE(errors.contains("does not answer"), !holderAnswers);
        if (first) {
            QCOMPARE(first->state(), QProcess::Running);
            ::kill(first->processId(), SIGTERM);
            QVERIFY(first->waitForFinished(15000));
            QCOMPARE(first->exitCode(), 0);
            first = nullptr;
        }
    }
};

ALVETRA_APP_TEST_MAIN(UnattendedTest)
#include "tst_unattended.moc"
