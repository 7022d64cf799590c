#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGHUP and SIGINT (logout, `systemctl stop`, Ctrl+C) into a signal on the
// window's thread, so the program can end as closing the window does instead of dying on the
// spot with its ports' lock files left behind. The handler itself only writes the signal's
// number into a socket pair: nothing else is safe inside a handler. A second SIGTERM or SIGINT
// after one of these two ends the program at once, killed by that signal: the orderly end it
// interrupts has hung. Created and used on the window's thread; one at a time.
class SignalHandler : public QObject
{
    Q_OBJECT

public:
    explicit SignalHandler(QObject *parent = nullptr);
    // Gives the three signals back to their default action.
    ~SignalHandler() override;

    // False when the socket pair or a handler could not be set up; the signals then keep
    // their default action.
    bool IsInstalled() const { return m_notifier != nullptr; }

signals:
    // On the window's thread, once per signal taken.
    void EndRequested(int signalNumber);

private:
    void OnReadable();

    int m_sockets[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
