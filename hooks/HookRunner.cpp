#include "HookRunner.h"

#include "doors/Doors.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#endif

struct HookRunner::Running
{
    QString name;
    quint64 tag = 0;
    QString command;
    std::chrono::seconds timeLimit{0};
    QDateTime queuedAt;
    QDateTime startedAt;
    std::unique_ptr<QTemporaryFile> input;
    std::unique_ptr<QTemporaryFile> errors;
    QTimer limit;
    qint64 group = 0;
    bool timedOut = false;
    // The size of its standard error when it was ended for passing the bound; -1 until then.
    qint64 floodedAt = -1;
    bool ending = false;
    int errorWatch = -1;
};

namespace {

QDateTime Now()
{
    return QDateTime::currentDateTimeUtc();
}

// Before the line is kept, so that a program that writes megabytes of errors costs a read of
// a few KiB; the end is all that is looked at.
constexpr qint64 kErrorTailBytes = 4 * HookRunner::kMaxErrorLine;

QString ErrorTail(QTemporaryFile *file)
{
    if (!file || !file->isOpen())
        return {};
    const qint64 size = file->size();
    if (!file->seek(std::max<qint64>(0, size - kErrorTailBytes)))
        return {};
    return LastErrorLine(file->read(kErrorTailBytes));
}

#ifdef Q_OS_LINUX
// Marks every descriptor above standard error close-on-exec, so that the program gets none of
// Alvetra's, nor any its own parent left open to it. Closing them instead would cut the pipe
// through which Qt learns that the start failed. Runs in the child between fork and exec,
// where only async-signal-safe calls may be made: the fallback reads the folder of descriptors
// with the bare system call, without opendir's allocation.
void MarkDescriptorsCloseOnExec()
{
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // A kernel before 5.11 knows no CLOSE_RANGE_CLOEXEC.
    const int folder = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    alignas(dirent64) char buffer[4096];
    ssize_t size = 0;
    while ((size = ::getdents64(folder, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < size;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            at += entry->d_reclen;
            int descriptor = 0;
            const char *digit = entry->d_name;
            for (; *digit >= '0' && *digit <= '9' && descriptor < 1 << 24; ++digit)
                descriptor = descriptor * 10 + (*digit - '0');
            if (*digit != '\0' || digit == entry->d_name || descriptor <= 2 || descriptor == folder)
                continue;
            const int flags = ::fcntl(descriptor, F_GETFD);
            if (flags >= 0)
                ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
        }
    }
    ::close(folder);
}
#endif

} // namespace

HookRunner::HookRunner(bool logFailures, QObject *parent)
    : QObject(parent)
    , m_logFailures(logFailures)
    , m_errorCheck(new QTimer(this))
{
    m_errorCheck->setInterval(kErrorCheckInterval);
    m_errorCheck->callOnTimeout(this, [this] {
        for (auto &[process, run] : m_running)
            CheckErrors(process, *run);
    });
#ifdef Q_OS_LINUX
    m_errorWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_errorWatch >= 0) {
        m_errorWatchNotifier = new QSocketNotifier(m_errorWatch, QSocketNotifier::Read, this);
        connect(m_errorWatchNotifier, &QSocketNotifier::activated, this,
                &HookRunner::OnErrorsWritten);
    }
#endif
}

HookRunner::~HookRunner()
{
    // A running program is the station's business and may be half way through a mail; it is
    // left to finish. QProcess would end it on destruction, so each one is let go instead, a
    // few hundred bytes per program left behind.
    for (auto &[process, run] : m_running) {
        process->disconnect(this);
        process->setParent(nullptr);
        run->limit.stop();
    }
    m_running.clear();
    delete m_errorWatchNotifier;
    if (m_errorWatch >= 0)
        ::close(m_errorWatch);
}

void HookRunner::SetResultHandler(std::function<void(const HookResult &)> handler)
{
    m_handler = std::move(handler);
}

void HookRunner::FinishAlone()
{
    m_alone = true;
    m_handler = nullptr;
    m_waiting.clear();
    // So that the application's end still lets the programs go rather than leaking the runner.
    if (parent() == nullptr)
        setParent(QCoreApplication::instance());
    DeleteIfDone();
}

void HookRunner::DeleteIfDone()
{
    if (m_alone && m_running.empty() && m_pendingKills == 0) {
        m_alone = false;
        deleteLater();
    }
}

bool HookRunner::Run(HookJob job)
{
    Waiting waiting{std::move(job), Now()};
    if (m_waiting.empty() && RunningCount() < kMaxRunning) {
        Start(std::move(waiting));
        return true;
    }
    if (WaitingCount() >= kMaxWaiting) {
        HookResult result;
        result.m_name = waiting.job.m_name;
        result.m_tag = waiting.job.m_tag;
        result.m_command = waiting.job.m_command;
        result.m_outcome = HookOutcome::Refused;
        result.m_queuedAt = waiting.queuedAt;
        result.m_endedAt = waiting.queuedAt;
        Report(result);
        return false;
    }
    m_waiting.push_back(std::move(waiting));
    return true;
}

