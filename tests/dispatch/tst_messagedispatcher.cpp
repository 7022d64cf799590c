#include "DispatchShell.h"
#include "FileSizeLimit.h"

#include "dispatch/MessageDispatcher.h"
#include "dispatch/PrintQueue.h"
#include "dispatch/ReceivedFile.h"
#include "hooks/PassedMessageHook.h"
#include "tools/Pty.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <optional>

#include <dlfcn.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Root passes every permission check, so a read-only folder would not stop it: for the write,
// the process becomes an ordinary user, as setpriv would make it. Every thread of it, since
// the file is written on the filing thread; the saved user id stays root's, to come back.
class AsOrdinaryUser
{
public:
    explicit AsOrdinaryUser(gid_t group = 65534)
        : m_root(geteuid() == 0)
    {
        if (!m_root)
            return;
        m_groupCount = getgroups(int(std::size(m_groups)), m_groups);
        setgroups(1, &group);
        setresgid(group, group, 0);
        setresuid(65534, 65534, 0);
    }
    ~AsOrdinaryUser()
    {
        if (!m_root)
            return;
        setresuid(0, 0, 0);
        setresgid(0, 0, 0);
        setgroups(size_t(std::max(m_groupCount, 0)), m_groups);
    }
    AsOrdinaryUser(const AsOrdinaryUser &) = delete;
    AsOrdinaryUser &operator=(const AsOrdinaryUser &) = delete;

private:
    bool m_root;
    gid_t m_groups[64]{};
    int m_groupCount = 0;
};

const QString kFileError = QStringLiteral("Error:->Error writing passed message to file - ");
const QString kPortTooSmall
    = QStringLiteral("Error:->Output buffer for OutSerialPort is too small. cannot send message");

} // namespace

class MessageDispatcherTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_folder;

    QString Received() const { return m_folder->path() + QStringLiteral("/Received"); }

    // The shell's output line as COM9 on `line`, started.
    static bool StartOutputLine(SerialPort &port, const Pty &line)
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue(QStringLiteral("Ports/COM9"), line.DevicePath());
        store.sync();
        port.Configure(nullptr, 9, 9600, 'N', 8, 0, 0, 512);
        return port.OpenPort() && port.StartThread();
    }

