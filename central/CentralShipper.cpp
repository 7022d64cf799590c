#include "CentralShipper.h"

#include "CentralDatabase.h"
#include "doors/Doors.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>

#include <condition_variable>
#include <functional>
#include <mutex>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// How long the orderly end lets the thread notice it before leaving it to end alone: a local
// statement may wait this long for another Alvetra's write; the network is never waited for.
constexpr std::chrono::milliseconds kEndPatience{1500};

std::atomic<quint64> g_shippers{0};

qint64 NowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The file's identity on disk: a journal moved aside as damaged leaves another in its place.
quint64 FileIdentity(const QString &path)
{
    struct stat info
    {
    };
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return quint64(info.st_ino) ^ (quint64(info.st_dev) << 40);
}

} // namespace

struct CentralShipper::Shared
{
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_ended;
    bool m_stop = false;
    bool m_woken = false;
    bool m_finished = false;
    // The end did not wait for the thread: it touches nothing more and never returns.
    bool m_abandoned = false;
    int m_socket = -1;                 // the central connection's, while open
    CentralShipper *m_owner = nullptr; // told of states while not stopped
};

// The shipper's thread: both connections and the marks of how far the central journal holds
// the rows.
class CentralShipper::Worker
{
public:
    Worker(std::shared_ptr<Shared> shared,
           std::shared_ptr<std::atomic<State>> state,
           std::shared_ptr<std::atomic<qint64>> waiting,
           std::shared_ptr<std::atomic<qint64>> shipped,
           CentralSettings settings,
           QString path,
           QString station,
           QString holder)
        : m_shared(std::move(shared))
        , m_state(std::move(state))
        , m_waiting(std::move(waiting))
        , m_shipped(std::move(shipped))
        , m_settings(std::move(settings))
        , m_path(std::move(path))
        , m_station(std::move(station))
        , m_holder(std::move(holder))
    {
        const quint64 number = ++g_shippers;
        m_localName = QStringLiteral("central-local-%1").arg(number);
        m_centralName = QStringLiteral("central-%1").arg(number);
    }

    void Run();

private:
    bool Stopping();
    // Parks the thread for good when the end left it behind: Qt and the application may be
    // gone by now.
    void ParkIfAbandoned();
    // Waits until `until`, a Wake or the end; false at the end.
    bool WaitUntil(Clock::time_point until);
    void Tell(State state, const QString &cause = {});
    // Runs `tell` on the owner's thread, unless the owner is ending.
    void Post(std::function<void(CentralShipper *)> tell);

    bool OpenLocal();
    void CloseLocal();
    bool LocalReplaced();
    bool TakeLease(bool *ours);
    void ReleaseLease();
    bool Connect();
    void Disconnect();
    void Failed(const QString &error, const QString &sqlState);
    // Ships the next batch: the rows shipped, 0 when none waited, -1 on failure.
    qint64 ShipBatch();
    void SetMark();

    QString Text(const QVariant &value) const;
    QString Bytes(const QVariant &value) const;

    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<std::atomic<State>> m_state;
    std::shared_ptr<std::atomic<qint64>> m_waiting;
    std::shared_ptr<std::atomic<qint64>> m_shipped;
    const CentralSettings m_settings;
    const QString m_path;
    const QString m_station;
    const QString m_holder;
    QString m_localName;
    QString m_centralName;

    bool m_localOpen = false;
    quint64 m_fileIdentity = 0;
    QString m_journalId;
    qint64 m_leaseUntil = 0; // ms since 1970; 0: not held
    bool m_connected = false;
    const QSqlDriver *m_driver = nullptr;
    // The highest frame id and output row the central database holds for this journal.
    qint64 m_framesUpTo = -1;
    qint64 m_outputsUpTo = -1;
    qint64 m_acknowledgementsUpTo = -1;
    Clock::time_point m_retryAt = Clock::now();
    std::chrono::seconds m_backoff = kRetryFirst;
    State m_told = State::Off;
    // Shipping stopped and was said to: the rows shipped since it was.
    bool m_outage = false;
    bool m_refusalTold = false;
    qint64 m_shippedSinceOutage = 0;
};