void HookRunner::StartWaiting()
{
    while (!m_waiting.empty() && RunningCount() < kMaxRunning) {
        Waiting next = std::move(m_waiting.front());
        m_waiting.pop_front();
        Start(std::move(next));
    }
}

void HookRunner::Start(Waiting waiting)
{
    HookJob &job = waiting.job;
    auto notStarted = [&](const QString &why) {
        HookResult result;
        result.m_name = job.m_name;
        result.m_tag = job.m_tag;
        result.m_command = job.m_command;
        result.m_outcome = HookOutcome::NotStarted;
        result.m_failure = why;
        result.m_queuedAt = waiting.queuedAt;
        result.m_endedAt = Now();
        Report(result);
    };
    QStringList words = QProcess::splitCommand(job.m_command);
    if (words.isEmpty())
        return notStarted(QStringLiteral("no program named"));

    auto run = std::make_unique<Running>();
    run->name = job.m_name;
    run->tag = job.m_tag;
    run->command = job.m_command;
    run->timeLimit = job.m_timeLimit;
    run->queuedAt = waiting.queuedAt;
    // Files, not pipes: a program still running when Alvetra ends can go on reading its
    // message and writing its errors.
    run->input = std::make_unique<QTemporaryFile>();
    run->errors = std::make_unique<QTemporaryFile>();
    if (!run->input->open() || run->input->write(job.m_input) != job.m_input.size()
        || !run->input->flush())
        return notStarted(QStringLiteral("its input could not be written: ")
                          + run->input->errorString());
    if (!run->errors->open())
        return notStarted(QStringLiteral("no file for its errors: ") + run->errors->errorString());
#ifdef Q_OS_LINUX
    // By name while it has one; the watch stays on the file once it is unlinked.
    if (m_errorWatch >= 0)
        run->errorWatch = ::inotify_add_watch(
            m_errorWatch, QFile::encodeName(run->errors->fileName()).constData(), IN_MODIFY);
#endif

    auto *process = new QProcess(this);
    process->setProgram(words.takeFirst());
    process->setArguments(words);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : std::as_const(job.m_environment))
        environment.insert(name, value);
    process->setProcessEnvironment(environment);
    process->setStandardInputFile(run->input->fileName());
    process->setStandardOutputFile(QProcess::nullDevice());
    // Appended, so that its writes follow the file's end and never leave a hole that would hide
    // its size.
    process->setStandardErrorFile(run->errors->fileName(), QIODevice::Append);
    // Where Received/ and the journal are, whatever folder Alvetra was started in.
    process->setWorkingDirectory(GetProgramFolder());
#ifdef Q_OS_UNIX
    // A group of its own, so that the time limit reaches what the program started as well; but
    // not a session of its own, in which the first serial device it opened would become its
    // controlling terminal.
    process->setChildProcessModifier([] {
        ::setpgid(0, 0);
#ifdef Q_OS_LINUX
        MarkDescriptorsCloseOnExec();
#endif
    });
#endif
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus status) {
                OnFinished(process, exitCode, status == QProcess::CrashExit);
            });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            OnFailedToStart(process);
    });
    Running *started = run.get();
    started->limit.setSingleShot(true);
    started->limit.callOnTimeout(this, [this, process] { OnTimeLimit(process); });
    m_running.emplace(process, std::move(run));
    started->startedAt = Now();
    process->start();
    // A redirection that fails is reported from inside start(), and the run is gone.
    if (m_running.find(process) == m_running.end())
        return;
    started->group = process->processId();
    // The program holds both files open by now; their names are no longer needed, and a run
    // left behind at the end leaves no file behind either.
    started->input.reset();
#ifdef Q_OS_UNIX
    ::unlink(QFile::encodeName(started->errors->fileName()).constData());
    started->errors->setAutoRemove(false);
#endif
    started->limit.start(started->timeLimit);
    if (!m_errorCheck->isActive())
        m_errorCheck->start();
}

void HookRunner::OnTimeLimit(QProcess *process)
{
    const auto found = m_running.find(process);
    if (found == m_running.end())
        return;
    Running &run = *found->second;
    if (run.ending)
        return;
    run.timedOut = true;
    EndGroup(process, run);
}

void HookRunner::EndGroup(QProcess *process, Running &run)
{
    run.ending = true;
#ifdef Q_OS_UNIX
    const pid_t group = pid_t(run.group);
    if (group > 0) {
        ::kill(-group, SIGTERM);
        // Also after the program itself is gone: what it started may ignore SIGTERM.
        ++m_pendingKills;
        QTimer::singleShot(kGraceAfterTerm, this, [this, group] {
            ::kill(-group, SIGKILL);
            --m_pendingKills;
            DeleteIfDone();
        });
        return;
    }
#endif
    process->kill();
}

