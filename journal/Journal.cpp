#include "Journal.h"

#include "JournalDatabase.h"
#include "doors/Doors.h"
#include "rtf/Cp1252.h"

#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// The writer keeps each passed row's id for this many later rows, so that outputs reported
// long after (a slow printer, a paced output line) still find their message.
constexpr qsizetype kRememberedTickets = 10000;
// Rows indexed at a time while nothing else waits: some tens of milliseconds, so a frame that
// comes meanwhile is kept without a noticeable wait.
constexpr int kIndexChunk = 64;

using Clock = std::chrono::steady_clock;

bool InsertOutput(QSqlQuery &insert, qint64 frame, const JournalOutput &output)
{
    insert.bindValue(0, frame);
    insert.bindValue(1, int(output.m_kind));
    insert.bindValue(2, JournalStoredTime(output.m_at));
    insert.bindValue(3, output.m_ok ? 1 : 0);
    insert.bindValue(4, output.m_result.isNull() ? QString(u""_s) : output.m_result);
    return insert.exec();
}

} // namespace

Journal::Journal(QObject *parent)
    : QObject(parent)
{
    m_holdTimer.setSingleShot(true);
    connect(&m_holdTimer, &QTimer::timeout, this, &Journal::RunReady);
    connect(this, &Journal::Committed, this, &Journal::OnCommitted);
}

void Journal::AfterCommit(quint64 ticket, std::function<void()> outputs)
{
    if (m_held.empty() && (ticket == 0 || !IsWorking())) {
        outputs();
        return;
    }
    m_held.push_back({ticket, Clock::now() + kCommitWait, std::move(outputs), ticket == 0});
    RunReady();
}

void Journal::OnCommitted(quint64 ticket)
{
    for (Held &held : m_held) {
        if (held.m_ticket == ticket) {
            held.m_committed = true;
            // In time again after a stall.
            if (m_wentAhead > 0) {
                LogWarning(QStringLiteral("The journal has caught up; the outputs of %1 passed "
                                          "messages went ahead before their rows were kept")
                               .arg(m_wentAhead));
                m_wentAhead = 0;
            }
            break;
        }
    }
    RunReady();
}

void Journal::OnStopped()
{
    // The error line that writing stopped says more than a stall's count would.
    m_wentAhead = 0;
    RunReady();
}

void Journal::RunReady()
{
    const auto now = Clock::now();
    while (!m_held.empty()) {
        Held &front = m_held.front();
        // A journal that cannot be written now holds nothing back: the rows may never be kept.
        if (!front.m_committed && IsWorking()) {
            if (now < front.m_deadline) {
                // Deadlines only grow down the queue, so a running timer is due no later than
                // this one; starting it again for every passed message costs the pipeline more
                // than the early wake-up it saves.
                if (!m_holdTimer.isActive())
                    m_holdTimer.start(
                        std::chrono::ceil<std::chrono::milliseconds>(front.m_deadline - now));
                return;
            }
            if (m_wentAhead++ == 0)
                LogWarning(QStringLiteral("The journal is behind; the outputs of passed messages "
                                          "go ahead without waiting for their rows"));
        }
        std::function<void()> outputs = std::move(front.m_outputs);
        m_held.pop_front();
        outputs();
    }
    m_holdTimer.stop();
}

Journal::~Journal()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    if (m_writer.joinable())
        m_writer.join();
    // The program is ending: what waited for its row is done now rather than never.
    RunHeldOutputs();
}

void Journal::RunHeldOutputs()
{
    m_holdTimer.stop();
    while (!m_held.empty()) {
        std::function<void()> outputs = std::move(m_held.front().m_outputs);
        m_held.pop_front();
        outputs();
    }
}

void Journal::Start(const QString &path, int keepDays)
{
    if (m_writer.joinable())
        return;
    m_path = path;
    m_started.store(true, std::memory_order_release);
    m_writer = std::thread(&Journal::Run, this, path, keepDays);
}

