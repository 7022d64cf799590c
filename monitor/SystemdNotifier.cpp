#include "SystemdNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

bool SystemdNotifier::Wanted()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

SystemdNotifier::SystemdNotifier(std::vector<Proof> proofs)
    : m_proofs(std::move(proofs))
    , m_seen(m_proofs.size())
{
    uint64_t usec = 0;
    // Also checks WATCHDOG_PID: a child started with our environment pings for nobody.
    if (sd_watchdog_enabled(0, &usec) > 0)
        m_watchdog = std::chrono::microseconds(usec);
    for (size_t i = 0; i < m_proofs.size(); ++i)
        m_seen[i] = m_proofs[i]();
    m_thread = std::thread([this] { Run(); });
}

SystemdNotifier::~SystemdNotifier()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void SystemdNotifier::Ready()
{
    Queue("READY=1");
}

void SystemdNotifier::Status(const QString &text)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    {
        std::lock_guard lock(m_mutex);
        if (line == m_status)
            return;
        m_status = line;
    }
    Queue("STATUS=" + line.toUtf8());
}

void SystemdNotifier::Stopping()
{
    Queue("STOPPING=1");
}

void SystemdNotifier::Queue(QByteArray message)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(message));
    }
    m_wake.notify_one();
}

void SystemdNotifier::Send(const QByteArray &message)
{
    sd_notify(0, message.constData());
}

void SystemdNotifier::Run()
{
    using Clock = std::chrono::steady_clock;
    // Half the watchdog's time, as systemd advises: a held thread misses at most one look
    // before the pings stop, so they stop within the watchdog's time.
    const auto look = std::chrono::duration_cast<Clock::duration>(m_watchdog / 2);
    Clock::time_point nextLook = Clock::now() + look;
    std::unique_lock lock(m_mutex);
    for (;;) {
        while (!m_queue.empty()) {
            const QByteArray message = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            Send(message);
            lock.lock();
        }
        if (m_stop)
            return;
        if (m_watchdog.count() <= 0) {
            m_wake.wait(lock);
            continue;
        }
        if (m_wake.wait_until(lock, nextLook) == std::cv_status::no_timeout
            && Clock::now() < nextLook)
            continue;
        nextLook = Clock::now() + look;
        lock.unlock();
        bool allTurned = true;
        for (size_t i = 0; i < m_proofs.size(); ++i) {
            const std::optional<quint64> now = m_proofs[i]();
            // A thread that began to run since the last look has turned by beginning.
            if (now && m_seen[i] && *now == *m_seen[i])
                allTurned = false;
            m_seen[i] = now;
        }
        if (allTurned)
            Send("WATCHDOG=1");
        lock.lock();
    }
}