void HookRunner::OnErrorsWritten()
{
#ifdef Q_OS_LINUX
    alignas(inotify_event) char buffer[4096];
    ssize_t size = 0;
    while ((size = ::read(m_errorWatch, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < size;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event)) + event->len;
            // An overflowed queue names no file.
            for (auto &[process, run] : m_running) {
                if (run->errorWatch == event->wd || (event->mask & IN_Q_OVERFLOW))
                    CheckErrors(process, *run);
            }
        }
    }
#endif
}

void HookRunner::CheckErrors(QProcess *process, Running &run)
{
    if (!run.errors || !run.errors->isOpen())
        return;
    const qint64 size = run.errors->size();
    if (run.floodedAt < 0) {
        if (size <= kMaxErrorBytes)
            return;
        run.floodedAt = size;
        if (!run.ending)
            EndGroup(process, run);
        return;
    }
#ifdef Q_OS_UNIX
    // Its grace after SIGTERM would let it fill the disk.
    if (size > run.floodedAt + kMaxErrorBytes && run.group > 0)
        ::kill(-pid_t(run.group), SIGKILL);
#endif
}

void HookRunner::OnFinished(QProcess *process, int exitCode, bool crashed)
{
    const auto found = m_running.find(process);
    if (found == m_running.end())
        return;
    const Running &run = *found->second;
    HookResult result;
    result.m_exitCode = exitCode;
    result.m_lastErrorLine = ErrorTail(run.errors.get());
    if (run.timedOut) {
        result.m_outcome = HookOutcome::TimedOut;
        result.m_failure
            = QStringLiteral("still ran after %1 s and was ended").arg(run.timeLimit.count());
    } else if (run.floodedAt >= 0) {
        result.m_outcome = HookOutcome::Flooded;
        result.m_failure = QStringLiteral("wrote more than %1 MiB on standard error and was ended")
                               .arg(kMaxErrorBytes / (1024 * 1024));
    } else if (crashed) {
        result.m_outcome = HookOutcome::Killed;
        result.m_failure = QStringLiteral("was ended by signal %1").arg(exitCode);
    } else if (exitCode != 0) {
        result.m_outcome = HookOutcome::Failed;
        result.m_failure = QStringLiteral("ended with code %1").arg(exitCode);
    }
    Finish(process, std::move(result));
}

void HookRunner::OnFailedToStart(QProcess *process)
{
    HookResult result;
    result.m_outcome = HookOutcome::NotStarted;
    result.m_failure = QStringLiteral("could not be started: ") + process->errorString();
    Finish(process, std::move(result));
}

void HookRunner::Finish(QProcess *process, HookResult result)
{
    const auto found = m_running.find(process);
    if (found == m_running.end())
        return;
    const std::unique_ptr<Running> run = std::move(found->second);
    m_running.erase(found);
#ifdef Q_OS_LINUX
    if (run->errorWatch >= 0)
        ::inotify_rm_watch(m_errorWatch, run->errorWatch);
#endif
    if (m_running.empty())
        m_errorCheck->stop();
    process->disconnect(this);
    // Still inside one of its signals.
    process->deleteLater();

    result.m_name = run->name;
    result.m_tag = run->tag;
    result.m_command = run->command;
    result.m_queuedAt = run->queuedAt;
    result.m_startedAt = run->startedAt;
    result.m_endedAt = Now();
    Report(result);
    StartWaiting();
    DeleteIfDone();
}

void HookRunner::Report(const HookResult &result)
{
    if (m_logFailures && result.m_outcome != HookOutcome::Succeeded)
        LogError(HookFailureText(result));
    if (m_handler)
        m_handler(result);
}

QString LastErrorLine(const QByteArray &tail, qsizetype limit)
{
    qsizetype end = tail.size();
    while (end > 0 && (tail[end - 1] == '\n' || tail[end - 1] == '\r'))
        --end;
    if (end == 0)
        return {};
    qsizetype start = tail.lastIndexOf('\n', end - 1) + 1;
    if (end - start > limit) {
        start = end - limit;
        // Not inside a character: UTF-8 continuation bytes are 10xxxxxx.
        while (start < end && (uchar(tail[start]) & 0xC0) == 0x80)
            ++start;
    }
    return QString::fromUtf8(tail.sliced(start, end - start));
}

QString HookFailureText(const HookResult &result)
{
    if (result.m_outcome == HookOutcome::Succeeded)
        return {};
    QString text = QStringLiteral("The command for %1 ").arg(result.m_name);
    if (result.m_outcome == HookOutcome::Refused)
        return text
               + QStringLiteral("was not run: %1 commands are waiting already")
                     .arg(HookRunner::kMaxWaiting);
    text += result.m_failure;
    if (!result.m_lastErrorLine.isEmpty())
        text += QStringLiteral(": ") + result.m_lastErrorLine;
    return text;
}
