#include "Journal.h"

#include "JournalDatabase.h"
#include "doors/Doors.h"

#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::Literals::StringLiterals;

namespace {

// The writer keeps each passed row's id for this many later rows, so that outputs reported
// long after (a slow printer, a paced output line) still find their message.
constexpr qsizetype kRememberedTickets = 10000;
// Rows indexed at a time while nothing else waits: some tens of milliseconds, so a frame that
// comes meanwhile is kept without a noticeable wait.
constexpr int kIndexChunk = 64;

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
    m_held.push_back(
        {ticket, std::chrono::steady_clock::now() + kCommitWait, std::move(outputs), ticket == 0});
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

void Journal::RunReady()
{
    const auto now = std::chrono::steady_clock::now();
    while (!m_held.empty()) {
        Held &front = m_held.front();
        if (!front.m_committed) {
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
    m_failed.store(false, std::memory_order_release);
    m_writer = std::thread(&Journal::Run, this, path, keepDays);
}

quint64 Journal::Record(JournalFrame row)
{
    if (m_failed.load(std::memory_order_acquire))
        return 0;
    const bool passed = row.m_fate == JournalFate::Passed;
    const quint64 ticket = m_nextTicket++;
    bool kept = true;
    bool warn = false;
    {
        std::lock_guard lock(m_mutex);
        if (!passed && qsizetype(m_waiting.size()) >= kMaxWaiting) {
            m_dropped.fetch_add(1, std::memory_order_relaxed);
            kept = false;
            warn = !m_dropping;
            m_dropping = true;
        } else {
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
    if (m_failed.load(std::memory_order_acquire) || output.m_ticket == 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_waiting.push_back(std::move(output));
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

void Journal::Fail(const QString &text, std::deque<Waiting> &batch)
{
    LogError(text);
    std::deque<Waiting> rest;
    {
        std::lock_guard lock(m_mutex);
        m_failed.store(true, std::memory_order_release);
        rest.swap(m_waiting);
    }
    // The outputs of passed messages wait for these; they go ahead without the journal.
    std::vector<std::pair<quint64, qint64>> never;
    for (const std::deque<Waiting> *waiting : {&batch, &rest}) {
        for (const Waiting &item : *waiting) {
            if (const auto *frame = std::get_if<WaitingFrame>(&item);
                frame && frame->m_row.m_fate == JournalFate::Passed)
                never.emplace_back(frame->m_ticket, -1);
        }
    }
    Report(std::move(never));
}

void Journal::Run(QString path, int keepDays)
{
    const QString connection = QStringLiteral("journal-writer-%1").arg(quintptr(this));
    std::deque<Waiting> batch;
    const JournalOpening opening = OpenJournalForWriting(path, connection);
    if (!opening.m_movedAsideAs.isEmpty())
        LogError(QStringLiteral("The journal %1 was damaged; it was moved aside as %2 and a new "
                                "journal begun")
                     .arg(path, opening.m_movedAsideAs));
    if (!opening.m_ok) {
        Fail(QStringLiteral("The journal %1 cannot be opened (%2); Alvetra goes on without it")
                 .arg(path, opening.m_error),
             batch);
        return;
    }
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        QSqlQuery insertFrame(db);
        QSqlQuery insertOutput(db);
        insertFrame.prepare(QStringLiteral(
            "INSERT INTO frames(received, port, device, fate, detail, length, bytes, header,"
            " handling, region, source, headline, trailer, body)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        insertOutput.prepare(QStringLiteral(
            "INSERT INTO outputs(frame, kind, at, ok, result) VALUES (?, ?, ?, ?, ?)"));
        QHash<quint64, qint64> rowOfTicket;
        std::deque<quint64> remembered;
        auto nextPrune = std::chrono::steady_clock::now();
        // Rows kept by an earlier run may not be indexed yet.
        bool indexBehind = true;
        bool indexFailed = false;

        for (;;) {
            bool stop = false;
            {
                std::unique_lock lock(m_mutex);
                // Rows still to index are work enough: the writer only looks whether rows wait.
                if (!indexBehind)
                    m_wake.wait_until(lock, nextPrune,
                                      [this] { return m_stop || !m_waiting.empty(); });
                batch.swap(m_waiting);
                stop = m_stop;
                if (m_dropping && m_waiting.empty())
                    m_dropping = false;
            }
            if (keepDays > 0 && std::chrono::steady_clock::now() >= nextPrune) {
                nextPrune = std::chrono::steady_clock::now() + kPruneEvery;
                QString error;
                if (!PruneJournal(db, keepDays, QDateTime::currentDateTimeUtc(), &error))
                    LogError(QStringLiteral("Old rows of the journal %1 cannot be deleted (%2)")
                                 .arg(path, error));
            } else if (keepDays <= 0) {
                nextPrune = std::chrono::steady_clock::time_point::max();
            }
            if (batch.empty()) {
                if (stop)
                    break;
                if (indexBehind) {
                    QString error;
                    const int added = IndexJournalText(db, kIndexChunk, &error);
                    // A text index that cannot be written leaves searches to look through the
                    // rows themselves; the rows are kept all the same.
                    if (added < 0)
                        LogError(QStringLiteral("The text index of the journal %1 cannot be "
                                                "written (%2); searches will be slower")
                                     .arg(path, error));
                    indexBehind = added > 0;
                    indexFailed = added < 0;
                }
                continue;
            }

            std::vector<std::pair<quint64, qint64>> committed;
            bool ok = db.transaction();
            for (const Waiting &item : batch) {
                if (!ok)
                    break;
                if (const auto *frame = std::get_if<WaitingFrame>(&item)) {
                    ok = InsertJournalFrame(insertFrame, frame->m_row);
                    if (ok && frame->m_row.m_fate == JournalFate::Passed) {
                        const qint64 id = insertFrame.lastInsertId().toLongLong();
                        committed.emplace_back(frame->m_ticket, id);
                        rowOfTicket.insert(frame->m_ticket, id);
                        remembered.push_back(frame->m_ticket);
                    }
                } else {
                    const auto &output = std::get<JournalOutput>(item);
                    const auto found = rowOfTicket.constFind(output.m_ticket);
                    if (found != rowOfTicket.cend())
                        ok = InsertOutput(insertOutput, *found, output);
                }
            }
            QString error;
            if (!ok)
                error = (insertFrame.lastError().isValid()    ? insertFrame.lastError()
                         : insertOutput.lastError().isValid() ? insertOutput.lastError()
                                                              : db.lastError())
                            .text();
            if (ok && !db.commit()) {
                ok = false;
                error = db.lastError().text();
            }
            if (!ok) {
                db.rollback();
                Fail(QStringLiteral("The journal %1 cannot be written (%2); Alvetra goes on "
                                    "without it")
                         .arg(path, error),
                     batch);
                break;
            }
            while (qsizetype(remembered.size()) > kRememberedTickets) {
                rowOfTicket.remove(remembered.front());
                remembered.pop_front();
            }
            batch.clear();
            Report(std::move(committed));
            indexBehind = !indexFailed;
        }
    }
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
}