bool CentralShipper::Worker::Stopping()
{
    std::lock_guard lock(m_shared->m_mutex);
    return m_shared->m_stop;
}

void CentralShipper::Worker::ParkIfAbandoned()
{
    {
        std::lock_guard lock(m_shared->m_mutex);
        if (!m_shared->m_abandoned)
            return;
    }
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

bool CentralShipper::Worker::WaitUntil(Clock::time_point until)
{
    std::unique_lock lock(m_shared->m_mutex);
    m_shared->m_wake.wait_until(lock, until,
                                [this] { return m_shared->m_stop || m_shared->m_woken; });
    m_shared->m_woken = false;
    return !m_shared->m_stop;
}

void CentralShipper::Worker::Post(std::function<void(CentralShipper *)> tell)
{
    std::lock_guard lock(m_shared->m_mutex);
    // Posted under the lock: the owner cannot go between the look and the post, and a call
    // posted to it is dropped with it.
    if (CentralShipper *owner = m_shared->m_owner; owner && !m_shared->m_stop)
        QMetaObject::invokeMethod(
            owner, [owner, tell = std::move(tell)] { tell(owner); }, Qt::QueuedConnection);
}

void CentralShipper::Worker::Tell(State state, const QString &cause)
{
    m_state->store(state, std::memory_order_release);
    if (state == m_told && cause.isEmpty())
        return;
    m_told = state;
    Post([state, cause](CentralShipper *owner) { owner->Publish(state, cause); });
}

bool CentralShipper::Worker::OpenLocal()
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_localName);
        db.setDatabaseName(m_path);
        // Another Alvetra's write or the writer's checkpoint: a moment's wait, not a failure.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000;QSQLITE_OPEN_READWRITE"));
        if (QFileInfo(m_path).isFile() && db.open()) {
            QSqlQuery query(db);
            // The writer makes these with the file; until it has, there is nothing to ship.
            if (query.exec(QStringLiteral("SELECT journal FROM identity")) && query.next()) {
                m_journalId = query.value(0).toString();
                query.finish();
                if (query.exec(QStringLiteral("SELECT count(*) FROM shipping")) && query.next()
                    && query.value(0).toInt() == 1) {
                    m_localOpen = true;
                    m_fileIdentity = FileIdentity(m_path);
                    m_leaseUntil = 0;
                    return true;
                }
            }
        }
    }
    QSqlDatabase::removeDatabase(m_localName);
    return false;
}

void CentralShipper::Worker::CloseLocal()
{
    if (QSqlDatabase::contains(m_localName)) {
        QSqlDatabase::database(m_localName, false).close();
        QSqlDatabase::removeDatabase(m_localName);
    }
    m_localOpen = false;
    m_leaseUntil = 0;
}

bool CentralShipper::Worker::LocalReplaced()
{
    if (FileIdentity(m_path) == m_fileIdentity)
        return false;
    // The writer found the file damaged and began a new one: what the old one held past the
    // central journal's mark is not shipped (its rows may not be what they were).
    QSqlQuery query(QSqlDatabase::database(m_localName, false));
    qint64 mark = m_framesUpTo;
    if (mark < 0 && query.exec(QStringLiteral("SELECT frames FROM shipping")) && query.next())
        mark = query.value(0).toLongLong();
    query.finish();
    qint64 left = 0;
    query.prepare(QStringLiteral("SELECT count(*) FROM frames WHERE id > ?"));
    query.addBindValue(std::max<qint64>(mark, 0));
    if (query.exec() && query.next())
        left = query.value(0).toLongLong();
    else if (m_waiting->load() > 0)
        left = m_waiting->load();
    query.finish();
    if (left > 0)
        LogWarning(QStringLiteral("%1 rows of the journal %2, moved aside as damaged, are not "
                                  "shipped to the central journal")
                       .arg(left)
                       .arg(m_path));
    return true;
}

