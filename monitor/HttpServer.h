#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

// A small HTTP/1.1 server for the station's monitoring, on a thread of its own: it answers GET
// and HEAD for the few paths it is given and closes each connection after its answer. It keeps
// limits of its own, since what a network brings is not to be trusted: at most
// kMaxConnections at once (one beyond is accepted and closed at once, so that a flood neither
// waits in the kernel's queue nor takes the program's descriptors; but where the oldest has
// idled a second without a whole request, that one goes instead, so that a client holding
// connections open cannot lock a scrape out), kRequestTime for a request to arrive whole,
// kMaxHeaderBytes of request line and headers. The handler runs on the
// server's thread, so it must read only what other threads keep current for it, never ask them.
class HttpServer
{
public:
    static constexpr int kMaxConnections = 64;
    static constexpr std::chrono::milliseconds kRequestTime{5000};
    static constexpr int kMaxHeaderBytes = 8 * 1024;

    struct Response
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
    };
    // Called with a path the server was given (without its query); server thread.
    using Handler = std::function<Response(const QByteArray &path)>;

    HttpServer();
    // Stops the thread and closes every connection.
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Listens on `listen` ("127.0.0.1:9466", "0.0.0.0:9466", "[::1]:9466", "localhost:9466";
    // port 0 takes a free one) and serves `paths` with `handler`. Empty once listening; else
    // why not, and nothing runs. Calling it again first stops what ran. Numeric addresses only
    // (and "localhost"): a name looked up could hold the caller.
    QString Start(const QString &listen, QList<QByteArray> paths, Handler handler);
    void Stop();
    bool IsListening() const { return m_thread.joinable(); }
    // The port listened on, 0 while not listening.
    quint16 Port() const { return m_port; }
    // Connections open now; any thread.
    int OpenConnections() const { return m_open.load(std::memory_order_relaxed); }

private:
    struct Loop;
    void Run(int listenFd, int wakeFd);

    std::thread m_thread;
    int m_wakeFd = -1;
    quint16 m_port = 0;
    QList<QByteArray> m_paths;
    Handler m_handler;
    std::atomic<int> m_open{0};
};

// Parses "host:port" as HttpServer::Start takes it; nullopt with `error` set when it cannot.
struct ListenAddress
{
    QByteArray host; // numeric
    bool ipv6 = false;
    quint16 port = 0;
};
std::optional<ListenAddress> ParseListenAddress(const QString &listen, QString *error);
