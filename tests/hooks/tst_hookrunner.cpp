#include "hooks/HookRunner.h"
#include "hooks/PassedMessageHook.h"

#include "doors/Doors.h"
#include "receiver/EdisMessage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QScopeGuard>
#include <QTest>

#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

using namespace std::chrono_literals;

using Fields = QMap<QString, QString>;
Q_DECLARE_METATYPE(EdisMessage)

namespace {

struct LogDoors : Doors
{
    void LogError(const QString &text) override { m_log.append(QStringLiteral("Error:->") + text); }
    QString GetProgramFolder() override { return m_programFolder; }
    QStringList m_log;
    QString m_programFolder = QDir::currentPath();
};

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString WriteScript(const QString &name, const QByteArray &text)
{
    const QString path = QDir::current().absoluteFilePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + text) < 0)
        return {};
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

// A process that is gone or waits only to be reaped has ended.
bool Ended(const QByteArray &pid)
{
    const QByteArray stat = ReadAll("/proc/" + pid.trimmed() + "/stat");
    return pid.trimmed().toInt() > 0 && (stat == "<missing>" || stat.contains(") Z "));
}

HookJob Job(const QString &command, const QString &name = QStringLiteral("job"))
{
    HookJob job;
    job.m_command = command;
    job.m_name = name;
    return job;
}

} // namespace

class HookRunnerTest : public QObject
{
    Q_OBJECT

private:
    LogDoors m_doors;
    std::unique_ptr<ScopedDoors> m_installed;
    QList<HookResult> m_results;

