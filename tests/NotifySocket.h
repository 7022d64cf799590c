#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

// What systemd would hear, on a datagram socket of the test's own, each with when it came.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        const timeval look{0, 100'000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &look, sizeof look);
        m_reader = std::thread([this] {
            char buffer[4096];
            while (!m_stop) {
                const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
                if (got > 0) {
                    std::lock_guard lock(m_mutex);
                    m_heard.push_back({Clock::now(), QByteArray(buffer, got)});
                }
            }
        });
    }
    ~NotifySocket()
    {
        m_stop = true;
        m_reader.join();
        ::close(m_fd);
    }
    bool IsBound() const { return m_bound; }
    // The times of the messages that begin with `prefix`, from `since` on.
    QList<Clock::time_point> Times(const QByteArray &prefix, Clock::time_point since = {}) const
    {
        std::lock_guard lock(m_mutex);
        QList<Clock::time_point> times;
        for (const auto &[at, message] : m_heard)
            if (at >= since && message.startsWith(prefix))
                times.append(at);
        return times;
    }
    QByteArray Last(const QByteArray &prefix) const
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_heard.rbegin(); it != m_heard.rend(); ++it)
            if (it->second.startsWith(prefix))
                return it->second;
        return {};
    }

private:
    int m_fd = -1;
    bool m_bound = false;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::vector<std::pair<Clock::time_point, QByteArray>> m_heard;
};
