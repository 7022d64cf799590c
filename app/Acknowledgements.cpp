#include "Acknowledgements.h"

#include "Notifier.h"
#include "Troubles.h"
#include "dispatch/ProgramSound.h"
#include "doors/Doors.h"
#include "journal/Journal.h"
#include "settings/GeneralSettings.h"

#include <QLocale>

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The trouble and the switch are looked at this often while a message waits.
constexpr auto kLookEvery = 1s;

} // namespace

QString OperatingSystemUser()
{
    // The account the program runs as, not whatever a shell's environment claims.
    if (const passwd *account = getpwuid(geteuid()); account && account->pw_name)
        return QString::fromLocal8Bit(account->pw_name);
    return qEnvironmentVariable("USER");
}

Acknowledgements::Acknowledgements(Notifier &notifier, Troubles &troubles, QObject *parent)
    : QObject(parent)
    , m_notifier(notifier)
    , m_troubles(troubles)
{
    m_look.setInterval(kLookEvery);
    connect(&m_look, &QTimer::timeout, this, &Acknowledgements::Look);
    connect(&m_repeat, &QTimer::timeout, this, &Acknowledgements::Repeat);
    m_notifier.SetWaitingQuery([this](quint64 key) { return StillWaits(key); });
    connect(&m_notifier, &Notifier::AcknowledgeRequested, this, [this](const QList<quint64> &keys) {
        AcknowledgeKeys(keys, AcknowledgedFrom::Notification);
    });
}

Acknowledgements::~Acknowledgements()
{
    m_notifier.SetWaitingQuery({});
}

void Acknowledgements::SetJournal(Journal *journal)
{
    m_journal = journal;
    if (!journal)
        return;
    connect(journal, &Journal::WaitingReadBack, this, &Acknowledgements::OnReadBack);
    connect(journal, &Journal::Committed, this, &Acknowledgements::OnCommitted);
}

bool Acknowledgements::Enabled() const
{
    return GetGeneralSettings().m_alerts.m_acknowledge;
}

std::chrono::milliseconds Acknowledgements::RepeatPeriod() const
{
    if (m_repeatPeriod)
        return *m_repeatPeriod;
    return std::chrono::minutes(std::max(0, GetGeneralSettings().m_alerts.m_repeatMinutes));
}

std::chrono::milliseconds Acknowledgements::EscalatePeriod() const
{
    if (m_escalatePeriod)
        return *m_escalatePeriod;
    return std::chrono::minutes(std::max(0, GetGeneralSettings().m_alerts.m_escalateMinutes));
}

void Acknowledgements::SetRepeatPeriod(std::optional<std::chrono::milliseconds> period)
{
    m_repeatPeriod = period;
    RestartRepeat();
}

void Acknowledgements::SetEscalatePeriod(std::optional<std::chrono::milliseconds> period)
{
    m_escalatePeriod = period;
    Look();
}

quint64 Acknowledgements::Add(quint64 ticket, const QDateTime &receivedAt)
{
    const Journal *journal = m_journal.data();
    if (!m_warnedInMemory && (!journal || !journal->IsWorking())) {
        m_warnedInMemory = true;
        LogWarning(QStringLiteral("No journal is written: messages waiting for acknowledgement "
                                  "and their acknowledgements are kept in memory only, and do "
                                  "not wait after Alvetra ends"));
    }
    const quint64 key = m_nextKey++;
    m_waiting.push_back({key, journal ? ticket : 0, 0, receivedAt.toUTC()});
    m_justAdded = key;
    // The message's own chime has just sounded: the next comes a full period after it.
    RestartRepeat();
    Look();
    emit Changed();
    return key;
}

void Acknowledgements::OnReadBack(const std::vector<JournalWaitingRow> &rows)
{
    // With the switch off they wait in the journal, for the History window, and nothing else.
    if (!Enabled() || rows.empty())
        return;
    std::vector<Waiting> earlier;
    earlier.reserve(rows.size());
    for (const JournalWaitingRow &row : rows)
        earlier.push_back({m_nextKey++, 0, row.m_rowId, row.m_received});
    // Before this run's messages, which came later.
    m_waiting.insert(m_waiting.begin(), earlier.begin(), earlier.end());
    RestartRepeat();
    Look();
    emit Changed();
}

void Acknowledgements::OnCommitted(quint64 ticket, qint64 rowId)
{
    // Newest first: a committed row is nearly always one of the last added.
    for (auto it = m_waiting.rbegin(); it != m_waiting.rend(); ++it) {
        if (it->m_ticket == ticket && it->m_rowId == 0) {
            it->m_rowId = rowId;
            return;
        }
    }
}

void Acknowledgements::AcknowledgeAll(AcknowledgedFrom from)
{
    Acknowledge(std::exchange(m_waiting, {}), from);
}