bool CentralShipper::Worker::TakeLease(bool *ours)
{
    const qint64 now = NowMs();
    // Held and far from running out: nothing to write.
    if (m_leaseUntil - now > std::chrono::milliseconds(kLease).count() / 2) {
        *ours = true;
        return true;
    }
    QSqlDatabase db = QSqlDatabase::database(m_localName, false);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    *ours = false;
    bool ok = query.exec(QStringLiteral("SELECT holder, until FROM shipping")) && query.next();
    if (ok) {
        const QString holder = query.value(0).toString();
        const qint64 until = query.value(1).toLongLong();
        query.finish();
        if (holder == m_holder || until < now) {
            const qint64 newUntil = now + std::chrono::milliseconds(kLease).count();
            query.prepare(QStringLiteral("UPDATE shipping SET holder = ?, until = ?"));
            query.addBindValue(m_holder);
            query.addBindValue(newUntil);
            ok = query.exec();
            if (ok) {
                *ours = true;
                m_leaseUntil = newUntil;
            }
        }
    }
    query.finish();
    if (!ok || !query.exec(QStringLiteral("COMMIT"))) {
        query.exec(QStringLiteral("ROLLBACK"));
        m_leaseUntil = 0;
        return false;
    }
    if (!*ours)
        m_leaseUntil = 0;
    return true;
}

void CentralShipper::Worker::ReleaseLease()
{
    if (!m_localOpen || m_leaseUntil == 0)
        return;
    QSqlQuery query(QSqlDatabase::database(m_localName, false));
    query.prepare(QStringLiteral("UPDATE shipping SET until = 0 WHERE holder = ?"));
    query.addBindValue(m_holder);
    query.exec();
    m_leaseUntil = 0;
}