void Journal::LoseRow(const QDateTime &at, int port)
{
    m_dropped.fetch_add(1, std::memory_order_relaxed);
    if (m_lost++ == 0) {
        m_lostFrom = at;
        m_lostPort = port;
    }
    m_dropping = true;
}

qsizetype Journal::RowsWaiting() const
{
    std::lock_guard lock(m_mutex);
    return m_pendingOthers + m_pendingPassed;
}

quint64 Journal::Record(JournalFrame row)
{
    if (!IsStarted())
        return 0;
    const bool passed = row.m_fate == JournalFate::Passed;
    const quint64 ticket = m_nextTicket++;
    bool kept = true;
    bool warn = false;
    {
        std::lock_guard lock(m_mutex);
        qsizetype &pending = passed ? m_pendingPassed : m_pendingOthers;
        if (pending >= (passed ? kMaxWaitingPassed : kMaxWaiting)) {
            // Told once: by this line, or by the line that writing stopped.
            warn = !passed && !m_dropping && !m_stopped.load(std::memory_order_relaxed);
            LoseRow(row.m_received, row.m_port);
            kept = false;
        } else {
            ++pending;
            m_waiting.push_back(WaitingFrame{ticket, std::move(row)});
        }
    }
    if (warn)
        LogWarning(QStringLiteral("The journal is behind: frames that did not pass are not kept "
                                  "in it until it catches up"));
    if (!kept)
        return 0;
    m_wake.notify_one();
    return ticket;
}

void Journal::RecordOutput(JournalOutput output)
{
    if (!IsStarted() || output.m_ticket == 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_pendingPassed >= kMaxWaitingPassed) {
            LoseRow(output.m_at, 0);
            return;
        }
        ++m_pendingPassed;
        m_waiting.push_back(std::move(output));
    }
    m_wake.notify_one();
}

void Journal::RecordAcknowledgement(JournalAcknowledgement acknowledgement)
{
    if (!IsStarted() || (acknowledgement.m_ticket == 0 && acknowledgement.m_rowId <= 0))
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_pendingPassed >= kMaxWaitingPassed) {
            LoseRow(acknowledgement.m_at, 0);
            return;
        }
        ++m_pendingPassed;
        m_waiting.push_back(std::move(acknowledgement));
    }
    m_wake.notify_one();
}

void Journal::Report(std::vector<std::pair<quint64, qint64>> committed)
{
    QMetaObject::invokeMethod(
        this,
        [this, committed = std::move(committed)] {
            for (const auto &[ticket, rowId] : committed)
                emit Committed(ticket, rowId);
            emit RowsCommitted();
        },
        Qt::QueuedConnection);
}

// The writer's thread: the connection, the rows in its hand, and when to try what again.
class Journal::Writer
{
public:
    Writer(Journal &journal, QString path, int keepDays)
        : m_journal(journal)
        , m_path(std::move(path))
        , m_keepDays(keepDays)
        , m_connection(QStringLiteral("journal-writer-%1").arg(quintptr(&journal)))
    {}
    ~Writer() { Close(); }

    void Run();

private:
    void Open();
    void Close();
    bool Write(std::deque<Waiting> &batch, QString *error);
    void Chores();
    void Stopped(const QString &line);
    void CannotWrite(const QString &error);
    void Resumed();
    void TellCaughtUp(bool tell);
    void PutBack(std::deque<Waiting> &batch);
    // A statement met damage: the file is moved aside when it is opened again.
    void CheckDamage(const QSqlError &error);
    Clock::time_point NextChore() const;
    // Begins this run's row in the file, telling of the runs before that did not end in order.
    void BeginRun();
    // The row of `ticket` as committed earlier or in `committed`; -1 when not known.
    qint64 RowOf(quint64 ticket,
                 const std::vector<std::pair<quint64, qint64>> &committed,
                 const std::vector<std::pair<quint64, qint64>> &events = {}) const;
    void ReadBackWaiting();
    // Keeps a change of the acknowledgements' table in the order of changes.
    bool NoteAcknowledgementEvent(qint64 frame,
                                  const QVariant &at,
                                  const QVariant &user,
                                  const QVariant &place,
                                  QSqlError *failure);

