#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Alvetra's word to systemd, under a unit of Type=notify: READY, a STATUS line, STOPPING, and
// the watchdog's pings. Sent from a thread of its own, so the window's thread never waits on
// the socket. A ping goes only when every proof has turned since the look before: a timer of
// this thread alone would ping for a program whose window hangs. Without NOTIFY_SOCKET in the
// environment (the autostart entry, a terminal) Wanted() is false and nothing is made.
// Public functions: any thread.
class SystemdNotifier
{
public:
    // A count the watched thread moves as it turns, or nullopt while that thread does not run
    // (a port with no line): it is then not waited for.
    using Proof = std::function<std::optional<quint64>()>;

    static bool Wanted();

    explicit SystemdNotifier(std::vector<Proof> proofs);
    // Sends what is queued, then ends the thread.
    ~SystemdNotifier();
    SystemdNotifier(const SystemdNotifier &) = delete;
    SystemdNotifier &operator=(const SystemdNotifier &) = delete;

    // The watchdog's time systemd gave (WATCHDOG_USEC), zero for none.
    std::chrono::microseconds WatchdogTime() const { return m_watchdog; }

    void Ready();
    // One line; sent only when it differs from the one before.
    void Status(const QString &text);
    void Stopping();

private:
    void Run();
    void Send(const QByteArray &message);
    void Queue(QByteArray message);

    const std::vector<Proof> m_proofs;
    std::chrono::microseconds m_watchdog{0};
    std::vector<std::optional<quint64>> m_seen;
    QString m_status;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue; // under m_mutex
    bool m_stop = false;            // under m_mutex
    std::thread m_thread;
};
