// The monitoring's HTTP server against what a network brings: paths and methods it does not
// serve, requests too long or too slow, more connections than it takes.
#include "HttpGet.h"
#include "monitor/HttpServer.h"
#include "monitor/StationFigures.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTest>

#include <vector>

using namespace std::chrono_literals;

class HttpServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString failure
            = m_server.Start("127.0.0.1:0", {"/metrics", "/health"}, [](const QByteArray &path) {
                  return HttpServer::Response{200, "text/plain", "served " + path};
              });
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY(m_server.Port() != 0);
    }

    void eachRequestGetsItsAnswer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        const QByteArray host = "Host: x\r\n\r\n";
        QTest::newRow("get-served")
            << "GET /metrics HTTP/1.1\r\n" + host << 200 << QByteArray("served /metrics");
        QTest::newRow("query-left-out")
            << "GET /health?x=1 HTTP/1.0\r\n" + host << 200 << QByteArray("served /health");
        QTest::newRow("head-has-no-body")
            << "HEAD /metrics HTTP/1.1\r\n" + host << 200 << QByteArray();
        QTest::newRow("path-not-served")
            << "GET /metricsx HTTP/1.1\r\n" + host << 404 << QByteArray("not found\n");
        QTest::newRow("post-to-served")
            << QByteArray("POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nab") << 405
            << QByteArray("only GET and HEAD\n");
        QTest::newRow("delete-not-served")
            << "DELETE /x HTTP/1.1\r\n" + host << 404 << QByteArray("not found\n");
        QTest::newRow("not-http") << QByteArray("hello there\r\n\r\n") << 400
                                  << QByteArray("bad request\n");
        // The request line and headers up to the blank line: 8 KiB exactly is taken.
        const QByteArray line = "GET /health HTTP/1.1\r\n";
        const QByteArray filler = "X-Fill: ";
        const int fits = HttpServer::kMaxHeaderBytes - int(line.size() + filler.size() + 4);
        QTest::newRow("headers-8KiB") << line + filler + QByteArray(fits, 'f') + "\r\n\r\n"
                                      << 200 << QByteArray("served /health");
        QTest::newRow("headers-past-8KiB") << line + filler + QByteArray(fits + 1, 'f') + "\r\n\r\n"
                                           << 431 << QByteArray("request headers past 8 KiB\n");
        QTest::newRow("headers-never-end") << line + QByteArray(64 * 1024, 'f') << 431
                                           << QByteArray("request headers past 8 KiB\n");
    }
    void eachRequestGetsItsAnswer()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        const HttpAnswer answer = Http(m_server.Port(), request);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.body, body);
        if (status == 405)
            QVERIFY(answer.head.contains("\r\nAllow: GET, HEAD"));
    }

    void aRequestNotWholeInTimeGets408()
    {
        const int fd = ConnectLocal(m_server.Port());
        QVERIFY(fd >= 0);
        const QByteArray part = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
        QCOMPARE(::send(fd, part.constData(), size_t(part.size()), MSG_NOSIGNAL),
                 ssize_t(part.size()));
        QElapsedTimer clock;
        clock.start();
        const HttpAnswer answer = ReadAnswer(fd);
        ::close(fd);
        QCOMPARE(answer.status, 408);
        QVERIFY(clock.elapsed() >= HttpServer::kRequestTime.count() - 100);
    }

    void connectionsPastTheCapAreClosedOrTakeAnIdleOnesPlace()
    {
        QTRY_COMPARE(m_server.OpenConnections(), 0);
        std::vector<int> held;
        const auto closeAll = qScopeGuard([&held] {
            for (const int fd : held)
                ::close(fd);
        });
        for (int i = 0; i < HttpServer::kMaxConnections; ++i) {
            held.push_back(ConnectLocal(m_server.Port()));
            QVERIFY(held.back() >= 0);
        }
        QTRY_COMPARE(m_server.OpenConnections(), HttpServer::kMaxConnections);
        // The 65th: taken from the kernel's queue and closed at once, with nothing said.
        const int beyond = ConnectLocal(m_server.Port());
        QVERIFY(beyond >= 0);
        char byte = 0;
        QCOMPARE(::recv(beyond, &byte, 1, 0), ssize_t(0));
        ::close(beyond);
        QCOMPARE(m_server.OpenConnections(), HttpServer::kMaxConnections);
        // Once the held ones have idled a while, a scrape takes the oldest's place, and the
        // others are still served.
        QTRY_COMPARE(HttpGet(m_server.Port(), "/health").status, 200);
        QCOMPARE(::recv(held.front(), &byte, 1, 0), ssize_t(0));
        const QByteArray request = "GET /health HTTP/1.1\r\n\r\n";
        ::send(held.back(), request.constData(), size_t(request.size()), MSG_NOSIGNAL);
        QCOMPARE(ReadAnswer(held.back()).status, 200);
    }

    // The reasons /health gives: from the lines' and the journal's states, each once, whether
    // or not a trouble of its kind was begun for it.
    void healthSaysWhyFromTheStatesAndTheTroubles_data()
    {
        QTest::addColumn<QByteArray>("inputState");
        QTest::addColumn<QByteArray>("journalState");
        QTest::addColumn<QByteArray>("trouble");
        QTest::addColumn<double>("windowSilent");
        QTest::addColumn<QStringList>("reasons");
        QTest::newRow("well") << QByteArray("up") << QByteArray("writing") << QByteArray() << 4.9
                              << QStringList();
        QTest::newRow("reconnecting")
            << QByteArray("reconnecting") << QByteArray("off") << QByteArray() << 0.0
            << QStringList{"the input line COM2 is not open and reading (reconnecting)"};
        QTest::newRow("silent-without-trouble")
            << QByteArray("silent") << QByteArray("writing") << QByteArray() << 0.0
            << QStringList{"the input line COM2 is silent"};
        QTest::newRow("silent-with-trouble")
            << QByteArray("silent") << QByteArray("writing") << QByteArray("silence") << 0.0
            << QStringList{"silence: said"};
        QTest::newRow("journal-stopped")
            << QByteArray("up") << QByteArray("stopped") << QByteArray() << 0.0
            << QStringList{"the journal is not being written"};
        QTest::newRow("window-held")
            << QByteArray("up") << QByteArray("writing") << QByteArray() << 5.1
            << QStringList{"the window's thread has not answered for 5 s"};
    }
    void healthSaysWhyFromTheStatesAndTheTroubles()
    {
        QFETCH(QByteArray, inputState);
        QFETCH(QByteArray, journalState);
        QFETCH(QByteArray, trouble);
        QFETCH(double, windowSilent);
        QFETCH(QStringList, reasons);
        StationFigures figures;
        figures.input = {"input", 2, inputState};
        figures.output = {"output", 1, "off"};
        figures.inputReading = inputState == "up" || inputState == "silent";
        figures.journalState = journalState;
        if (!trouble.isEmpty())
            figures.troubles.append({trouble, "said"});
        figures.windowSilentSeconds = windowSilent;
        const HealthReport health = Health(figures);
        const QJsonObject body = QJsonDocument::fromJson(health.json).object();
        QCOMPARE(health.healthy, reasons.isEmpty());
        QCOMPARE(body.value("status").toString(), reasons.isEmpty() ? "ok" : "failing");
        QCOMPARE(body.value("reasons").toVariant().toStringList(), reasons);
    }

private:
    HttpServer m_server;
};

QTEST_APPLESS_MAIN(HttpServerTest)
#include "tst_httpserver.moc"