bool CentralShipper::Worker::Connect()
{
    if (!m_outage)
        Tell(State::Connecting);
    QString error;
    const bool opened = OpenCentral(m_settings, m_centralName, &error);
    ParkIfAbandoned();
    if (!opened) {
        Failed(error, {});
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(m_centralName, false);
    {
        std::lock_guard lock(m_shared->m_mutex);
        m_shared->m_socket = CentralSocket(db);
        if (m_shared->m_stop)
            return false;
    }
    m_driver = db.driver();
    m_connected = true;
    QString sqlState;
    bool ok = EnsureCentralSchema(db, &error);
    ParkIfAbandoned();
    QSqlQuery query(db);
    if (ok) {
        // A role that may only insert and read: a journal known already is left as it is.
        ok = query.exec(QStringLiteral("INSERT INTO journals(journal, station) VALUES (%1, %2)"
                                       " ON CONFLICT (journal) DO NOTHING")
                            .arg(Text(m_journalId), Text(m_station)));
        // Where the central database's rows end: a batch committed before a connection was
        // lost is not sent twice, and none is skipped after a standby took over.
        ok = ok
             && query.exec(QStringLiteral("SELECT (SELECT coalesce(max(id), 0) FROM frames"
                                          " WHERE journal = %1), (SELECT coalesce(max(id), 0)"
                                          " FROM outputs WHERE journal = %1),"
                                          " (SELECT coalesce(max(id), 0) FROM acknowledgements"
                                          " WHERE journal = %1)")
                               .arg(Text(m_journalId)))
             && query.next();
        ParkIfAbandoned();
        if (ok) {
            m_framesUpTo = query.value(0).toLongLong();
            m_outputsUpTo = query.value(1).toLongLong();
            m_acknowledgementsUpTo = query.value(2).toLongLong();
        } else {
            error = query.lastError().text();
            sqlState = query.lastError().nativeErrorCode();
        }
    }
    query.finish();
    if (!ok) {
        Failed(error, sqlState);
        return false;
    }
    m_backoff = kRetryFirst;
    return true;
}

void CentralShipper::Worker::Disconnect()
{
    {
        std::lock_guard lock(m_shared->m_mutex);
        m_shared->m_socket = -1;
    }
    m_driver = nullptr;
    m_connected = false;
    CloseCentral(m_centralName);
}

void CentralShipper::Worker::Failed(const QString &error, const QString &sqlState)
{
    // The caller closes the connection once its queries are gone.
    m_connected = false;
    if (Stopping())
        return;
    const QString cause = error.simplified();
    QString line;
    if (IsCentralRefusal(cause, sqlState)) {
        const int seconds = m_settings.m_refusedRetrySeconds;
        m_retryAt = Clock::now() + std::chrono::seconds(seconds);
        if (!m_refusalTold) {
            m_refusalTold = true;
            line = QStringLiteral("The central journal %1 refuses this station: %2. It is tried "
                                  "again every %3; the rows wait in the local journal")
                       .arg(m_settings.Where(), cause,
                            seconds % 60 == 0 ? QStringLiteral("%1 minutes").arg(seconds / 60)
                                              : QStringLiteral("%1 seconds").arg(seconds));
            LogError(line);
        }
        Tell(State::Refused, cause);
    } else {
        m_retryAt = Clock::now() + m_backoff;
        m_backoff = std::min(m_backoff * 2, std::chrono::seconds(kRetryMost));
        if (!m_outage) {
            line = QStringLiteral("Shipping the journal to the central journal %1 has stopped: "
                                  "%2. The rows wait in the local journal")
                       .arg(m_settings.Where(), cause);
            LogWarning(line);
        }
        Tell(State::Stopped, cause);
    }
    if (!m_outage) {
        m_outage = true;
        m_shippedSinceOutage = 0;
        Post([line](CentralShipper *owner) { emit owner->ShippingStopped(line); });
    }
}

QString CentralShipper::Worker::Text(const QVariant &value) const
{
    if (value.isNull())
        return QStringLiteral("NULL");
    QString text = value.toString();
    // PostgreSQL's text holds no NUL; the frame's bytes keep it.
    text.replace(QChar(0), QChar(0xFFFD));
    QSqlField field(QString(), QMetaType(QMetaType::QString));
    field.setValue(text);
    return m_driver ? m_driver->formatValue(field)
                    : QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("''"))
                          + QLatin1Char('\'');
}

QString CentralShipper::Worker::Bytes(const QVariant &value) const
{
    if (value.isNull() || !m_driver)
        return QStringLiteral("NULL");
    QSqlField field(QString(), QMetaType(QMetaType::QByteArray));
    field.setValue(value.toByteArray());
    return m_driver->formatValue(field);
}

