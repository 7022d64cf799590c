#pragma once

#include "settings/CentralSettings.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

// Ships the station's journal to the central database: the frames (line events among them),
// their outputs' results and the acknowledgements' changes, in the order they were written, each
// batch in one transaction, never making the station wait. A thread of its own owns both of its
// connections: a PostgreSQL one to the central database and an SQLite one to the local file, which
// it reads in one short transaction per batch and writes only for its lease and its mark. At each
// connection it goes on after the highest row the central database holds for this journal, so a
// batch sent twice is stored once and none is skipped. Of the Alvetras sharing one journal file,
// the one holding the lease kept in the file ships. Threads: every public function and every signal
// on the thread that made the object (the window's), but State() and Waiting(), which any thread
// may call.
class CentralShipper : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Off,              // not started, or ended
        Connecting,       // started, not yet shipped
        UpToDate,         // the central database holds every row
        Behind,           // shipping a backlog
        Stopped,          // the server cannot be reached or failed: the rows wait
        Refused,          // the server refused the password or the rights
        ShippedElsewhere, // another Alvetra sharing the file holds the lease
    };

    // Rows read and sent in one transaction, at most.
    static constexpr int kBatchRows = 1000;
    // A station the server lost is tried again after this, doubling up to kRetryMost.
    static constexpr std::chrono::seconds kRetryFirst{2};
    static constexpr std::chrono::seconds kRetryMost{15};
    // Rows kept by another Alvetra sharing the file are looked for this often; a commit of
    // this one's own journal wakes the shipper at once (Wake).
    static constexpr std::chrono::milliseconds kLookEvery{1000};
    // The lease on the file: renewed with every batch and at each look, taken over when its
    // holder has not renewed it for this long.
    static constexpr std::chrono::seconds kLease{60};
    // How many days past KeepDays the local journal keeps rows not shipped yet.
    static constexpr int kUnshippedExtraDays = 30;

    explicit CentralShipper(QObject *parent = nullptr);
    // Stop().
    ~CentralShipper() override;

    // Starts the thread: shipping `journalPath` under `station` to the server `settings` name,
    // as `holder` (the name of this Alvetra among those sharing the file). Returns at once.
    void Start(const CentralSettings &settings,
               const QString &journalPath,
               const QString &station,
               const QString &holder);
    // The orderly end: never waits for the network. A batch in flight is abandoned (its
    // connection cut, so the server rolls it back) and sent again by the next run.
    void Stop();
    // Rows were committed to the local journal: look for them now.
    void Wake();

    State GetState() const { return m_state->load(std::memory_order_acquire); }
    // Rows (frames, outputs, acknowledgements) in the local journal that the central one does not
    // hold, as last counted; -1 before the first count. Any thread.
    qint64 Waiting() const { return m_waiting->load(std::memory_order_acquire); }
    // Rows shipped since the start. Any thread.
    qint64 Shipped() const { return m_shipped->load(std::memory_order_acquire); }
    // The state in words for the status bar and the tray's tooltip; empty while off.
    QString StateText() const;
    // The cause of the last stop or refusal.
    QString Cause() const { return m_cause; }

    // The name of this Alvetra among those sharing a journal: the host, the user and the
    // settings folder, the same after a restart.
    static QString DefaultHolder();

signals:
    // The state, the count waiting or the cause changed.
    void StateChanged();
    // Shipping stopped (the server unreachable, failing or refusing); `line` said why.
    void ShippingStopped(const QString &line);
    // Shipping goes on again after a stop; `line` said so, with the count shipped.
    void ShippingResumed(const QString &line);
    // A batch is in the central database.
    void BatchShipped();

private:
    struct Shared;
    class Worker;

    void Publish(State state, const QString &cause);

    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<std::atomic<State>> m_state;
    std::shared_ptr<std::atomic<qint64>> m_waiting;
    std::shared_ptr<std::atomic<qint64>> m_shipped;
    std::thread m_thread;
    QString m_cause;
    QString m_where;
};
