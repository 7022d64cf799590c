#include "HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// After its answer a connection is read and discarded until the far end closes, for at most
// this long, so that the answer is not lost to a reset for what the client sent past its end.
constexpr std::chrono::milliseconds kLingerTime{1000};
// With every place taken, a connection that has sent no whole request for this long gives its
// place to a new one: a client holding connections open must not lock the monitoring out.
constexpr std::chrono::milliseconds kIdleBeforeEvicted{1000};
// A descriptor that could not be accepted (the process at its limit) waits in the kernel's
// queue; the listening socket is left alone this long rather than polled in a busy loop.
constexpr std::chrono::milliseconds kAcceptPause{100};

QByteArray StatusLine(int status)
{
    switch (status) {
    case 200:
        return "200 OK";
    case 400:
        return "400 Bad Request";
    case 404:
        return "404 Not Found";
    case 405:
        return "405 Method Not Allowed";
    case 408:
        return "408 Request Timeout";
    case 431:
        return "431 Request Header Fields Too Large";
    case 503:
        return "503 Service Unavailable";
    default:
        return QByteArray::number(status);
    }
}

QByteArray Answer(const HttpServer::Response &response, bool withBody)
{
    QByteArray out = "HTTP/1.1 " + StatusLine(response.status) + "\r\n";
    out += "Content-Type: "
           + (response.contentType.isEmpty() ? QByteArray("text/plain; charset=utf-8")
                                             : response.contentType)
           + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (response.status == 405)
        out += "Allow: GET, HEAD\r\n";
    out += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (withBody)
        out += response.body;
    return out;
}

HttpServer::Response Plain(int status, const QByteArray &text)
{
    return {status, {}, text + "\n"};
}

} // namespace

std::optional<ListenAddress> ParseListenAddress(const QString &listen, QString *error)
{
    const QString text = listen.trimmed();
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const uint port = colon >= 0 ? text.mid(colon + 1).toUInt(&portOk) : 0;
    if (colon < 0 || !portOk || port > 65535) {
        *error = QStringLiteral("\"%1\" is not an address and port such as 127.0.0.1:9466")
                     .arg(listen);
        return std::nullopt;
    }
    ListenAddress address;
    address.port = quint16(port);
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
        address.ipv6 = true;
    }
    if (host.isEmpty())
        host = QStringLiteral("0.0.0.0");
    else if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 && !address.ipv6)
        host = QStringLiteral("127.0.0.1");
    address.host = host.toLatin1();
    unsigned char scratch[sizeof(in6_addr)];
    if (inet_pton(address.ipv6 ? AF_INET6 : AF_INET, address.host.constData(), scratch) != 1) {
        *error = QStringLiteral("\"%1\" is not a numeric address").arg(host);
        return std::nullopt;
    }
    return address;
}

HttpServer::HttpServer() = default;

HttpServer::~HttpServer()
{
    Stop();
}

QString HttpServer::Start(const QString &listen, QList<QByteArray> paths, Handler handler)
{
    Stop();
    QString error;
    const std::optional<ListenAddress> address = ParseListenAddress(listen, &error);
    if (!address)
        return error;
    const int family = address->ipv6 ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    const int on = 1;
    // A restarted Alvetra takes its port back at once, past the old connections' TIME_WAIT.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address->ipv6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(address->port);
        inet_pton(AF_INET6, address->host.constData(), &in6->sin6_addr);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(address->port);
        inet_pton(AF_INET, address->host.constData(), &in4->sin_addr);
        length = sizeof *in4;
    }
    if (::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0
        || ::listen(fd, kMaxConnections) != 0) {
        const int cause = errno;
        ::close(fd);
        return QString::fromLocal8Bit(std::strerror(cause));
    }
    length = sizeof storage;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length);
    m_port = ntohs(address->ipv6 ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                                 : reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) {
        const int cause = errno;
        ::close(fd);
        m_port = 0;
        return QString::fromLocal8Bit(std::strerror(cause));
    }
    m_paths = std::move(paths);
    m_handler = std::move(handler);
    m_thread = std::thread([this, fd] { Run(fd, m_wakeFd); });
    return QString();
}

void HttpServer::Stop()
{
    if (!m_thread.joinable())
        return;
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
    m_thread.join();
    ::close(m_wakeFd);
    m_wakeFd = -1;
    m_port = 0;
}

struct HttpServer::Loop
{
    struct Connection
    {
        int fd = -1;
        Clock::time_point accepted;
        Clock::time_point deadline;
        QByteArray in;
        QByteArray out;
        qsizetype sent = 0;
        bool answered = false; // the answer is queued; after it, only lingering
    };

    HttpServer &server;
    std::vector<Connection> connections;

    void Queue(Connection &c, const Response &response, bool withBody)
    {
        c.out = Answer(response, withBody);
        c.answered = true;
        c.deadline = Clock::now() + kRequestTime;
    }

    void OnRequest(Connection &c, qsizetype headerEnd)
    {
        const QByteArray requestLine = c.in.left(c.in.indexOf("\r\n"));
        const QList<QByteArray> parts = requestLine.split(' ');
        if (parts.size() != 3 || !parts[2].startsWith("HTTP/1.") || !parts[1].startsWith('/')) {
            Queue(c, Plain(400, "bad request"), true);
            return;
        }
        Q_UNUSED(headerEnd);
        QByteArray path = parts[1];
        const qsizetype query = path.indexOf('?');
        if (query >= 0)
            path.truncate(query);
        if (!server.m_paths.contains(path)) {
            Queue(c, Plain(404, "not found"), parts[0] != "HEAD");
            return;
        }
        const QByteArray &method = parts[0];
        if (method != "GET" && method != "HEAD") {
            Queue(c, Plain(405, "only GET and HEAD"), true);
            return;
        }
        Queue(c, server.m_handler(path), method == "GET");
    }