qint64 CentralShipper::Worker::ShipBatch()
{
    QSqlDatabase local = QSqlDatabase::database(m_localName, false);
    const QString journal = Text(m_journalId);
    const QString station = Text(m_station);
    const auto time = [](const QVariant &ms) {
        return QStringLiteral("timestamptz 'epoch' + %1 * interval '1 millisecond'")
            .arg(ms.toLongLong());
    };
    // One short read: a long one would hold the writer's checkpoints back.
    if (!local.transaction())
        return -2;
    QSqlQuery query(local);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT id, received, port, device, fate, detail, length, bytes,"
                                 " header, handling, region, source, headline, trailer, body"
                                 " FROM frames WHERE id > ? ORDER BY id LIMIT %1")
                      .arg(kBatchRows));
    query.addBindValue(m_framesUpTo);
    QStringList frames;
    qint64 framesTo = m_framesUpTo;
    bool ok = query.exec();
    while (ok && query.next()) {
        framesTo = query.value(0).toLongLong();
        frames << QStringLiteral("(%1,%2,%3,%4,%5,%6,%7,%8,%9,%10,%11,%12,%13,%14,%15,%16,%17)")
                      .arg(journal, QString::number(framesTo), station, time(query.value(1)),
                           QString::number(query.value(2).toInt()), Text(query.value(3)),
                           QString::number(query.value(4).toInt()), Text(query.value(5)),
                           QString::number(query.value(6).toLongLong()))
                      .arg(Bytes(query.value(7)), Text(query.value(8)), Text(query.value(9)),
                           Text(query.value(10)), Text(query.value(11)), Text(query.value(12)),
                           Text(query.value(13)), Text(query.value(14)));
    }
    ok = ok && !query.lastError().isValid();
    query.finish();
    // Outputs in the order they were kept, up to the first whose frame is not shipped with
    // this batch: a late result of a frame shipped long ago goes too.
    QStringList outputs;
    qint64 outputsTo = m_outputsUpTo;
    if (ok) {
        query.prepare(QStringLiteral("SELECT rowid, frame, kind, at, ok, result FROM outputs"
                                     " WHERE rowid > ? ORDER BY rowid LIMIT %1")
                          .arg(kBatchRows));
        query.addBindValue(m_outputsUpTo);
        ok = query.exec();
        while (ok && query.next()) {
            const qint64 frame = query.value(1).toLongLong();
            if (frame > framesTo)
                break;
            outputsTo = query.value(0).toLongLong();
            outputs << QStringLiteral("(%1,%2,%3,%4,%5,%6,%7)")
                           .arg(journal, QString::number(outputsTo), QString::number(frame),
                                QString::number(query.value(2).toInt()), time(query.value(3)),
                                query.value(4).toInt() != 0 ? QStringLiteral("true")
                                                            : QStringLiteral("false"),
                                Text(query.value(5)));
        }
        ok = ok && !query.lastError().isValid();
        query.finish();
    }
    // The acknowledgements' changes the same way: a message acknowledged long after its frame
    // was shipped (the usual case) goes with the next batch.
    QStringList acknowledgements;
    qint64 acknowledgementsTo = m_acknowledgementsUpTo;
    if (ok) {
        query.prepare(QStringLiteral("SELECT seq, frame, at, user, place FROM"
                                     " acknowledgement_events WHERE seq > ? ORDER BY seq LIMIT %1")
                          .arg(kBatchRows));
        query.addBindValue(m_acknowledgementsUpTo);
        ok = query.exec();
        while (ok && query.next()) {
            const qint64 frame = query.value(1).toLongLong();
            if (frame > framesTo)
                break;
            acknowledgementsTo = query.value(0).toLongLong();
            const bool given = !query.value(2).isNull();
            acknowledgements << QStringLiteral("(%1,%2,%3,%4,%5,%6)")
                                    .arg(journal, QString::number(acknowledgementsTo),
                                         QString::number(frame),
                                         given ? time(query.value(2)) : QStringLiteral("NULL"),
                                         given ? Text(query.value(3)) : QStringLiteral("NULL"),
                                         given ? QString::number(query.value(4).toInt())
                                               : QStringLiteral("NULL"));
        }
        ok = ok && !query.lastError().isValid();
        query.finish();
    }
    qint64 newestFrame = framesTo;
    qint64 newestOutput = outputsTo;
    qint64 newestAcknowledgement = acknowledgementsTo;
    if (ok
        && query.exec(QStringLiteral("SELECT (SELECT max(id) FROM frames),"
                                     " (SELECT max(rowid) FROM outputs),"
                                     " (SELECT max(seq) FROM acknowledgement_events)"))
        && query.next()) {
        newestFrame = std::max(newestFrame, query.value(0).toLongLong());
        newestOutput = std::max(newestOutput, query.value(1).toLongLong());
        newestAcknowledgement = std::max(newestAcknowledgement, query.value(2).toLongLong());
    }
    query.finish();
    local.commit();
    if (!ok)
        return -2;
    const qint64 left = (newestFrame - framesTo) + (newestOutput - outputsTo)
                        + (newestAcknowledgement - acknowledgementsTo);
    const qint64 rows = frames.size() + outputs.size() + acknowledgements.size();
    if (rows == 0) {
        m_waiting->store(left);
        return 0;
    }

    QSqlDatabase db = QSqlDatabase::database(m_centralName, false);
    QSqlQuery central(db);
    ok = central.exec(QStringLiteral("BEGIN"));
    if (ok && !frames.isEmpty())
        ok = central.exec(
            QStringLiteral("INSERT INTO frames(journal, id, station, received, port, device, fate,"
                           " detail, length, bytes, header, handling, region, source, headline,"
                           " trailer, body) VALUES %1 ON CONFLICT (journal, id) DO NOTHING")
                .arg(frames.join(QLatin1Char(','))));
    if (ok && !outputs.isEmpty())
        ok = central.exec(QStringLiteral("INSERT INTO outputs(journal, id, frame, kind, at, ok,"
                                         " result) VALUES %1 ON CONFLICT (journal, id) DO NOTHING")
                              .arg(outputs.join(QLatin1Char(','))));
    if (ok && !acknowledgements.isEmpty())
        ok = central.exec(QStringLiteral("INSERT INTO acknowledgements(journal, id, frame, at,"
                                         " username, place) VALUES %1"
                                         " ON CONFLICT (journal, id) DO NOTHING")
                              .arg(acknowledgements.join(QLatin1Char(','))));
    ok = ok && central.exec(QStringLiteral("COMMIT"));
    ParkIfAbandoned();
    if (!ok) {
        const QSqlError error = central.lastError();
        central.finish();
        Failed(error.text(), error.nativeErrorCode());
        return -1;
    }
    m_framesUpTo = framesTo;
    m_outputsUpTo = outputsTo;
    m_acknowledgementsUpTo = acknowledgementsTo;
    m_shipped->fetch_add(rows);
    m_shippedSinceOutage += rows;
    m_waiting->store(left);
    SetMark();
    Post([](CentralShipper *owner) { emit owner->BatchShipped(); });
    return rows;
}