void Acknowledgements::AcknowledgeKeys(const QList<quint64> &keys, AcknowledgedFrom from)
{
    std::vector<Waiting> done;
    std::erase_if(m_waiting, [&](const Waiting &waiting) {
        if (!keys.contains(waiting.m_key))
            return false;
        done.push_back(waiting);
        return true;
    });
    Acknowledge(std::move(done), from);
}

void Acknowledgements::AcknowledgeRows(const QList<qint64> &rowIds, AcknowledgedFrom from)
{
    std::vector<Waiting> done;
    QList<qint64> rest = rowIds;
    std::erase_if(m_waiting, [&](const Waiting &waiting) {
        if (waiting.m_rowId == 0 || !rest.removeOne(waiting.m_rowId))
            return false;
        done.push_back(waiting);
        return true;
    });
    // Rows waiting in the journal without waiting here (left by a run with the switch off, or
    // by another Alvetra on the same file) are acknowledged all the same.
    for (const qint64 rowId : rest)
        done.push_back({0, 0, rowId, {}});
    Acknowledge(std::move(done), from);
}

void Acknowledgements::Acknowledge(std::vector<Waiting> done, AcknowledgedFrom from)
{
    if (done.empty())
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString user = OperatingSystemUser();
    if (Journal *journal = m_journal.data()) {
        for (const Waiting &waiting : done)
            journal->RecordAcknowledgement(
                {waiting.m_rowId > 0 ? 0 : waiting.m_ticket, waiting.m_rowId, now, user, from});
    }
    m_notifier.WithdrawAcknowledged();
    Look();
    emit Changed();
}

bool Acknowledgements::StillWaits(quint64 key) const
{
    return std::any_of(m_waiting.cbegin(), m_waiting.cend(),
                       [key](const Waiting &waiting) { return waiting.m_key == key; });
}

int Acknowledgements::WaitingCount() const
{
    return Enabled() ? int(m_waiting.size()) : 0;
}

int Acknowledgements::EscalatedCount() const
{
    const auto period = EscalatePeriod();
    if (!Enabled() || period <= 0ms)
        return 0;
    const QDateTime due = QDateTime::currentDateTimeUtc().addMSecs(-period.count());
    return int(std::count_if(m_waiting.cbegin(), m_waiting.cend(),
                             [&](const Waiting &waiting) { return waiting.m_received <= due; }));
}

QDateTime Acknowledgements::OldestWaiting() const
{
    if (!Enabled() || m_waiting.empty())
        return {};
    return std::min_element(
               m_waiting.cbegin(), m_waiting.cend(),
               [](const Waiting &a, const Waiting &b) { return a.m_received < b.m_received; })
        ->m_received;
}

QString Acknowledgements::PaneText() const
{
    const int count = WaitingCount();
    if (count == 0)
        return {};
    const QDateTime first = OldestWaiting().toLocalTime();
    // A message from an earlier day says which day.
    const QString at = first.date() == QDate::currentDate()
                           ? first.toString(QStringLiteral("HH:mm"))
                           : first.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    return count == 1
               ? QStringLiteral("1 alert not acknowledged, at %1").arg(at)
               : QStringLiteral("%1 alerts not acknowledged, the first at %2").arg(count).arg(at);
}

void Acknowledgements::RestartRepeat()
{
    const auto period = RepeatPeriod();
    if (WaitingCount() == 0 || period <= 0ms) {
        m_repeat.stop();
        return;
    }
    m_repeat.start(period);
}

void Acknowledgements::Repeat()
{
    if (WaitingCount() == 0) {
        m_repeat.stop();
        return;
    }
    // The same chime again, and nothing in the log: the message's lines are there already.
    PlayPassedSound();
}

void Acknowledgements::Look()
{
    const int escalated = EscalatedCount();
    if (escalated > 0 && !m_troubles.IsOn(TroubleKind::AlertsWaiting)) {
        Trouble trouble;
        trouble.m_kind = TroubleKind::AlertsWaiting;
        trouble.m_since = QDateTime::currentDateTimeUtc();
        const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(EscalatePeriod());
        trouble.m_text = escalated == 1
                             ? QStringLiteral("1 passed message has waited for acknowledgement "
                                              "longer than %1 minutes")
                                   .arg(minutes.count())
                             : QStringLiteral("%1 passed messages have waited for acknowledgement "
                                              "longer than %2 minutes")
                                   .arg(escalated)
                                   .arg(minutes.count());
        m_troubles.Begin(trouble);
    } else if (escalated == 0 && m_troubles.IsOn(TroubleKind::AlertsWaiting)) {
        m_troubles.End(TroubleKind::AlertsWaiting,
                       QStringLiteral("No passed message waits for acknowledgement past its "
                                      "time any more"));
    }
    // The switch turned off, or the repeat's minutes changed, in General Settings.
    if (WaitingCount() == 0)
        m_repeat.stop();
    else if (!m_repeat.isActive() || m_repeat.intervalAsDuration() != RepeatPeriod())
        RestartRepeat();
    if (WaitingCount() > 0) {
        if (!m_look.isActive())
            m_look.start();
    } else {
        m_look.stop();
    }
}