    Journal &m_journal;
    const QString m_path;
    const int m_keepDays;
    const QString m_connection;
    bool m_open = false;
    bool m_failing = false; // told the log that writing stopped
    Clock::time_point m_retryAt = Clock::now();
    Clock::time_point m_nextPrune = Clock::now();
    Clock::time_point m_indexAt = Clock::now();
    // Rows kept by an earlier run may not be indexed yet.
    bool m_indexBehind = true;
    bool m_indexTold = false;
    bool m_readBack = false; // the waiting messages of earlier runs were read
    QString m_damage;        // met by a statement: the file is closed, to be moved aside
    std::optional<QSqlQuery> m_insertFrame;
    std::optional<QSqlQuery> m_insertOutput;
    std::optional<QSqlQuery> m_insertWaiting;
    std::optional<QSqlQuery> m_acknowledge;
    std::optional<QSqlQuery> m_acknowledgementEvent;
    std::optional<QSqlQuery> m_control;
    QHash<quint64, qint64> m_rowOfTicket;
    std::deque<quint64> m_remembered;
    const JournalRunIdentity m_identity = JournalRunIdentity::Own();
    qint64 m_runId = -1; // this run's row in "runs"; -1 until begun
    bool m_ending = false;
};

void Journal::Writer::BeginRun()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QList<JournalUncleanRun> unclean;
    QString error;
    // Should it fail (another Alvetra's lock held past the timeout), the next open or write
    // tries again.
    m_runId = BeginJournalRun(db, m_identity, QDateTime::currentDateTimeUtc(), &unclean, &error);
    Journal *journal = &m_journal;
    for (const JournalUncleanRun &run : std::as_const(unclean))
        QMetaObject::invokeMethod(
            journal, [journal, run] { emit journal->UncleanRunFound(run); }, Qt::QueuedConnection);
}

void Journal::Writer::Open()
{
    const JournalOpening opening = OpenJournalForWriting(m_path, m_connection);
    if (!opening.m_movedAsideAs.isEmpty()) {
        LogError(QStringLiteral("The journal %1 was damaged; it was moved aside as %2 and a new "
                                "journal begun")
                     .arg(m_path, opening.m_movedAsideAs));
        // Rows of the old file: an output may not join a row of the new one by its id.
        m_rowOfTicket.clear();
        m_remembered.clear();
        m_runId = -1;
    }
    if (!opening.m_ok) {
        if (!m_failing)
            Stopped(QStringLiteral("The journal %1 cannot be opened (%2); Alvetra goes on without "
                                   "it until it can: it is tried again every minute")
                        .arg(m_path, opening.m_error));
        m_retryAt = Clock::now() + (opening.m_passing ? kRetryEvery : kReopenEvery);
        return;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    m_insertFrame.emplace(db);
    m_insertOutput.emplace(db);
    m_insertWaiting.emplace(db);
    m_acknowledge.emplace(db);
    m_acknowledgementEvent.emplace(db);
    m_control.emplace(db);
    m_insertFrame->prepare(QStringLiteral(
        "INSERT INTO frames(received, port, device, fate, detail, length, bytes, header,"
        " handling, region, source, headline, trailer, body)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    m_insertOutput->prepare(
        QStringLiteral("INSERT INTO outputs(frame, kind, at, ok, result) VALUES (?, ?, ?, ?, ?)"));
    m_insertWaiting->prepare(
        QStringLiteral("INSERT OR IGNORE INTO acknowledgements(frame) VALUES (?)"));
    // The first acknowledgement stands: a second one from elsewhere changes nothing.
    m_acknowledge->prepare(QStringLiteral("UPDATE acknowledgements SET at = ?, user = ?, place = ?"
                                          " WHERE frame = ? AND at IS NULL"));
    // Only a change made is an event: the central journal copies these in their order.
    m_acknowledgementEvent->prepare(
        QStringLiteral("INSERT INTO acknowledgement_events(frame, at, user, place)"
                       " VALUES (?, ?, ?, ?)"));
    m_open = true;
    m_retryAt = m_nextPrune = m_indexAt = Clock::now();
    m_indexBehind = true;
    if (m_runId < 0 && !m_ending)
        BeginRun();
    // Making the tables was a write: the file takes rows again.
    if (m_failing)
        Resumed();
    if (!m_readBack)
        ReadBackWaiting();
}

void Journal::Writer::ReadBackWaiting()
{
    // At most this many: a journal that claims more waiting rows is not read into memory whole.
    constexpr int kMaxReadBack = 10000;
    // Once only, also when it fails: read later, the rows of this run would be read back too.
    m_readBack = true;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT frames.id, frames.received, frames.header,"
                                   " frames.headline FROM acknowledgements JOIN frames ON"
                                   " frames.id = acknowledgements.frame WHERE acknowledgements.at"
                                   " IS NULL ORDER BY frames.received, frames.id LIMIT %1")
                        .arg(kMaxReadBack))) {
        LogError(QStringLiteral("The messages waiting for acknowledgement cannot be read from the "
                                "journal %1 (%2)")
                     .arg(m_path, query.lastError().text()));
        return;
    }
    std::vector<JournalWaitingRow> rows;
    while (query.next())
        rows.push_back(
            {query.value(0).toLongLong(), JournalTimeFromStored(query.value(1).toLongLong()),
             EncodeCp1252(query.value(2).toString()), EncodeCp1252(query.value(3).toString())});
    QMetaObject::invokeMethod(
        &m_journal,
        [journal = &m_journal, rows = std::move(rows)] { emit journal->WaitingReadBack(rows); },
        Qt::QueuedConnection);
}