void CentralShipper::Worker::SetMark()
{
    // Only pruning reads it: a mark not written now is written with the next batch.
    QSqlQuery query(QSqlDatabase::database(m_localName, false));
    query.prepare(QStringLiteral("UPDATE shipping SET frames = ?, outputs = ? WHERE holder = ?"));
    query.addBindValue(m_framesUpTo);
    query.addBindValue(m_outputsUpTo);
    query.addBindValue(m_holder);
    query.exec();
}

void CentralShipper::Worker::Run()
{
    while (!Stopping()) {
        if (!m_localOpen && !OpenLocal()) {
            // No journal yet, or one the writer has not made its tables in.
            CloseLocal();
            WaitUntil(Clock::now() + kRetryFirst);
            continue;
        }
        if (LocalReplaced()) {
            CloseLocal();
            Disconnect();
            m_framesUpTo = m_outputsUpTo = m_acknowledgementsUpTo = -1;
            continue;
        }
        bool ours = false;
        if (!TakeLease(&ours)) {
            WaitUntil(Clock::now() + kLookEvery);
            continue;
        }
        if (!ours) {
            Disconnect();
            Tell(State::ShippedElsewhere);
            WaitUntil(Clock::now() + kLease / 4);
            continue;
        }
        if (!m_connected) {
            if (Clock::now() < m_retryAt) {
                WaitUntil(m_retryAt);
                continue;
            }
            if (!Connect()) {
                Disconnect();
                continue;
            }
        }
        const qint64 shipped = ShipBatch();
        if (shipped == -2) {
            // The local file cannot be read now: opened again at the next look.
            CloseLocal();
            WaitUntil(Clock::now() + kLookEvery);
            continue;
        }
        if (shipped < 0) {
            Disconnect();
            continue;
        }
        if (shipped > 0) {
            Tell(State::Behind);
            continue;
        }
        if (m_outage) {
            m_outage = false;
            m_refusalTold = false;
            const QString line = QStringLiteral("The journal is shipped to the central journal %1 "
                                                "again; %2 rows that waited were shipped")
                                     .arg(m_settings.Where())
                                     .arg(m_shippedSinceOutage);
            LogWarning(line);
            Post([line](CentralShipper *owner) { emit owner->ShippingResumed(line); });
        }
        Tell(State::UpToDate);
        WaitUntil(Clock::now() + kLookEvery);
    }
    ParkIfAbandoned();
    ReleaseLease();
    CloseLocal();
    Disconnect();
}

