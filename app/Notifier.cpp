#include "Notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>

namespace {

const char kService[] = "org.freedesktop.Notifications";
const char kPath[] = "/org/freedesktop/Notifications";
constexpr uchar kNormal = 1;
constexpr uchar kCritical = 2;
// The service's own default for how long a notification shows.
constexpr int kServiceDefault = -1;
constexpr int kStays = 0;

QDBusMessage Call(const char *method)
{
    return QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                          QLatin1String(kService), QLatin1String(method));
}

} // namespace

Notifier::Notifier(QObject *parent)
    : QObject(parent)
{}

void Notifier::Notify(uint replacesId,
                      const QString &summary,
                      const QString &body,
                      int expireMs,
                      uchar urgency,
                      std::function<void(uint)> onId,
                      const QStringList &actions)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // Listened to only once a notification offers an action: until then the bus is left alone.
    if (!actions.isEmpty() && !m_listening)
        m_listening = bus.connect(QLatin1String(kService), QLatin1String(kPath),
                                  QLatin1String(kService), QStringLiteral("ActionInvoked"), this,
                                  SLOT(OnActionInvoked(uint, QString)));
    QDBusMessage call = Call("Notify");
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(urgency));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("alvetra"));
    call << QStringLiteral("Alvetra") << replacesId << QStringLiteral("alvetra") << summary << body
         << actions << hints << expireMs;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [onId = std::move(onId)](QDBusPendingCallWatcher *finished) {
                const QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (onId)
                    onId(reply.isValid() ? reply.value() : 0);
            });
}

void Notifier::Close(uint id)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || id == 0)
        return;
    QDBusMessage call = Call("CloseNotification");
    call << id;
    bus.asyncCall(call);
}

void Notifier::OnPassedMessage(const QByteArray &header,
                               const QByteArray &headline,
                               quint64 waitingKey)
{
    // The header: five bytes before the TFI, then handling, region (two) and source.
    const QString region = QString::fromLatin1(header.mid(6, 2));
    const QString source = QString::fromLatin1(header.mid(8, 1));
    m_burst.body = QStringLiteral("%1\nRegion %2, source %3")
                       .arg(QString::fromLatin1(headline), region, source);
    if (m_burst.count > 0 && m_burst.last.isValid()
        && m_burst.last.elapsed() < std::chrono::milliseconds(kBurstGap).count())
        ++m_burst.count;
    else
        m_burst = {0, 1, false, false, m_burst.body, {}, {}};
    if (waitingKey != 0)
        m_burst.keys.append(waitingKey);
    m_burst.last.start();
    SendBurst();
}

void Notifier::SendBurst()
{
    if (m_burst.waitingForId) {
        // One update goes out with the latest state once the id is known.
        m_burst.changedMeanwhile = true;
        return;
    }
    const QString summary = m_burst.count == 1
                                ? QStringLiteral("Alert message passed")
                                : QStringLiteral("%1 alert messages passed").arg(m_burst.count);
    m_burst.waitingForId = true;
    const int count = m_burst.count;
    const QList<quint64> keys = m_burst.keys;
    // A message that waits for acknowledgement is not to slip away with the notification.
    const bool waits = !keys.isEmpty();
    // An update stands for the new message at once, though the service has yet to answer it.
    if (waits && m_burst.id != 0)
        m_waitingNotes.insert(m_burst.id, keys);
    const auto onId = [this, count, keys](uint id) {
        if (!keys.isEmpty() && id != 0) {
            m_waitingNotes.insert(id, keys);
            // Acknowledged before the service answered: withdrawn at once.
            WithdrawAcknowledged();
        }
        // A new burst may have begun meanwhile; it starts its own notification.
        if (m_burst.count < count)
            return;
        m_burst.waitingForId = false;
        m_burst.id = id;
        if (m_burst.changedMeanwhile) {
            m_burst.changedMeanwhile = false;
            SendBurst();
        }
    };
    Notify(m_burst.id, summary, m_burst.body, waits ? kStays : kServiceDefault,
           waits ? kCritical : kNormal, onId,
           waits ? QStringList{QStringLiteral("acknowledge"), QStringLiteral("Acknowledge")}
                 : QStringList());
}

void Notifier::WithdrawAcknowledged()
{
    if (!m_stillWaits)
        return;
    for (auto note = m_waitingNotes.begin(); note != m_waitingNotes.end();) {
        if (std::any_of(note->cbegin(), note->cend(), m_stillWaits)) {
            ++note;
            continue;
        }
        Close(note.key());
        // The next message starts a notification of its own rather than bringing this back.
        if (m_burst.id == note.key() && !m_burst.waitingForId)
            m_burst = {};
        note = m_waitingNotes.erase(note);
    }
}

void Notifier::OnActionInvoked(uint id, const QString &action)
{
    if (action != QLatin1String("acknowledge"))
        return;
    const auto note = m_waitingNotes.constFind(id);
    if (note != m_waitingNotes.cend())
        emit AcknowledgeRequested(*note);
}

void Notifier::RaiseTrouble(const QString &key, const QString &summary, const QString &body)
{
    if (m_trouble.contains(key) || m_deferred.contains(key))
        return;
    const auto last = m_lastRaised.constFind(key);
    if (last != m_lastRaised.cend() && last->elapsed() < m_troubleGap.count()) {
        m_deferred.insert(key, {summary, body});
        QTimer::singleShot(m_troubleGap.count() - last->elapsed(), this, [this, key] {
            // Gone again meanwhile, or shown by a timer of an earlier flap.
            if (!m_deferred.contains(key))
                return;
            const auto [deferredSummary, deferredBody] = m_deferred.take(key);
            RaiseTrouble(key, deferredSummary, deferredBody);
        });
        return;
    }
    m_lastRaised[key].start();
    m_trouble.insert(key, 0);
    m_withdrawWhenKnown.remove(key);
    Notify(0, summary, body, kStays, kCritical, [this, key](uint id) {
        if (m_withdrawWhenKnown.take(key)) {
            Close(id);
            return;
        }
        if (m_trouble.contains(key))
            m_trouble[key] = id;
    });
}

void Notifier::ClearTrouble(const QString &key, const QString &summary)
{
    // Never shown, so nothing to withdraw and nothing to say back.
    if (m_deferred.remove(key))
        return;
    if (!m_trouble.contains(key))
        return;
    const uint id = m_trouble.take(key);
    if (id != 0)
        Close(id);
    else
        m_withdrawWhenKnown.insert(key, true);
    Notify(0, summary, QString(), kServiceDefault, kNormal, {});
}
