#pragma once

#include "journal/JournalRecord.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

class Journal;
class Notifier;
class Troubles;

// The passed messages that wait for an operator's acknowledgement ([Alerts] Acknowledge): the
// chime again while any waits, the trouble when one waits too long, and each acknowledgement
// kept in the journal (or in memory only, when no journal is written). Messages an earlier run
// left waiting are read back from the journal at start. With the switch off it shows nothing
// and does nothing. GUI thread only.
class Acknowledgements : public QObject
{
    Q_OBJECT

public:
    Acknowledgements(Notifier &notifier, Troubles &troubles, QObject *parent = nullptr);
    ~Acknowledgements() override;

    // The journal of this run (null: none kept); its waiting rows are taken when it reads them.
    void SetJournal(Journal *journal);

    // A passed message waits from now on, kept under `ticket` (0: not kept); its key.
    quint64 Add(quint64 ticket, const QDateTime &receivedAt);
    // The key Add gave last, once: the notification of the message that follows it.
    quint64 TakeJustAdded() { return std::exchange(m_justAdded, 0); }

    void AcknowledgeAll(AcknowledgedFrom from);
    // The messages of these keys (a notification's), or of these journal rows (History's).
    void AcknowledgeKeys(const QList<quint64> &keys, AcknowledgedFrom from);
    void AcknowledgeRows(const QList<qint64> &rowIds, AcknowledgedFrom from);

    // Messages waiting now; 0 while the switch is off.
    int WaitingCount() const;
    // Those that waited past [Alerts] EscalateMinutes.
    int EscalatedCount() const;
    // When the oldest waiting message was received (UTC); invalid when none waits.
    QDateTime OldestWaiting() const;
    // The status pane's text: "3 alerts not acknowledged, the first at 14:02"; empty when none.
    QString PaneText() const;
    bool StillWaits(quint64 key) const;

    // A test shortens the settings' minutes.
    void SetRepeatPeriod(std::optional<std::chrono::milliseconds> period);
    void SetEscalatePeriod(std::optional<std::chrono::milliseconds> period);

signals:
    // The waiting messages changed: one came, or was acknowledged.
    void Changed();

private:
    struct Waiting
    {
        quint64 m_key;
        quint64 m_ticket;
        qint64 m_rowId; // 0 until the journal has kept it
        QDateTime m_received;
    };

    bool Enabled() const;
    std::chrono::milliseconds RepeatPeriod() const;
    std::chrono::milliseconds EscalatePeriod() const;
    void Acknowledge(std::vector<Waiting> done, AcknowledgedFrom from);
    void OnReadBack(const std::vector<JournalWaitingRow> &rows);
    void OnCommitted(quint64 ticket, qint64 rowId);
    void Look();
    void Repeat();
    void RestartRepeat();

    Notifier &m_notifier;
    Troubles &m_troubles;
    QPointer<Journal> m_journal;
    std::vector<Waiting> m_waiting; // oldest first
    quint64 m_nextKey = 1;
    quint64 m_justAdded = 0;
    QTimer m_look;
    QTimer m_repeat;
    bool m_warnedInMemory = false;
    std::optional<std::chrono::milliseconds> m_repeatPeriod;
    std::optional<std::chrono::milliseconds> m_escalatePeriod;
};

// The operating system's user of this program, as an acknowledgement names them.
QString OperatingSystemUser();
