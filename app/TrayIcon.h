#pragma once

#include <QObject>
#include <QTimer>

class Notifier;
class QMenu;
class QSystemTrayIcon;

// The station's state where the operator sees it with the window hidden: a tray icon (where
// the desktop has a tray) showing the worse state of the two lines, the status panes' texts as
// its tooltip, and a notification that stays while a line is lost or silent. Looks once a
// second, as the status panes do. GUI thread only.
class TrayIcon : public QObject
{
    Q_OBJECT

public:
    // Ordered from best to worst. Alerts waiting for acknowledgement are no fault of a line,
    // but must not look like all is well either.
    enum class LineHealth { Well, AlertsWaiting, Silent, NotDraining, Reconnecting, NotOpen };

    TrayIcon(Notifier &notifier, QObject *parent = nullptr);
    ~TrayIcon() override;

    LineHealth Worst() const { return m_shown; }

signals:
    // The icon was clicked.
    void Activated();
    // "Acknowledge All" in the icon's menu.
    void AcknowledgeAllRequested();

private:
    void Look();
    void Trouble(const QString &key, bool now, const QString &summary, const QString &back);

    Notifier &m_notifier;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_menu = nullptr; // owned here: a tray icon does not own its menu
    QTimer m_look;
    LineHealth m_shown = LineHealth::Well;
    bool m_iconSet = false;
};
