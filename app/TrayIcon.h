#pragma once

#include <QObject>
#include <QTimer>

class Notifier;
class QSystemTrayIcon;

// The station's state where the operator sees it with the window hidden: a tray icon (where
// the desktop has a tray) showing the worse state of the two lines, the status panes' texts as
// its tooltip, and a notification that stays while a line is lost or silent. Looks once a
// second, as the status panes do. GUI thread only.
class TrayIcon : public QObject
{
    Q_OBJECT

public:
    // Ordered from best to worst.
    enum class LineHealth { Well, Silent, NotDraining, Reconnecting, NotOpen };

    TrayIcon(Notifier &notifier, QObject *parent = nullptr);
    ~TrayIcon() override;

    LineHealth Worst() const { return m_shown; }

signals:
    // The icon was clicked.
    void Activated();

private:
    void Look();
    void Trouble(const QString &key, bool now, const QString &summary, const QString &back);

    Notifier &m_notifier;
    QSystemTrayIcon *m_tray = nullptr;
    QTimer m_look;
    LineHealth m_shown = LineHealth::Well;
    bool m_iconSet = false;
};
