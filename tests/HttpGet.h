#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A blocking HTTP client of the plainest kind, for the tests of the monitoring: sends
// `request` as it is to 127.0.0.1:`port` and reads the answer until the server closes, at most
// a few seconds.
struct HttpAnswer
{
    int status = 0; // 0: no answer
    QByteArray head;
    QByteArray body;
};

inline int ConnectLocal(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval patience{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline HttpAnswer ReadAnswer(int fd)
{
    QByteArray all;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        all.append(buffer, got);
    }
    HttpAnswer answer;
    const qsizetype end = all.indexOf("\r\n\r\n");
    if (!all.startsWith("HTTP/1.1 ") || end < 0)
        return answer;
    answer.status = all.mid(9, 3).toInt();
    answer.head = all.left(end);
    answer.body = all.mid(end + 4);
    return answer;
}

inline HttpAnswer Http(quint16 port, const QByteArray &request)
{
    const int fd = ConnectLocal(port);
    if (fd < 0)
        return {};
    ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    HttpAnswer answer = ReadAnswer(fd);
    ::close(fd);
    return answer;
}

inline HttpAnswer HttpGet(quint16 port, const QByteArray &path)
{
    return Http(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
}