private slots:
    void init()
    {
        // Not below the test's own folder, which only root may enter: the permission tests
        // need a path an ordinary user can walk.
        m_folder = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/alvetra-dispatch-XXXXXX"));
        QVERIFY(m_folder->isValid());
        QFile::setPermissions(m_folder->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                    | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                    | QFileDevice::ExeOther);
        QVERIFY(QDir(m_folder->path()).mkdir(QStringLiteral("Received")));
        Shell().m_programFolder = m_folder->path();
        Shell().m_log.clear();
        SetOutputs(false, false, false);
        Shell().m_generalSettings.m_onPassed.clear();
    }

    void cleanup()
    {
        // No file of this test's is left to land in the next test's folder.
        FinishReceivedFiles();
        QFile::setPermissions(Received(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                              | QFileDevice::ExeOwner);
        m_folder.reset();
    }

    void theWorkedExampleIsFiledAndPrintedInItsTwoLayouts()
    {
        EdisMessage message = WorkedExample();
        SetOutputs(true, false, false);
        MessageDispatcher(&message).Dispatch();
        FinishReceivedFiles();

        QCOMPARE(Shell().m_log, QStringList());
        QCOMPARE(QDir(Received()).entryList(QDir::Files), QStringList{"12345e2al9.txt"});
        QCOMPARE(ReadAll(Received() + "/12345e2al9.txt"),
                 QByteArray("Quake\r\n===================================\r\n[12345e2al9]\r\n"
                            "0930\r\nBody"));
        QCOMPARE(MessagePrintText(message),
                 QByteArray("\nQuake\n===================================\n[12345e2al9]\n"
                            "0930\nBody"));
    }

    void theStationsCommandRunsLastWithTheFileItMayRead_data()
    {
        QTest::addColumn<bool>("file");
        QTest::addColumn<QByteArray>("headline");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("file-written-first") << true << QByteArray("Quake") << QStringList{};
        QTest::newRow("no-file-no-path") << false << QByteArray("Quake") << QStringList{};
        QTest::newRow("a-headline-past-64-KiB-warns")
            << false << QByteArray(70000, 'Q')
            << QStringList{"Warning:->Passed message [12345e2al9]: ALVETRA_HEADLINE cut to "
                           "65536 bytes for the command"};
    }

    void theStationsCommandRunsLastWithTheFileItMayRead()
    {
        QFETCH(bool, file);
        QFETCH(QByteArray, headline);
        const QString script = m_folder->path() + "/hook";
        QFile text(script);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("#!/bin/sh\n[ -z \"$ALVETRA_FILE\" ] || cp \"$ALVETRA_FILE\" \"$0.copy\"\n"
                   "printf '%s|%s|%s' \"$ALVETRA_LINE\" \"$ALVETRA_RECEIVED_AT\" "
                   "\"$ALVETRA_FILE\" > \"$0.part\" && mv \"$0.part\" \"$0.out\"\n");
        text.close();
        QVERIFY(text.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        Shell().m_generalSettings.m_onPassed = script;
        Shell().m_inPort.Configure(nullptr, 2, 9600, 'N', 8, 0, 1, 512);
        SetOutputs(file, false, false);
        EdisMessage message = WorkedExample();
        message.m_headline = headline;
        const QDateTime arrival = QDateTime::fromString("2024-06-01T10:00:00Z", Qt::ISODate);
        MessageDispatcher(&message, arrival).Dispatch();

        QTRY_VERIFY(QFile::exists(script + ".out"));
        const QString path = file ? Received() + "/12345e2al9.txt" : QString();
        QCOMPARE(ReadAll(script + ".out"), ("2|" + HookTime(arrival) + '|' + path).toUtf8());
        QCOMPARE(ReadAll(script + ".copy"),
                 file ? MessageFileContent(message) : QByteArray("<missing>"));
        QTEST(Shell().m_log, "log");
    }

    void aSecondMessageWithTheSameHeaderReplacesTheFirstsFile_data()
    {
        QTest::addColumn<bool>("sharedFolder");
        QTest::newRow("own-file") << false;
        // As the package makes it: group dialout, set-group-id. The older file is another
        // operator's, made under a umask that left it closed to the group.
        QTest::newRow("another-operators-file-in-the-shared-folder") << true;
    }

    void aSecondMessageWithTheSameHeaderReplacesTheFirstsFile()
    {
        QFETCH(bool, sharedFolder);
        constexpr gid_t kDialout = 20;
        const QString file = Received() + "/12345e2al9.txt";
        SetOutputs(true, false, false);
        EdisMessage first = WorkedExample();
        first.m_body = QByteArray(5000, 'x');
        MessageDispatcher(&first).Dispatch();
        FinishReceivedFiles();
        if (sharedFolder) {
            if (geteuid() != 0)
                QSKIP("Only root can give the older file to another user.");
            QVERIFY(chown(qPrintable(file), 1, kDialout) == 0
                    && chmod(qPrintable(file), 0644) == 0);
            QVERIFY(chown(qPrintable(Received()), 0, kDialout) == 0
                    && chmod(qPrintable(Received()), 02775) == 0);
        }
        EdisMessage second = WorkedExample();
        {
            // An ordinary member of dialout, not the file's owner.
            std::optional<AsOrdinaryUser> user;
            if (sharedFolder)
                user.emplace(kDialout);
            const mode_t umask = ::umask(077);
            MessageDispatcher(&second).Dispatch();
            FinishReceivedFiles();
            ::umask(umask);
        }

        QCOMPARE(Shell().m_log, QStringList());
        // No temporary file is left beside it either.
        QCOMPARE(QDir(Received()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"12345e2al9.txt"});
        QCOMPARE(ReadAll(file), MessageFileContent(second));
        struct stat status
        {
        };
        QVERIFY(stat(qPrintable(file), &status) == 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0664));
        if (sharedFolder)
            QCOMPARE(status.st_gid, kDialout);
    }

    void aFileThatCannotBeWrittenIsReportedAndTheLaterOutputsStillRun_data()
    {
        QTest::addColumn<bool>("folderExists");
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<int>("sizeLimit");
        QTest::addColumn<QString>("cause");
        QTest::newRow("received-folder-missing")
            << false << false << -1 << QStringLiteral("All or part of the path is invalid.");
        QTest::newRow("received-folder-read-only")
            << true << false << -1 << QStringLiteral("The file could not be accessed.");
        // What a full disk or an exhausted quota give: an older file of the name stays whole.
        QTest::newRow("no-room-for-the-file")
            << true << true << 8 << QStringLiteral("The disk is full.");
    }

    void aFileThatCannotBeWrittenIsReportedAndTheLaterOutputsStillRun()
    {
        QFETCH(bool, folderExists);
        QFETCH(bool, folderWritable);
        QFETCH(int, sizeLimit);
        QFETCH(QString, cause);
        const QByteArray older = "an older message";
        if (folderWritable) {
            QFile file(Received() + "/12345e2al9.txt");
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(older) == older.size());
            // Open to the ordinary user the write runs as.
            const auto everyone = QFileDevice::Permissions(0x7777);
            QVERIFY(file.setPermissions(everyone) && QFile::setPermissions(Received(), everyone));
        } else if (folderExists) {
            QFile::setPermissions(Received(), QFileDevice::ReadOwner | QFileDevice::ExeOwner
                                                  | QFileDevice::ReadOther | QFileDevice::ExeOther);
        } else {
            QVERIFY(QDir(Received()).removeRecursively());
        }
        // The port, never set up, reports its own failure after the file's.
        SetOutputs(true, true, false);
        EdisMessage message = WorkedExample();
        {
            AsOrdinaryUser user;
            std::optional<FileSizeLimit> limit;
            if (sizeLimit >= 0)
                QVERIFY(limit.emplace(sizeLimit).IsOk());
            MessageDispatcher(&message).Dispatch();
            FinishReceivedFiles();
        }
        QCOMPARE(Shell().m_log, (QStringList{kFileError + cause, kPortTooSmall}));
        // The program never makes the folder, and a refused write leaves nothing behind.
        QCOMPARE(QFileInfo::exists(Received()), folderExists);
        if (folderExists)
            QCOMPARE(QDir(Received()).entryList(QDir::Files | QDir::Hidden),
                     folderWritable ? QStringList{"12345e2al9.txt"} : QStringList());
        if (folderWritable)
            QCOMPARE(ReadAll(Received() + "/12345e2al9.txt"), older);
    }

    void aHeaderThatNamesAPathIsFiledInsideReceived_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("slashes-climbing-out")
            << QByteArray("../..\x1f/x9") << QStringLiteral("..%2F..\x1f%2Fx9.txt");
        QTest::newRow("backslashes")
            << QByteArray("..\\..\\e2al9") << QStringLiteral("..%5C..%5Ce2al9.txt");
        QTest::newRow("zero-byte") << QByteArray("123\0"
                                                 "5e2al9",
                                                 10)
                                   << QStringLiteral("123%005e2al9.txt");
        QTest::newRow("absolute-path")
            << QByteArray("/etc/passwd") << QStringLiteral("%2Fetc%2Fpasswd.txt");
        QTest::newRow("dot-dot") << QByteArray("..") << QStringLiteral("%2E%2E.txt");
        QTest::newRow("dot") << QByteArray(".") << QStringLiteral("%2E.txt");
        // Three headers that a stand-in character would have filed under one name.
        QTest::newRow("underscore-stays")
            << QByteArray("q_zzze2al9") << QStringLiteral("q_zzze2al9.txt");
        QTest::newRow("slash") << QByteArray("q/zzze2al9") << QStringLiteral("q%2Fzzze2al9.txt");
        QTest::newRow("percent") << QByteArray("q%2Fzzze2al9")
                                 << QStringLiteral("q%252Fzzze2al9.txt");
        QTest::newRow("three-dots-stay") << QByteArray("...") << QStringLiteral("....txt");
    }

    void aHeaderThatNamesAPathIsFiledInsideReceived()
    {
        QFETCH(QByteArray, header);
        QFETCH(QString, fileName);
        SetOutputs(true, false, false);
        EdisMessage message = WorkedExample();
        message.m_header = header;
        MessageDispatcher(&message).Dispatch();
        FinishReceivedFiles();

        QCOMPARE(Shell().m_log, QStringList());
        QCOMPARE(QDir(Received()).entryList(QDir::Files | QDir::Hidden), QStringList{fileName});
        QCOMPARE(ReadAll(Received() + '/' + fileName), MessageFileContent(message));
        QCOMPARE(QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"Received"});
    }

    void thePortGetsFullPiecesThenTheRest_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("outBufferSize");
        QTest::addColumn<int>("recoverTime");
        QTest::addColumn<QList<int>>("lengths");
        QTest::addColumn<int>("pauses");

        QTest::newRow("shorter-than-a-piece") << 10 << 512 << 1000 << QList<int>{10} << 0;
        QTest::newRow("one-short-of-a-piece") << 509 << 512 << 1000 << QList<int>{509} << 0;
        QTest::newRow("exactly-one-piece-then-empty")
            << 510 << 512 << 1000 << QList<int>{510, 0} << 1;
        QTest::newRow("one-past-a-piece") << 511 << 512 << 1000 << QList<int>{510, 1} << 1;
        QTest::newRow("exactly-two-pieces-then-empty")
            << 1020 << 512 << 1000 << QList<int>{510, 510, 0} << 2;
        QTest::newRow("one-past-two-pieces") << 1021 << 512 << 1000 << QList<int>{510, 510, 1} << 2;
        QTest::newRow("no-recover-time-no-pause")
            << 1021 << 512 << 0 << QList<int>{510, 510, 1} << 0;
        QTest::newRow("smallest-usable-buffer") << 7 << 5 << 1000 << QList<int>{3, 3, 1} << 2;
        QTest::newRow("buffer-below-five") << 10 << 4 << 1000 << QList<int>{} << 0;
        QTest::newRow("port-never-set-up") << 10 << 0 << 1000 << QList<int>{} << 0;
    }

    void thePortGetsFullPiecesThenTheRest()
    {
        QFETCH(int, total);
        QFETCH(int, outBufferSize);
        QFETCH(int, recoverTime);
        QFETCH(QList<int>, lengths);
        QFETCH(int, pauses);

        const std::vector<PortPiece> pieces
            = PlanPortPieces(total, outBufferSize, std::chrono::milliseconds(recoverTime));
        QCOMPARE(int(pieces.size()), lengths.size());
        qsizetype start = 0;
        int pausesTaken = 0;
        for (size_t i = 0; i < pieces.size(); ++i) {
            QCOMPARE(pieces[i].start, start);
            QCOMPARE(int(pieces[i].length), lengths[int(i)]);
            start += pieces[i].length;
            if (pieces[i].pause > 0ms) {
                QCOMPARE(pieces[i].pause, std::chrono::milliseconds(recoverTime));
                ++pausesTaken;
            }
        }
        QCOMPARE(start, pieces.empty() ? 0 : total);
        QCOMPARE(pausesTaken, pauses);
        // No pause after the last piece: nothing follows it that could overwrite it.
        if (!pieces.empty())
            QCOMPARE(pieces.back().pause, 0ms);
    }

    void theOutputLineCarriesTheWholeTextInOrderZeroBytesIncluded()
    {
        Pty line;
        QVERIFY(line.IsOpen());
        SerialPort &port = Shell().m_outPort;
        QVERIFY(StartOutputLine(port, line));

        // Three pieces: 510, 510 and 1, every byte value among them.
        EdisMessage message = WorkedExample();
        message.m_outputText.clear();
        for (int i = 0; i < 1021; ++i)
            message.m_outputText.append(char(i * 7 % 256));
        SetOutputs(false, true, false, 1);
        MessageDispatcher(&message).Dispatch();

        QByteArray arrived;
        const auto readAll = [&] {
            arrived += line.ReadAvailable();
            return arrived.size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(readAll(), message.m_outputText.size(), 20000);
        QCOMPARE(arrived, message.m_outputText);
        QCOMPARE(Shell().m_log, QStringList());
        port.StopThread();
        port.Configure(nullptr, 0, 0, 0, 0, 0, 0, 0);
    }

    void aDiskSlowToSyncHoldsNeitherTheWindowNorTheOrderOfFilesAndForwards()
    {
        if (dlsym(RTLD_DEFAULT, "alvetra_slow_sync_loaded") == nullptr)
            QSKIP("Needs the slow disk preloaded (LD_PRELOAD of libslowsync.so), as CTest runs "
                  "it.");
        Pty line;
        QVERIFY(line.IsOpen());
        SerialPort &port = Shell().m_outPort;
        QVERIFY(StartOutputLine(port, line));
        const auto closePort = qScopeGuard([&port] {
            port.StopThread();
            port.Configure(nullptr, 0, 0, 0, 0, 0, 0, 0);
        });
        qputenv("ALVETRA_SLOW_SYNC_FOLDER", QFile::encodeName(Received()));
        qputenv("ALVETRA_SLOW_SYNC_MS", "400");
        const auto fastAgain = qScopeGuard([] {
            FinishReceivedFiles();
            qunsetenv("ALVETRA_SLOW_SYNC_FOLDER");
        });
        SetOutputs(true, true, false, 0);

        // Names in the order they pass, so that a folder listing shows the order filed.
        constexpr int kBurst = 5;
        QStringList files;
        QByteArray sent;
        std::vector<QByteArray> texts;
        for (int i = 0; i < kBurst; ++i) {
            const QByteArray header = "1000" + QByteArray::number(i) + "e2al9";
            files.append(QString::fromLatin1(header) + ".txt");
            texts.push_back("\x01" + header + "\x04");
            sent += texts.back();
        }
        // The window's thread at work while the files are written: each tick looks at the
        // folder and at what the far end has had.
        QByteArray arrived;
        int ticksWhileFiling = 0;
        QStringList faults;
        QTimer window;
        window.setInterval(10);
        connect(&window, &QTimer::timeout, this, [&] {
            arrived += line.ReadAvailable();
            const QStringList present
                = QDir(Received()).entryList({QStringLiteral("*.txt")}, QDir::Files);
            if (present != files.mid(0, present.size()))
                faults.append("filed out of order: " + present.join(' '));
            if (present.size() < kBurst)
                ++ticksWhileFiling;
            for (int i = int(present.size()); i < kBurst; ++i)
                if (arrived.contains(texts[size_t(i)]))
                    faults.append("forwarded before its file: " + files[i]);
        });
        window.start();
        for (int i = 0; i < kBurst; ++i) {
            EdisMessage message = WorkedExample();
            message.m_header = texts[size_t(i)].mid(1, 10);
            message.m_outputText = texts[size_t(i)];
            MessageDispatcher(&message).Dispatch();
        }
        QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), sent.size(), 30000);
        window.stop();

        QCOMPARE(faults, QStringList());
        QVERIFY2(ticksWhileFiling > 0, "the window's thread was held while the files were synced");
        QCOMPARE(arrived, sent);
        QCOMPARE(QDir(Received()).entryList(QDir::Files | QDir::Hidden), files);
        QCOMPARE(Shell().m_log, QStringList());

        // The end comes while the last message's file is being synced: it still gets its file,
        // and its forward after it.
        EdisMessage last = WorkedExample();
        last.m_header = "10009e2al9";
        last.m_outputText = "\x01" + last.m_header + "\x04";
        MessageDispatcher(&last).Dispatch();
        StopPrinting();
        QVERIFY(QFile::exists(Received() + "/10009e2al9.txt"));
        QTRY_VERIFY((arrived += line.ReadAvailable()).endsWith(last.m_outputText));
    }

    void aPrintServiceThatNeverAnswersHoldsNeitherTheFilesNorTheNextMessageNorTheEnd()
    {
        // A scheduler that takes the connection and never answers, as a hung one does.
        const QByteArray socketPath = QDir::current().absoluteFilePath("hung-cups").toLocal8Bit();
        const int service = socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(service >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path);
        QVERIFY(bind(service, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(listen(service, 16) == 0);
        qputenv("CUPS_SERVER", socketPath);
        const auto answer = qScopeGuard([&] {
            // Refused from now on, so the printing thread gets on with its queue and ends.
            ::close(service);
            qunsetenv("CUPS_SERVER");
        });

        SetOutputs(true, false, true);
        QStringList results;
        SetPrintResultHandler(
            [&results](quint64 tag, bool, const QString &result, const QDateTime &) {
                results.append(QStringLiteral("%1 %2").arg(tag).arg(result));
            });
        const auto noHandler = qScopeGuard([] { SetPrintResultHandler({}); });
        QStringList files;
        quint64 ticket = 0;
        for (const char *header : {"11111e2al9", "22222e2al9", "33333e2al9"}) {
            EdisMessage message = WorkedExample();
            message.m_header = header;
            MessageDispatcher dispatcher(&message);
            dispatcher.SetJournalTicket(++ticket);
            dispatcher.Dispatch();
            files.append(QString::fromLatin1(header) + ".txt");
        }
        FinishReceivedFiles();
        QCOMPARE(QDir(Received()).entryList(QDir::Files), files);
        QCOMPARE(Shell().m_log, QStringList());
        // The printing thread is the one waiting for the service.
        pollfd waiting{service, POLLIN, 0};
        QTRY_VERIFY(poll(&waiting, 1, 0) == 1);

        // The program ends: the jobs behind the hung one are kept as not printed; the hung one
        // is not known either way.
        QCOMPARE(StopPrinting(), 2);
        QCOMPARE(results, QStringList({"2 not printed: dropped at the end",
                                       "3 not printed: dropped at the end"}));
    }

    void aStoredRecoverTimeOfHoursIsBoundedAndANegativeOneIsNoPause()
    {
        QCOMPARE(BoundedRecoverTime(1000), 1000ms);
        QCOMPARE(BoundedRecoverTime(3600 * 1000), kMaxRecoverTime);
        QCOMPARE(BoundedRecoverTime(-1), 0ms);
        QVERIFY(kMaxRecoverTime >= 1000ms); // a full piece takes 0.53 s at 9600 baud
    }

    void theSwitchesAreReadAtEachDispatch()
    {
        EdisMessage message = WorkedExample();
        const QString file = Received() + "/12345e2al9.txt";

        // All off: only the log line (shown before the dispatch) and the sound.
        MessageDispatcher(&message).Dispatch();
        QCOMPARE(Shell().m_log, QStringList());
        QVERIFY(!QFile::exists(file));

        // A switch turned on applies to the next message.
        Shell().m_generalSettings.m_sendToFile = 5; // any non-zero value is on
        Shell().m_generalSettings.m_sendToPort = 1;
        MessageDispatcher(&message).Dispatch();
        FinishReceivedFiles();
        QVERIFY(QFile::exists(file));
        QCOMPARE(Shell().m_log, QStringList{kPortTooSmall});

        QVERIFY(QFile::remove(file));
        Shell().m_log.clear();
        SetOutputs(false, false, false);
        MessageDispatcher(&message).Dispatch();
        QCOMPARE(Shell().m_log, QStringList());
        QVERIFY(!QFile::exists(file));
    }

    void onlyPlainPcmWaveSoundsArePlayed_data()
    {
        const auto chunk = [](const QByteArray &id, const QByteArray &body, quint32 claimed = 0) {
            const quint32 size = claimed != 0 ? claimed : quint32(body.size());
            QByteArray bytes = id;
            for (int i = 0; i < 4; ++i)
                bytes.append(char(size >> (8 * i) & 0xFF));
            return bytes + body + (body.size() % 2 != 0 ? QByteArray(1, '\0') : QByteArray());
        };
        // 16-bit PCM, mono, 44100 Hz.
        const QByteArray fmt = chunk("fmt ", QByteArray::fromHex("01000100"
                                                                 "44ac0000"
                                                                 "88580100"
                                                                 "02001000"));
        const QByteArray floats = chunk("fmt ", QByteArray::fromHex("03000100"
                                                                    "44ac0000"
                                                                    "10b10200"
                                                                    "04002000"));
        const QByteArray frames = QByteArray::fromHex("01000200030004");
        const auto wave
            = [](const QByteArray &chunks) { return QByteArray("RIFF\0\0\0\0WAVE", 12) + chunks; };

        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("bytes");
        QTest::newRow("plain") << wave(fmt + chunk("data", frames.left(6))) << 6;
        QTest::newRow("odd-extra-chunk-skipped")
            << wave(fmt + chunk("LIST", "abc") + chunk("data", frames.left(6))) << 6;
        QTest::newRow("half-frame-dropped") << wave(fmt + chunk("data", frames)) << 6;
        QTest::newRow("data-claims-more-than-the-file")
            << wave(fmt + chunk("data", frames.left(4), 0xFFFFFFF0)) << 4;
        QTest::newRow("floating-point") << wave(floats + chunk("data", frames.left(4))) << 0;
        QTest::newRow("data-before-format") << wave(chunk("data", frames.left(4)) + fmt) << 0;
        QTest::newRow("cut-in-the-format") << wave(fmt.left(12)) << 0;
        QTest::newRow("not-riff") << QByteArray("ID3\x03junk") << 0;
    }

    void onlyPlainPcmWaveSoundsArePlayed()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, bytes);
        const WaveSound sound = ParseWaveSound(file);
        QCOMPARE(sound.m_samples.size(), bytes);
        if (bytes > 0) {
            QCOMPARE(sound.m_format.sampleFormat(), QAudioFormat::Int16);
            QCOMPARE(sound.m_format.channelCount(), 1);
            QCOMPARE(sound.m_format.sampleRate(), 44100);
        }
    }

    void theShippedSoundsArePlainWavesOfTheirLength_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("longestMicroseconds");
        QTest::newRow("chime-under-a-second") << "passed.wav" << 1000000;
        QTest::newRow("silence-alarm-under-two-seconds") << "silence.wav" << 2000000;
    }

    void theShippedSoundsArePlainWavesOfTheirLength()
    {
        QFETCH(QString, file);
        QFETCH(int, longestMicroseconds);
        const WaveSound chime = ReadWaveSound(qEnvironmentVariable("ALVETRA_SOURCE_DIR")
                                              + QStringLiteral("/sounds/") + file);
        QVERIFY(chime.m_format.isValid());
        const qint64 length = chime.m_format.durationForBytes(chime.m_samples.size());
        QVERIFY2(length > 200000 && length < longestMicroseconds,
                 qPrintable(QString::number(length)));
    }

    void fileErrorCausesHaveTheirTexts()
    {
        QCOMPARE(FileErrorCauseText(0), QStringLiteral("No error occurred."));
        QCOMPARE(FileErrorCauseText(3), QStringLiteral("All or part of the path is invalid."));
        QCOMPARE(FileErrorCauseText(11),
                 QStringLiteral("SHARE.EXE was not loaded, or a shared region was locked."));
        QCOMPARE(FileErrorCauseText(14), QStringLiteral("The end of file was reached."));
        QCOMPARE(FileErrorCauseText(15), QStringLiteral("unknown error"));
        QCOMPARE(FileErrorCauseText(-1), QStringLiteral("unknown error"));
        QCOMPARE(FileErrorCauseText(FileErrorCauseFromErrno(ENOSPC)),
                 QStringLiteral("The disk is full."));
        QCOMPARE(FileErrorCauseText(FileErrorCauseFromErrno(EMFILE)),
                 QStringLiteral("The permitted number of open files was exceeded."));
    }
};

QTEST_MAIN(MessageDispatcherTest)
#include "tst_messagedispatcher.moc"