CentralShipper::CentralShipper(QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
    , m_state(std::make_shared<std::atomic<State>>(State::Off))
    , m_waiting(std::make_shared<std::atomic<qint64>>(-1))
    , m_shipped(std::make_shared<std::atomic<qint64>>(0))
{}

CentralShipper::~CentralShipper()
{
    Stop();
}

void CentralShipper::Start(const CentralSettings &settings,
                           const QString &journalPath,
                           const QString &station,
                           const QString &holder)
{
    if (m_thread.joinable() || !settings.IsSet())
        return;
    m_where = settings.Where();
    m_shared->m_owner = this;
    m_state->store(State::Connecting);
    m_thread
        = std::thread([worker = std::make_shared<Worker>(m_shared, m_state, m_waiting, m_shipped,
                                                         settings, journalPath, station, holder),
                       shared = m_shared] {
              worker->Run();
              std::lock_guard lock(shared->m_mutex);
              shared->m_finished = true;
              shared->m_ended.notify_all();
          });
}

void CentralShipper::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_shared->m_mutex);
        m_shared->m_stop = true;
        m_shared->m_owner = nullptr;
        // A statement in flight ends at once: the server rolls its transaction back, and the
        // next run sends the batch again.
        if (m_shared->m_socket >= 0)
            shutdown(m_shared->m_socket, SHUT_RDWR);
    }
    m_shared->m_wake.notify_all();
    bool ended = false;
    {
        std::unique_lock lock(m_shared->m_mutex);
        ended = m_shared->m_ended.wait_for(lock, kEndPatience,
                                           [this] { return m_shared->m_finished; });
        if (!ended)
            m_shared->m_abandoned = true;
    }
    // Still connecting to a server that does not answer: the program ends without it.
    if (ended)
        m_thread.join();
    else
        m_thread.detach();
    m_state->store(State::Off);
}

void CentralShipper::Wake()
{
    {
        std::lock_guard lock(m_shared->m_mutex);
        m_shared->m_woken = true;
    }
    m_shared->m_wake.notify_all();
}

void CentralShipper::Publish(State, const QString &cause)
{
    if (!cause.isEmpty())
        m_cause = cause;
    emit StateChanged();
}

QString CentralShipper::StateText() const
{
    const qint64 waiting = Waiting();
    switch (GetState()) {
    case State::Off:
        return {};
    case State::Connecting:
        return QStringLiteral("Central journal: connecting");
    case State::UpToDate:
        return QStringLiteral("Central journal: shipped");
    case State::Behind:
        return QStringLiteral("Central journal: %1 rows waiting").arg(std::max<qint64>(waiting, 0));
    case State::Stopped:
        return QStringLiteral("Central journal: stopped, %1 rows waiting")
            .arg(std::max<qint64>(waiting, 0));
    case State::Refused:
        return QStringLiteral("Central journal: refused, %1 rows waiting")
            .arg(std::max<qint64>(waiting, 0));
    case State::ShippedElsewhere:
        return QStringLiteral("Central journal: shipped by another Alvetra");
    }
    return {};
}

QString CentralShipper::DefaultHolder()
{
    const QByteArray folder
        = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toUtf8();
    return QStringLiteral("%1:%2:%3")
        .arg(QSysInfo::machineHostName())
        .arg(getuid())
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(folder, QCryptographicHash::Sha1).toHex().left(12)));
}
