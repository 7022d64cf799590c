#pragma once

// A freedesktop notification server of the test's own on the session bus: it records what it
// is sent and can use a notification's action as a person at the desktop would.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

struct Sent
{
    QString method;
    uint replacesId = 0;
    QString summary;
    QString body;
    int expireMs = 0;
    uint id = 0;
    QStringList actions;
    int urgency = -1;
};

class NotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<Sent> m_sent;

    // Registers the server on a connection of its own, so the calls really cross the bus.
    bool Register()
    {
        m_bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "server");
        return m_bus.registerObject("/org/freedesktop/Notifications", this,
                                    QDBusConnection::ExportAllSlots)
               && m_bus.registerService("org.freedesktop.Notifications");
    }

    // The user clicks the action `key` of the notification `id`.
    bool Invoke(uint id, const QString &key)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
        signal << id << key;
        return m_bus.send(signal);
    }

public slots:
    uint Notify(const QString &,
                uint replacesId,
                const QString &,
                const QString &summary,
                const QString &body,
                const QStringList &actions,
                const QVariantMap &hints,
                int expireMs)
    {
        const uint id = replacesId != 0 ? replacesId : ++m_lastId;
        m_sent.append({"Notify", replacesId, summary, body, expireMs, id, actions,
                       hints.value("urgency", -1).toInt()});
        return id;
    }
    void CloseNotification(uint id)
    {
        m_sent.append({"CloseNotification", 0, {}, {}, 0, id, {}, -1});
    }
    QStringList GetCapabilities() { return {"body", "actions"}; }

private:
    QDBusConnection m_bus{QString()};
    uint m_lastId = 40;
};
