#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <utility>

class QProcess;
class QSocketNotifier;
class QTimer;

// One run of the station's command: what to run and what it is given.
struct HookJob
{
    // The program and its arguments as the user typed them, split by the rules of
    // QProcess::splitCommand (double quotes group; no shell, no variables, no globs).
    QString m_command;
    // How the log names the run, such as "passed message [12345e2al9]".
    QString m_name;
    // Set on top of Alvetra's own environment.
    QList<std::pair<QString, QString>> m_environment;
    // Everything the program reads on its standard input.
    QByteArray m_input;
    std::chrono::seconds m_timeLimit{60};
    // The caller's own mark, handed back in the result (the journal's row of the message).
    quint64 m_tag = 0;
};

enum class HookOutcome {
    Succeeded,  // ended with code 0
    Failed,     // ended with another code
    Killed,     // ended by a signal it did not get from us
    NotStarted, // could not be started
    TimedOut,   // ended by us at its time limit
    Refused,    // the queue was full; never started
    Flooded,    // ended by us when its standard error passed kMaxErrorBytes
};

// What became of one run, for the log and for a record of runs.
struct HookResult
{
    QString m_name;
    QString m_command;
    HookOutcome m_outcome = HookOutcome::Succeeded;
    // The program's exit code, or the signal that ended it; -1 when it never ran.
    int m_exitCode = -1;
    // The error line's text without its prefix; empty on success.
    QString m_failure;
    // The last line the program wrote on standard error (at most 1 KiB), empty when none.
    QString m_lastErrorLine;
    QDateTime m_queuedAt;
    QDateTime m_startedAt; // invalid when it never started
    QDateTime m_endedAt;
    quint64 m_tag = 0; // the job's
};

// Runs the station's command for each job, never through a shell, without ever waiting for
// it: at most kMaxRunning at once, the rest waiting in order in a queue of kMaxWaiting. Jobs
// start in the order given and may end in any order.
//
// Each program starts in the program folder (GetProgramFolder), with no descriptor open beyond
// its standard input, output and error, and in a process group of its own (on Unix) but in
// Alvetra's session, so that a time limit ends whatever it started too: the group gets SIGTERM,
// and SIGKILL kGraceAfterTerm later. Its
// standard output goes nowhere; its standard input and standard error are files that outlive
// Alvetra, so a run left behind at the end is never cut off by a broken pipe. A program whose
// standard error passes kMaxErrorBytes is ended the same way, and at once with SIGKILL should
// it write as much again meanwhile: the file is unlinked, so what it fills no `du` shows.
//
// Lives on the window's thread: it only starts processes and reacts to their signals, never
// waits for one. Destroying the runner drops the waiting jobs and leaves the running programs
// to finish on their own, without their time limits (see FinishAlone).
class HookRunner : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxRunning = 4;
    static constexpr int kMaxWaiting = 100;
    static constexpr std::chrono::seconds kGraceAfterTerm{5};
    static constexpr qsizetype kMaxErrorLine = 1024;
    static constexpr qint64 kMaxErrorBytes = 1024 * 1024;
    // How often standard error is looked at besides each write the system reports (all there
    // is where it reports none).
    static constexpr std::chrono::seconds kErrorCheckInterval{1};

    // `logFailures`: whether each failed run, and each job refused, gives an error line.
    explicit HookRunner(bool logFailures, QObject *parent = nullptr);
    ~HookRunner() override;

    // Starts the job now, or queues it behind the others. False when the queue is full: the
    // job is dropped, reported as Refused.
    bool Run(HookJob job);

    // Called on the runner's thread once for every job given to Run, with what became of it.
    void SetResultHandler(std::function<void(const HookResult &)> handler);

    // For an owner that goes before its runs end: the waiting jobs are dropped, no result is
    // handed on any more, and the running programs keep their time limits and the bound on
    // their standard error. The runner deletes itself once the last has ended, or goes with the
    // application object; the caller lets go of it.
    void FinishAlone();

    int RunningCount() const { return int(m_running.size()); }
    int WaitingCount() const { return int(m_waiting.size()); }

private:
    struct Running;
    struct Waiting
    {
        HookJob job;
        QDateTime queuedAt;
    };

    void Start(Waiting waiting);
    void StartWaiting();
    void OnFinished(QProcess *process, int exitCode, bool crashed);
    void OnFailedToStart(QProcess *process);
    void OnTimeLimit(QProcess *process);
    void EndGroup(QProcess *process, Running &run);
    void OnErrorsWritten();
    void CheckErrors(QProcess *process, Running &run);
    void Finish(QProcess *process, HookResult result);
    void Report(const HookResult &result);
    void DeleteIfDone();

    bool m_logFailures;
    std::function<void(const HookResult &)> m_handler;
    std::deque<Waiting> m_waiting;
    std::map<QProcess *, std::unique_ptr<Running>> m_running;
    // SIGKILLs still to be sent after a grace; a runner finishing alone waits for them.
    int m_pendingKills = 0;
    bool m_alone = false;
    // Tells of each write to a running program's standard error (inotify); -1 without one.
    int m_errorWatch = -1;
    QSocketNotifier *m_errorWatchNotifier = nullptr;
    QTimer *m_errorCheck = nullptr;
};

// The last line of `tail`, the end of what a program wrote on standard error: empty lines at
// the end are skipped, a carriage return before the line feed is dropped, and of a longer line
// only its last `limit` bytes are kept (starting at a whole UTF-8 character).
QString LastErrorLine(const QByteArray &tail, qsizetype limit = HookRunner::kMaxErrorLine);

// The error line's text for a run that failed; empty for a success.
QString HookFailureText(const HookResult &result);
