#pragma once

#include "JournalRecord.h"
#include "JournalRuns.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

// The writing side of the journal. The pipeline hands rows over and goes on at once; a writer
// thread of the journal's own owns the database connection, commits what has come in one
// transaction at a time and reports each passed message's row back once it is on disk.
// Threads: every public function and every signal on the thread that made the object (the
// window's); the writer on its own thread, which touches only the queue and the connection.
class Journal : public QObject
{
    Q_OBJECT

public:
    // Rows of frames that did not pass waiting for the writer, at most. Past it they are counted
    // and not kept, and once there is room again one row marks the gap with the count.
    static constexpr qsizetype kMaxWaiting = 100000;
    // Passed messages' rows and their outputs' results waiting for the writer, at most: some
    // 8,000 passed messages with their outputs, hours of a busy station while the disk is full,
    // and a few hundred megabytes at the worst. Past it they are counted and not kept either.
    static constexpr qsizetype kMaxWaitingPassed = 50000;
    // A file that could not be written is tried again this often, the rows kept meanwhile.
    static constexpr std::chrono::seconds kRetryEvery{5};
    // A journal that could not be opened at all is tried again this often; one that could not
    // for a full disk or another Alvetra's lock as often as a write.
    static constexpr std::chrono::seconds kReopenEvery{60};
    static constexpr int kDefaultKeepDays = 400;
    static constexpr std::chrono::hours kPruneEvery{24};
    // The longest a passed message's outputs wait for its row to be on disk.
    static constexpr std::chrono::milliseconds kCommitWait{2000};

    explicit Journal(QObject *parent = nullptr);
    // Writes what waits, then stops the writer.
    ~Journal() override;

    // Starts the writer on the file `path`, keeping rows `keepDays` days (0 or less: for ever).
    // Returns at once: the file is opened on the writer's thread. A journal that cannot be
    // opened or written gives one error line, keeps the rows waiting within the bounds above and
    // is tried again (kReopenEvery, kRetryEvery); one error line says when it is written again,
    // with the rows that could not be kept. A damaged file is moved aside, said in an error line,
    // and a new journal begun.
    void Start(const QString &path, int keepDays);
    // Before Start: the journal is shipped to a central database, so rows not shipped yet are
    // pruned `extraDays` days after the others (one warning line gives the count of those
    // pruned all the same).
    void KeepUnshippedRows(int extraDays) { m_unshippedExtraDays = extraDays; }

    // Hands `row` to the writer and returns its ticket; 0 when nothing is kept (the journal was
    // never started, or the row was dropped at its bound). For a passed message Committed()
    // names the ticket once the row is on disk.
    quint64 Record(JournalFrame row);
    // The result of an output of the passed message recorded under `output.m_ticket`, or of the
    // station's command for a trouble under the line event's row recorded there.
    void RecordOutput(JournalOutput output);
    // An operator acknowledged a waiting message; counted with the passed rows' bound.
    void RecordAcknowledgement(JournalAcknowledgement acknowledgement);

    // Runs `outputs` once the row of `ticket` is on disk and every earlier call's outputs have
    // run, so the outputs keep the messages' order; `ticket` 0 (a row not kept) waits only for
    // the earlier ones. A row not on disk after kCommitWait lets its outputs go ahead anyway:
    // one warning line for the stall, and one with the count when the journal catches up.
    // While the journal cannot be written nothing waits for a row.
    void AfterCommit(quint64 ticket, std::function<void()> outputs);
    // Outputs waiting for their rows.
    qsizetype HeldOutputs() const { return qsizetype(m_held.size()); }
    // Runs every output still waiting for its row now, in order: the program is ending, and
    // what they record is still kept. The destructor does it too, when it is too late to keep
    // their results.
    void RunHeldOutputs();

    // False while nothing is written: never started, or the file cannot be opened or written
    // now (it is tried again). Any thread.
    bool IsWorking() const
    {
        return m_started.load(std::memory_order_acquire)
               && !m_stopped.load(std::memory_order_acquire);
    }
    bool IsStarted() const { return m_started.load(std::memory_order_acquire); }
    QString Path() const { return m_path; }
    // Rows (frames and outputs) handed over and not yet committed.
    qsizetype RowsWaiting() const;
    // Rows (frames and outputs) not kept because too many waited, since the start.
    qint64 DroppedRows() const { return m_dropped.load(std::memory_order_relaxed); }

signals:
    // The passed row of `ticket` is on disk as `rowId`. Every ticket of a passed row is named
    // once it is written; a row lost at the end or past a bound is never named, and nothing
    // waits for it while the journal cannot be written.
    void Committed(quint64 ticket, qint64 rowId);
    // Rows were committed: a reader may look for new ones.
    void RowsCommitted();
    // The file cannot be opened or written now; `line` is the error line that said so.
    void WritingStopped(const QString &line);
    // It is written again after WritingStopped; `line` as above.
    void WritingAgain(const QString &line);
    // Once for each earlier run of Alvetra on this file that ended without its orderly end (the
    // journal's destructor), found when the file is first opened; a run of another Alvetra on
    // the same file that still runs is none.
    void UncleanRunFound(const JournalUncleanRun &run);
    // The messages an earlier run left waiting for acknowledgement, oldest first: read once,
    // when the file is first opened, before this run's rows are written to it.
    void WaitingReadBack(const std::vector<JournalWaitingRow> &rows);

private:
    struct WaitingFrame
    {
        quint64 m_ticket;
        JournalFrame m_row;
    };
    using Waiting = std::variant<WaitingFrame, JournalOutput, JournalAcknowledgement>;
    class Writer;
    friend class Writer;

    struct Held
    {
        quint64 m_ticket;
        std::chrono::steady_clock::time_point m_deadline;
        std::function<void()> m_outputs;
        bool m_committed;
    };

    void OnCommitted(quint64 ticket);
    void OnStopped();
    void RunReady();
    void Run(QString path, int keepDays);
    void Report(std::vector<std::pair<quint64, qint64>> committed);
    // Counts a row not kept; the caller holds m_mutex.
    void LoseRow(const QDateTime &at, int port);

    QString m_path;
    int m_unshippedExtraDays = -1; // set before the writer starts, read by it
    quint64 m_nextTicket = 1;
    std::deque<Held> m_held;
    QTimer m_holdTimer;
    qint64 m_wentAhead = 0; // outputs run before their rows were on disk, in this stall
    std::thread m_writer;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopped{false}; // the file cannot be opened or written now
    std::atomic<qint64> m_dropped{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    std::deque<Waiting> m_waiting;
    // Rows handed over and not yet committed, in m_waiting or in the writer's hand.
    qsizetype m_pendingOthers = 0;
    qsizetype m_pendingPassed = 0;
    // Rows not kept since the log last said so, and the first one's time and line.
    qint64 m_lost = 0;
    QDateTime m_lostFrom;
    int m_lostPort = 0;
    bool m_stop = false;
    bool m_dropping = false;
};