bool Journal::Writer::NoteAcknowledgementEvent(qint64 frame,
                                               const QVariant &at,
                                               const QVariant &user,
                                               const QVariant &place,
                                               QSqlError *failure)
{
    m_acknowledgementEvent->bindValue(0, frame);
    m_acknowledgementEvent->bindValue(1, at);
    m_acknowledgementEvent->bindValue(2, user);
    m_acknowledgementEvent->bindValue(3, place);
    if (m_acknowledgementEvent->exec())
        return true;
    *failure = m_acknowledgementEvent->lastError();
    return false;
}

qint64 Journal::Writer::RowOf(quint64 ticket,
                              const std::vector<std::pair<quint64, qint64>> &committed,
                              const std::vector<std::pair<quint64, qint64>> &events) const
{
    if (const auto found = m_rowOfTicket.constFind(ticket); found != m_rowOfTicket.cend())
        return *found;
    // Its row may be in this very batch.
    for (const auto *rows : {&committed, &events})
        for (auto it = rows->rbegin(); it != rows->rend(); ++it)
            if (it->first == ticket)
                return it->second;
    return -1;
}

void Journal::Writer::Close()
{
    m_insertFrame.reset();
    m_insertOutput.reset();
    m_insertWaiting.reset();
    m_acknowledge.reset();
    m_acknowledgementEvent.reset();
    m_control.reset();
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    m_open = false;
}

void Journal::Writer::CheckDamage(const QSqlError &error)
{
    if (!IsJournalDamage(error) || !m_damage.isEmpty())
        return;
    MarkJournalDamaged(m_path);
    m_damage = error.text();
}

void Journal::Writer::Stopped(const QString &line)
{
    LogError(line);
    m_failing = true;
    m_journal.m_stopped.store(true, std::memory_order_release);
    Journal *journal = &m_journal;
    QMetaObject::invokeMethod(
        journal,
        [journal, line] {
            journal->OnStopped();
            emit journal->WritingStopped(line);
        },
        Qt::QueuedConnection);
}

void Journal::Writer::CannotWrite(const QString &error)
{
    if (!m_failing)
        Stopped(QStringLiteral("The journal %1 cannot be written (%2); Alvetra goes on without it "
                               "until it can: the rows wait for it")
                    .arg(m_path, error));
    m_retryAt = Clock::now() + kRetryEvery;
}