    // Reads what has come; false once the connection is to be closed.
    bool Read(Connection &c)
    {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (got == 0)
                return false;
            if (got < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            if (c.answered)
                continue; // lingering: what comes after the answer is dropped
            const qsizetype searchFrom = std::max<qsizetype>(0, c.in.size() - 3);
            c.in.append(buffer, std::min<qsizetype>(got, kMaxHeaderBytes + 1 - c.in.size()));
            const qsizetype end = c.in.indexOf("\r\n\r\n", searchFrom);
            if (end >= 0 && end + 4 <= kMaxHeaderBytes) {
                OnRequest(c, end);
                c.in.clear();
                return Write(c);
            }
            if (c.in.size() > kMaxHeaderBytes) {
                Queue(c, Plain(431, "request headers past 8 KiB"), true);
                c.in.clear();
                return Write(c);
            }
        }
    }

    // Sends what is queued; once it has all gone, no more is sent, and the far end's close is
    // awaited for a moment.
    bool Write(Connection &c)
    {
        while (c.sent < c.out.size()) {
            const ssize_t put = ::send(c.fd, c.out.constData() + c.sent,
                                       size_t(c.out.size() - c.sent), MSG_NOSIGNAL);
            if (put < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            c.sent += put;
        }
        if (c.answered && c.sent == c.out.size() && !c.out.isEmpty()) {
            ::shutdown(c.fd, SHUT_WR);
            c.out.clear();
            c.sent = 0;
            c.deadline = std::min(c.deadline, Clock::now() + kLingerTime);
        }
        return true;
    }

    void Close(Connection &c)
    {
        ::close(c.fd);
        c.fd = -1;
    }
};

void HttpServer::Run(int listenFd, int wakeFd)
{
    Loop loop{*this, {}};
    loop.connections.reserve(kMaxConnections);
    Clock::time_point acceptPausedUntil;
    std::vector<pollfd> polled;
    for (;;) {
        const Clock::time_point now = Clock::now();
        // Connections whose time is up: an answer not yet begun becomes 408; one answered goes.
        for (Loop::Connection &c : loop.connections) {
            if (now < c.deadline)
                continue;
            if (!c.answered) {
                loop.Queue(c, Plain(408, "the request did not arrive whole in 5 s"), true);
                if (!loop.Write(c))
                    loop.Close(c);
                // A client that does not read its answer gets no more time than one that never
                // sent its request.
                c.deadline = now + kLingerTime;
            } else {
                loop.Close(c);
            }
        }
        std::erase_if(loop.connections, [](const Loop::Connection &c) { return c.fd < 0; });
        m_open.store(int(loop.connections.size()), std::memory_order_relaxed);

        Clock::time_point next = now + std::chrono::hours(1);
        for (const Loop::Connection &c : loop.connections)
            next = std::min(next, c.deadline);
        const bool acceptPaused = now < acceptPausedUntil;
        if (acceptPaused)
            next = std::min(next, acceptPausedUntil);
        polled.clear();
        polled.push_back({wakeFd, POLLIN, 0});
        polled.push_back({listenFd, short(acceptPaused ? 0 : POLLIN), 0});
        for (const Loop::Connection &c : loop.connections)
            polled.push_back({c.fd, short(POLLIN | (c.sent < c.out.size() ? POLLOUT : 0)), 0});
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        const int ready
            = ::poll(polled.data(), polled.size(), int(std::max<qint64>(wait.count(), 0)));
        if (ready < 0 && errno != EINTR)
            break;
        if (polled[0].revents != 0)
            break;
        // The connections first: those just accepted below have no word of their own yet.
        for (size_t i = 0; i < loop.connections.size(); ++i) {
            Loop::Connection &c = loop.connections[i];
            const short events = polled[i + 2].revents;
            if (events == 0)
                continue;
            bool keep = true;
            if (events & (POLLIN | POLLHUP | POLLERR))
                keep = loop.Read(c);
            if (keep && (events & POLLOUT))
                keep = loop.Write(c);
            if (!keep)
                loop.Close(c);
        }
        if (polled[1].revents & POLLIN) {
            for (;;) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                        acceptPausedUntil = Clock::now() + kAcceptPause;
                    break;
                }
                const Clock::time_point acceptedAt = Clock::now();
                const auto open
                    = std::count_if(loop.connections.begin(), loop.connections.end(),
                                    [](const Loop::Connection &c) { return c.fd >= 0; });
                if (open >= kMaxConnections) {
                    Loop::Connection *oldest = nullptr;
                    for (Loop::Connection &c : loop.connections)
                        if (c.fd >= 0 && !c.answered && (!oldest || c.accepted < oldest->accepted))
                            oldest = &c;
                    if (!oldest || acceptedAt - oldest->accepted < kIdleBeforeEvicted) {
                        ::close(fd);
                        continue;
                    }
                    loop.Close(*oldest);
                }
                Loop::Connection c;
                c.fd = fd;
                c.accepted = acceptedAt;
                c.deadline = acceptedAt + kRequestTime;
                loop.connections.push_back(std::move(c));
            }
        }
    }
    for (Loop::Connection &c : loop.connections)
        if (c.fd >= 0)
            loop.Close(c);
    m_open.store(0, std::memory_order_relaxed);
    ::close(listenFd);
}