    std::unique_ptr<HookRunner> NewRunner()
    {
        m_results.clear();
        m_doors.m_log.clear();
        auto runner = std::make_unique<HookRunner>(true);
        runner->SetResultHandler([this](const HookResult &result) { m_results.append(result); });
        return runner;
    }

private slots:
    void initTestCase()
    {
        m_installed = std::make_unique<ScopedDoors>(m_doors);
        // The arrival time is given in the station's own time with its offset.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void aPassedMessageReachesTheCommandExactlyAndNeverAShell_data()
    {
        QTest::addColumn<EdisMessage>("message");
        QTest::addColumn<Fields>("fields"); // besides time, line and file
        QTest::addColumn<QStringList>("cut");

        EdisMessage plain;
        plain.m_header = "12345e2al9";
        plain.m_headline = "Quake";
        plain.m_trailer = "0930";
        plain.m_body = "Body\r\n";
        QTest::newRow("worked-example")
            << plain << Fields{{"HEADER", "12345e2al9"}, {"HANDLING", "e"},     {"REGION", "2a"},
                               {"SOURCE", "l"},          {"HEADLINE", "Quake"}, {"TRAILER", "0930"}}
            << QStringList{};
        EdisMessage shelly = plain;
        shelly.m_header = "1 \"'$(x)e2al9";
        shelly.m_headline = "a \"quoted\" $(touch ran) `touch ran` ; 'b' *";
        QTest::newRow("spaces-quotes-and-substitutions-stay-text")
            << shelly
            << Fields{{"HEADER", "1 \"'$(x)e2al9"},
                      {"HANDLING", "("},
                      {"REGION", "x)"},
                      {"SOURCE", "e"},
                      {"HEADLINE", "a \"quoted\" $(touch ran) `touch ran` ; 'b' *"},
                      {"TRAILER", "0930"}}
            << QStringList{};
        EdisMessage coded = plain;
        coded.m_headline = QByteArray("Caf\xE9 \x80 5\0", 9) + "0";
        coded.m_trailer = QByteArray("\0", 1);
        QTest::newRow("windows-1252-as-the-log-and-zero-bytes-left-out")
            << coded
            << Fields{{"HEADER", "12345e2al9"},
                      {"HANDLING", "e"},
                      {"REGION", "2a"},
                      {"SOURCE", "l"},
                      {"HEADLINE", QString::fromUtf8("Café € 50")},
                      {"TRAILER", ""}}
            << QStringList{};
        // é is two bytes of UTF-8, so the 64 KiB mark falls inside one and the cut before it.
        EdisMessage longer = plain;
        longer.m_headline = 'A' + QByteArray(40000, '\xE9');
        longer.m_trailer = QByteArray(65536, 'T');
        QTest::newRow("a-value-past-64-KiB-is-cut-at-a-character")
            << longer
            << Fields{{"HEADER", "12345e2al9"},
                      {"HANDLING", "e"},
                      {"REGION", "2a"},
                      {"SOURCE", "l"},
                      {"HEADLINE", 'A' + QString(32767, QChar(0xE9))},
                      {"TRAILER", QString(65536, 'T')}}
            << QStringList{"ALVETRA_HEADLINE"};
    }

    void aPassedMessageReachesTheCommandExactlyAndNeverAShell()
    {
        QFETCH(EdisMessage, message);
        QFETCH(QStringList, cut);
        const QString recorder = WriteScript("record", "env -0 > \"$1.env\"\n"
                                                       "printf '%s\\0' \"$@\" > \"$1.args\"\n"
                                                       "cat > \"$1.in\"\n");
        const QString out = QDir::current().absoluteFilePath("run 1");
        const QString command = '"' + recorder + "\" \"" + out + "\" '$(touch ran)' ;|&";
        const PassedMessageFacts facts{QDateTime(QDate(2024, 3, 1), QTime(13, 5, 9, 250), Qt::UTC),
                                       2, "/opt/alvetra/Received/12345e2al9.txt"};
        const PassedMessageHook hook = MakePassedMessageHook(message, facts, command, 60s);
        QCOMPARE(hook.m_cutVariables, cut);

        auto runner = NewRunner();
        QVERIFY(runner->Run(hook.m_job));
        QTRY_COMPARE(m_results.size(), 1);
        QCOMPARE(m_results[0].m_outcome, HookOutcome::Succeeded);
        QCOMPARE(m_doors.m_log, QStringList{});

        QFETCH(Fields, fields);
        fields["RECEIVED_AT"] = "2024-03-01T14:05:09.250+01:00";
        fields["LINE"] = "2";
        fields["FILE"] = facts.m_file;
        Fields seen;
        for (const QByteArray &entry : ReadAll(out + ".env").split('\0')) {
            const QString name = QString::fromUtf8(entry.mid(8, entry.indexOf('=') - 8));
            if (entry.startsWith("ALVETRA_") && fields.contains(name))
                seen[name] = QString::fromUtf8(entry.mid(entry.indexOf('=') + 1));
        }
        QCOMPARE(seen, fields);
        QCOMPARE(ReadAll(out + ".in"), MessageFileContent(message));
        // Only double quotes group; single quotes are text like any other.
        QCOMPARE(ReadAll(out + ".args").split('\0'),
                 (QByteArrayList{out.toUtf8(), "'$(touch", "ran)'", ";|&", ""}));
        QVERIFY(!QFile::exists("ran"));
    }

    void aFailedCommandGivesOneErrorLineWithItsCodeAndLastErrorLine_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<HookOutcome>("outcome");
        QTest::addColumn<QString>("line"); // empty: no line in the log

        const QString lead = "Error:->The command for passed message [X] ";
        QTest::newRow("success-is-silent")
            << "sh -c \"echo noise >&2\"" << HookOutcome::Succeeded << "";
        QTest::newRow("cannot-be-started")
            << "/nonexistent/program" << HookOutcome::NotStarted
            << lead + "could not be started: execve: No such file or directory";
        QTest::newRow("exit-3-after-writing-errors")
            << "sh -c \"echo first >&2; printf 'it broke\\r\\n\\n' >&2; exit 3\""
            << HookOutcome::Failed << lead + "ended with code 3: it broke";
        QTest::newRow("ended-by-a-signal-of-its-own")
            << "sh -c \"kill -9 $$\"" << HookOutcome::Killed << lead + "was ended by signal 9";
        QTest::newRow("a-long-error-line-keeps-its-last-KiB")
            << "sh -c \"printf 'a%.0s' $(seq 1500) >&2; printf 'b%.0s' $(seq 1024) >&2; exit 1\""
            << HookOutcome::Failed << lead + "ended with code 1: " + QString(1024, 'b');
        // Bounded itself, so that a runner without the bound fills no disk while it fails.
        QTest::newRow("flooding-standard-error-is-ended-at-its-bound")
            << "sh -c \"trap 'echo last words >&2; exit 1' TERM; yes flood | head -c 50000000 "
               ">&2; sleep 60\""
            << HookOutcome::Flooded
            << lead + "wrote more than 1 MiB on standard error and was ended: last words";
    }

    void aFailedCommandGivesOneErrorLineWithItsCodeAndLastErrorLine()
    {
        QFETCH(QString, command);
        QFETCH(QString, line);
        auto runner = NewRunner();
        QVERIFY(runner->Run(Job(command, "passed message [X]")));
        QTRY_COMPARE(m_results.size(), 1);
        QTEST(m_results[0].m_outcome, "outcome");
        QCOMPARE(m_doors.m_log, line.isEmpty() ? QStringList{} : QStringList{line});
    }

    void commandsPastTheirTimeLimitEndWithTheirChildrenAndFreeTheirPlace_data()
    {
        QTest::addColumn<QByteArray>("trap");
        QTest::newRow("ended-by-sigterm") << QByteArray();
        QTest::newRow("sigterm-ignored-until-sigkill") << QByteArray("trap '' TERM\n");
    }