void Journal::Writer::Resumed()
{
    qint64 lost = 0;
    {
        std::lock_guard lock(m_journal.m_mutex);
        lost = m_journal.m_lost;
        m_failing = false;
        m_journal.m_stopped.store(false, std::memory_order_release);
    }
    const QString line
        = QStringLiteral("The journal %1 is written again; %2 rows could not be kept meanwhile")
              .arg(m_path)
              .arg(lost);
    LogError(line);
    Journal *journal = &m_journal;
    QMetaObject::invokeMethod(
        journal, [journal, line] { emit journal->WritingAgain(line); }, Qt::QueuedConnection);
    // The line above gave the count.
    TellCaughtUp(false);
}

// The rows not kept get a row of their own where the gap began, so that the journal shows it.
void Journal::Writer::TellCaughtUp(bool tell)
{
    qint64 lost = 0;
    {
        std::lock_guard lock(m_journal.m_mutex);
        m_journal.m_dropping = false;
        lost = std::exchange(m_journal.m_lost, 0);
        if (lost == 0)
            return;
        JournalFrame gap;
        gap.m_received = m_journal.m_lostFrom;
        gap.m_port = m_journal.m_lostPort;
        gap.m_fate = JournalFate::DroppedByBound;
        gap.m_detail = QStringLiteral("%1 rows from here on were not kept in the journal: too "
                                      "many waited to be written")
                           .arg(lost);
        ++m_journal.m_pendingOthers;
        m_journal.m_waiting.push_back(WaitingFrame{0, std::move(gap)});
    }
    if (tell)
        LogWarning(QStringLiteral("The journal keeps every frame again; %1 rows were not kept in "
                                  "it meanwhile")
                       .arg(lost));
}

void Journal::Writer::PutBack(std::deque<Waiting> &batch)
{
    std::lock_guard lock(m_journal.m_mutex);
    // In front of what came meanwhile: the rows keep their order.
    std::move(m_journal.m_waiting.begin(), m_journal.m_waiting.end(), std::back_inserter(batch));
    m_journal.m_waiting.swap(batch);
    batch.clear();
}

