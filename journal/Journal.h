#pragma once

#include "JournalRecord.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
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
    // Rows waiting for the writer, at most. Past it the rows of frames that did not pass are
    // counted and not kept; a passed message's row is always kept.
    static constexpr qsizetype kMaxWaiting = 100000;
    static constexpr int kDefaultKeepDays = 400;
    static constexpr std::chrono::hours kPruneEvery{24};

    explicit Journal(QObject *parent = nullptr);
    // Writes what waits, then stops the writer.
    ~Journal() override;

    // Starts the writer on the file `path`, keeping rows `keepDays` days (0 or less: for ever).
    // Returns at once: the file is opened on the writer's thread. A journal that cannot be
    // opened gives one error line and from then on keeps nothing; a damaged file is moved
    // aside, said in an error line, and a new journal begun.
    void Start(const QString &path, int keepDays);

    // Hands `row` to the writer and returns its ticket; 0 when nothing is kept (the journal
    // failed or was never started, or the row was dropped at the bound). For a passed message
    // Committed() names the ticket once the row is on disk.
    quint64 Record(JournalFrame row);
    // The result of an output of the passed message recorded under `output.m_ticket`.
    void RecordOutput(JournalOutput output);

    // False once the journal has failed: it keeps nothing more.
    bool IsWorking() const { return !m_failed.load(std::memory_order_acquire); }
    QString Path() const { return m_path; }
    // Rows of frames that did not pass and were not kept because too many waited.
    qint64 DroppedRows() const { return m_dropped.load(std::memory_order_relaxed); }

signals:
    // The passed row of `ticket` is on disk as `rowId`, or never will be (-1: the journal
    // failed). Every ticket of a passed row is named once.
    void Committed(quint64 ticket, qint64 rowId);
    // Rows were committed: a reader may look for new ones.
    void RowsCommitted();

private:
    struct WaitingFrame
    {
        quint64 m_ticket;
        JournalFrame m_row;
    };
    using Waiting = std::variant<WaitingFrame, JournalOutput>;

    void Run(QString path, int keepDays);
    void Fail(const QString &text, std::deque<Waiting> &batch);
    void Report(std::vector<std::pair<quint64, qint64>> committed);

    QString m_path;
    quint64 m_nextTicket = 1;
    std::thread m_writer;
    std::atomic<bool> m_failed{true};
    std::atomic<qint64> m_dropped{0};

    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    std::deque<Waiting> m_waiting;
    bool m_stop = false;
    bool m_dropping = false;
};