    void commandsPastTheirTimeLimitEndWithTheirChildrenAndFreeTheirPlace()
    {
        QFETCH(QByteArray, trap);
        const QString sleeper
            = WriteScript("sleeper", trap + "sleep 1000 &\necho $! > \"child$1\"\nwait\n");
        auto runner = NewRunner();
        for (int i = 0; i < HookRunner::kMaxRunning; ++i) {
            HookJob job = Job(sleeper + ' ' + QString::number(i));
            job.m_timeLimit = 1s;
            QVERIFY(runner->Run(job));
        }
        QVERIFY(runner->Run(Job("true", "next")));
        QCOMPARE(runner->WaitingCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_results.size(), HookRunner::kMaxRunning + 1, 15000);
        // The next one waits for a free place, so a sleeper ends first; the others may end
        // before it or after it.
        QCOMPARE(m_results[0].m_outcome, HookOutcome::TimedOut);
        QStringList order;
        for (const HookResult &result : std::as_const(m_results))
            order << result.m_name + (result.m_outcome == HookOutcome::TimedOut ? "-ended" : "");
        order.sort();
        QCOMPARE(order, (QStringList{"job-ended", "job-ended", "job-ended", "job-ended", "next"}));
        for (int i = 0; i < HookRunner::kMaxRunning; ++i)
            QTRY_VERIFY(Ended(ReadAll("child" + QString::number(i))));
        QCOMPARE(m_doors.m_log.size(), HookRunner::kMaxRunning);
        QCOMPARE(m_doors.m_log[0], "Error:->The command for job still ran after 1 s and was ended");
    }

    void aCommandStartsInTheProgramFolderInAGroupOfItsOwnWithOnlyItsThreeDescriptors()
    {
        // As a desktop session or a service manager may leave descriptors open to Alvetra.
        const int inherited = ::open("/dev/null", O_RDONLY);
        QVERIFY(inherited >= 0 && ::dup2(inherited, 251) == 251);
        ::close(inherited);
        m_doors.m_programFolder = QDir::current().absoluteFilePath("program");
        QVERIFY(QDir().mkpath(m_doors.m_programFolder));
        QByteArray started;
        const auto restore = qScopeGuard([&] {
            ::close(251);
            m_doors.m_programFolder = QDir::currentPath();
            if (started.toInt() > 0)
                ::kill(started.toInt(), SIGKILL);
        });
        auto runner = NewRunner();
        QVERIFY(runner->Run(Job("sh -c \"echo $$ > pid; exec sleep 1000\"")));
        QTRY_VERIFY((started = ReadAll("program/pid").trimmed()).toInt() > 0);
        const QString proc = "/proc/" + QString::fromLatin1(started);
        QTRY_COMPARE(
            QDir(proc + "/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            (QStringList{"0", "1", "2"}));
        QCOMPARE(QFileInfo(proc + "/cwd").symLinkTarget(), m_doors.m_programFolder);
        // After the name, which may hold spaces: state, parent, group, session.
        const QByteArray stat = ReadAll(proc + "/stat");
        const QByteArrayList fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        QCOMPARE(fields.value(2), started);
        QCOMPARE(fields.value(3).toInt(), int(::getsid(0)));
    }

    void aHundredWaitBehindFourAndTheNextIsRefusedByName()
    {
        const QString blocker = WriteScript("blocker", "while [ ! -e go ]; do sleep 0.01; done\n");
        auto runner = NewRunner();
        for (int i = 0; i < HookRunner::kMaxRunning + HookRunner::kMaxWaiting; ++i)
            QVERIFY(runner->Run(Job(i < HookRunner::kMaxRunning ? blocker : "true")));
        QVERIFY(!runner->Run(Job(blocker, "passed message [full]")));
        QCOMPARE(m_doors.m_log,
                 QStringList{"Error:->The command for passed message [full] was not run: 100 "
                             "commands are waiting already"});
        QCOMPARE(m_results.size(), 1);
        QVERIFY(QFile("go").open(QIODevice::WriteOnly));
        QTRY_COMPARE(m_results.size(), 1 + HookRunner::kMaxRunning + HookRunner::kMaxWaiting);
        QCOMPARE(runner->WaitingCount(), 0);
        QCOMPARE(m_doors.m_log.size(), 1);
    }

    void atTheEndRunningCommandsFinishAndWaitingOnesAreDropped()
    {
        // Reads its message only after the runner is gone: the input outlives it.
        const QString late = WriteScript(
            "late", "while [ ! -e go2 ]; do sleep 0.01; done\necho late >&2\ncat > \"in$1\"\n");
        auto runner = NewRunner();
        for (int i = 0; i < HookRunner::kMaxRunning; ++i) {
            HookJob job = Job(late + ' ' + QString::number(i));
            job.m_input = "message " + QByteArray::number(i);
            QVERIFY(runner->Run(job));
        }
        QVERIFY(runner->Run(Job("touch dropped")));
        runner.reset();
        QVERIFY(QFile("go2").open(QIODevice::WriteOnly));
        for (int i = 0; i < HookRunner::kMaxRunning; ++i)
            QTRY_COMPARE(ReadAll("in" + QString::number(i)), "message " + QByteArray::number(i));
        QVERIFY(!QFile::exists("dropped"));
        QCOMPARE(m_results.size(), 0);
    }
};

QTEST_GUILESS_MAIN(HookRunnerTest)
#include "tst_hookrunner.moc"