bool Journal::Writer::Write(std::deque<Waiting> &batch, QString *error)
{
    std::vector<std::pair<quint64, qint64>> committed;
    // Line events, which the station's command for a trouble joins.
    std::vector<std::pair<quint64, qint64>> events;
    QDateTime newest;
    qsizetype others = 0;
    qsizetype passed = 0;
    QSqlError failure;
    // Immediate: the write lock is waited for here, within the busy timeout, and not met
    // half-way through the batch.
    bool ok = m_control->exec(QStringLiteral("BEGIN IMMEDIATE"));
    if (!ok)
        failure = m_control->lastError();
    for (const Waiting &item : batch) {
        if (!ok)
            break;
        if (const auto *frame = std::get_if<WaitingFrame>(&item)) {
            const bool isPassed = frame->m_row.m_fate == JournalFate::Passed;
            ++(isPassed ? passed : others);
            ok = InsertJournalFrame(*m_insertFrame, frame->m_row);
            newest = std::max(newest, frame->m_row.m_received);
            if (!ok) {
                failure = m_insertFrame->lastError();
            } else if (isPassed) {
                const qint64 id = m_insertFrame->lastInsertId().toLongLong();
                committed.emplace_back(frame->m_ticket, id);
                if (frame->m_row.m_awaitsAcknowledgement) {
                    m_insertWaiting->bindValue(0, id);
                    ok = m_insertWaiting->exec();
                    if (!ok)
                        failure = m_insertWaiting->lastError();
                    else if (m_insertWaiting->numRowsAffected() > 0)
                        ok = NoteAcknowledgementEvent(id, {}, {}, {}, &failure);
                }
            } else if (frame->m_row.m_fate == JournalFate::LineEvent && frame->m_ticket != 0) {
                events.emplace_back(frame->m_ticket, m_insertFrame->lastInsertId().toLongLong());
            }
        } else if (const auto *acknowledgement = std::get_if<JournalAcknowledgement>(&item)) {
            ++passed;
            newest = std::max(newest, acknowledgement->m_at);
            const qint64 frameId = acknowledgement->m_rowId > 0
                                       ? acknowledgement->m_rowId
                                       : RowOf(acknowledgement->m_ticket, committed);
            if (frameId >= 0) {
                m_acknowledge->bindValue(0, JournalStoredTime(acknowledgement->m_at));
                m_acknowledge->bindValue(1, acknowledgement->m_user.isNull()
                                                ? QStringLiteral("")
                                                : acknowledgement->m_user);
                m_acknowledge->bindValue(2, int(acknowledgement->m_from));
                m_acknowledge->bindValue(3, frameId);
                ok = m_acknowledge->exec();
                if (!ok)
                    failure = m_acknowledge->lastError();
                else if (m_acknowledge->numRowsAffected() > 0)
                    ok = NoteAcknowledgementEvent(frameId, m_acknowledge->boundValue(0),
                                                  m_acknowledge->boundValue(1),
                                                  m_acknowledge->boundValue(2), &failure);
            }
        } else {
            ++passed;
            const auto &output = std::get<JournalOutput>(item);
            newest = std::max(newest, output.m_at);
            // Its message's row, or its line event's, may be in this very batch.
            const qint64 frameId = RowOf(output.m_ticket, committed, events);
            if (frameId >= 0) {
                ok = InsertOutput(*m_insertOutput, frameId, output);
                if (!ok)
                    failure = m_insertOutput->lastError();
            }
        }
    }
    // The time a run that ends without its end is last heard of; no reason to lose the rows.
    if (ok && m_runId >= 0) {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        NoteJournalRunRow(db, m_runId, newest);
    }
    if (ok && !m_control->exec(QStringLiteral("COMMIT"))) {
        ok = false;
        failure = m_control->lastError();
    }
    if (!ok) {
        *error = failure.text();
        m_insertFrame->finish();
        m_insertOutput->finish();
        m_insertWaiting->finish();
        m_acknowledge->finish();
        m_acknowledgementEvent->finish();
        m_control->exec(QStringLiteral("ROLLBACK"));
        CheckDamage(failure);
        return false;
    }
    for (const auto *rows : {&committed, &events}) {
        for (const auto &[ticket, id] : *rows) {
            m_rowOfTicket.insert(ticket, id);
            m_remembered.push_back(ticket);
        }
    }
    while (qsizetype(m_remembered.size()) > kRememberedTickets) {
        m_rowOfTicket.remove(m_remembered.front());
        m_remembered.pop_front();
    }
    bool room = false;
    {
        std::lock_guard lock(m_journal.m_mutex);
        m_journal.m_pendingOthers -= others;
        m_journal.m_pendingPassed -= passed;
        // Half free before the count is told: a line kept at the bound is told once, not at
        // every commit.
        room = m_journal.m_dropping && m_journal.m_pendingOthers <= kMaxWaiting / 2
               && m_journal.m_pendingPassed <= kMaxWaitingPassed / 2;
    }
    batch.clear();
    m_journal.Report(std::move(committed));
    if (m_failing)
        Resumed();
    else if (room)
        TellCaughtUp(true);
    m_indexBehind = true;
    return true;
}

Clock::time_point Journal::Writer::NextChore() const
{
    auto due = m_keepDays > 0 ? m_nextPrune : Clock::time_point::max();
    if (m_indexBehind)
        due = std::min(due, m_indexAt);
    return due;
}

