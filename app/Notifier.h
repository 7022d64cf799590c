#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

// Desktop notifications over the freedesktop notification service on the session bus, for
// the operator who is not looking at the window. Calls never wait for the service: each goes
// out asynchronously and its answer (the notification's id) comes back on the event loop.
// Without a session bus or a service, nothing is shown and nothing fails. GUI thread only.
class Notifier : public QObject
{
    Q_OBJECT

public:
    // Messages closer together than this are one burst: one notification, updated with a
    // count, rather than a pile the operator has to dismiss one by one.
    static constexpr std::chrono::seconds kBurstGap{60};
    // The least time between two lasting notifications of one trouble: a line that is lost and
    // back every few seconds must not bury the desktop in them. Trouble raised again sooner is
    // shown once this has passed, if it is still there.
    static constexpr std::chrono::seconds kTroubleGap{60};

    explicit Notifier(QObject *parent = nullptr);

    // A passed message: its headline, with the region and source codes of its header.
    // `waitingKey`, when not 0, names the message as it waits for acknowledgement: then its
    // notification is critical, stays, and offers to acknowledge every message it stands for.
    void
    OnPassedMessage(const QByteArray &header, const QByteArray &headline, quint64 waitingKey = 0);
    // Whether the message of a waiting key still waits; asked before a notification is kept.
    void SetWaitingQuery(std::function<bool(quint64)> stillWaits)
    {
        m_stillWaits = std::move(stillWaits);
    }
    // Withdraws each notification none of whose messages waits any more.
    void WithdrawAcknowledged();
    // Trouble on a line, named by `key`: one notification that stays until dismissed or
    // withdrawn. Raising the same key again changes nothing.
    void RaiseTrouble(const QString &key, const QString &summary, const QString &body);
    // The trouble of `key` is over: its notification is withdrawn and a brief one says so.
    void ClearTrouble(const QString &key, const QString &summary);
    // A test shortens kTroubleGap.
    void SetTroubleGap(std::chrono::milliseconds gap) { m_troubleGap = gap; }

signals:
    // The operator used a notification's "Acknowledge": the keys of the messages it stands for.
    void AcknowledgeRequested(const QList<quint64> &waitingKeys);

private slots:
    // The service's signal; a D-Bus signal is connected by its signature, not a pointer.
    void OnActionInvoked(uint id, const QString &action);

private:
    // Sends Notify; `onId` gets the id the service gave it.
    void Notify(uint replacesId,
                const QString &summary,
                const QString &body,
                int expireMs,
                uchar urgency,
                std::function<void(uint)> onId,
                const QStringList &actions = {});
    void Close(uint id);
    void SendBurst();

    struct Burst
    {
        uint id = 0;
        int count = 0;
        bool waitingForId = false;
        bool changedMeanwhile = false;
        QString body;
        QElapsedTimer last;
        QList<quint64> keys; // the waiting messages it stands for
    };
    Burst m_burst;
    // Trouble shown, by key: its id, 0 while the service has not answered yet.
    QHash<QString, uint> m_trouble;
    // Trouble that ended before its id came back: withdrawn once the id is known.
    QHash<QString, bool> m_withdrawWhenKnown;
    // When each trouble was last shown, and what came again too soon after (summary, body).
    QHash<QString, QElapsedTimer> m_lastRaised;
    QHash<QString, std::pair<QString, QString>> m_deferred;
    std::chrono::milliseconds m_troubleGap = kTroubleGap;
    // Notifications of waiting messages, by id, with the keys of the messages each stands for.
    QHash<uint, QList<quint64>> m_waitingNotes;
    std::function<bool(quint64)> m_stillWaits;
    bool m_listening = false;
};