void Journal::Writer::Chores()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const auto now = Clock::now();
    if (m_keepDays > 0 && now >= m_nextPrune) {
        m_nextPrune = now + kPruneEvery;
        QString error;
        QSqlError failure;
        qint64 neverShipped = 0;
        if (!PruneJournal(db, m_keepDays, QDateTime::currentDateTimeUtc(), &error, &failure,
                          m_journal.m_unshippedExtraDays, &neverShipped)) {
            // Another Alvetra writing a backlog or pruning itself: prune later.
            if (IsJournalBusy(failure))
                m_nextPrune = now + kRetryEvery;
            else if (IsJournalDamage(failure))
                return CheckDamage(failure);
            else
                LogError(QStringLiteral("Old rows of the journal %1 cannot be deleted (%2)")
                             .arg(m_path, error));
        } else if (neverShipped > 0) {
            LogWarning(QStringLiteral("%1 rows of the journal %2 were deleted without ever being "
                                      "shipped to the central journal: they waited %3 days "
                                      "past the days kept")
                           .arg(neverShipped)
                           .arg(m_path)
                           .arg(m_journal.m_unshippedExtraDays));
        }
    }
    if (!m_open || !m_indexBehind || now < m_indexAt)
        return;
    QString error;
    QSqlError failure;
    const int added = IndexJournalText(db, kIndexChunk, &error, &failure);
    if (added >= 0) {
        m_indexBehind = added > 0;
        m_indexTold = false;
        return;
    }
    // Busy is the other Alvetra's turn; anything else is tried again a little later.
    m_indexAt = now + kRetryEvery;
    if (IsJournalDamage(failure))
        return CheckDamage(failure);
    if (IsJournalBusy(failure) || m_indexTold)
        return;
    m_indexTold = true;
    // A text index that cannot be written leaves searches to look through the rows
    // themselves; the rows are kept all the same.
    LogError(QStringLiteral("The text index of the journal %1 cannot be written (%2); searches "
                            "will be slower")
                 .arg(m_path, error));
}

void Journal::Writer::Run()
{
    for (;;) {
        if (!m_open && Clock::now() >= m_retryAt)
            Open();
        std::deque<Waiting> batch;
        bool stop = false;
        {
            std::unique_lock lock(m_journal.m_mutex);
            const bool mayWrite = m_open && Clock::now() >= m_retryAt;
            // Rows that cannot be written now wait for the next try, not for the next row.
            const auto due = !mayWrite   ? m_retryAt
                             : m_failing ? Clock::time_point::max()
                                         : NextChore();
            m_journal.m_wake.wait_until(lock, due, [&] {
                return m_journal.m_stop || (mayWrite && !m_journal.m_waiting.empty());
            });
            stop = m_journal.m_stop;
            if (stop || (m_open && Clock::now() >= m_retryAt))
                batch.swap(m_journal.m_waiting);
        }
        m_ending = stop;
        if (stop && !m_open)
            Open(); // a last try: the program is ending
        if (m_open && m_runId < 0 && !stop)
            BeginRun();
        QString error;
        if (!batch.empty() && m_open && !Write(batch, &error) && !stop)
            CannotWrite(error);
        if (!batch.empty() && !stop)
            PutBack(batch);
        if (stop) {
            if (!batch.empty()) {
                LogError(QStringLiteral("The journal %1 cannot be written (%2); %3 rows waiting "
                                        "for it are not kept")
                             .arg(m_path, error.isEmpty() ? QStringLiteral("not open") : error)
                             .arg(batch.size()));
                break;
            }
            // Written: a row that marks a gap may have come behind the last batch.
            std::lock_guard lock(m_journal.m_mutex);
            if (m_journal.m_waiting.empty())
                break;
            continue;
        }
        if (m_open && !m_failing && batch.empty())
            Chores();
        if (!m_damage.isEmpty()) {
            Close();
            CannotWrite(std::exchange(m_damage, QString()));
        }
    }
    // Whatever could not be written, the program ends in order: the next start has nothing to
    // tell of this run.
    if (m_open && m_runId >= 0) {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        EndJournalRun(db, m_runId, QDateTime::currentDateTimeUtc());
    }
}

void Journal::Run(QString path, int keepDays)
{
    Writer(*this, std::move(path), keepDays).Run();
}
