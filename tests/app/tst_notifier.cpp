// Desktop notifications over a real session bus, to a notification server of the test's own
// that records what it is sent.
#include "NotificationServer.h"
#include "app/Notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QTest>

class NotifierTest : public QObject
{
    Q_OBJECT

    NotificationServer m_server;

private slots:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("No session bus: run the tests under dbus-run-session, as test.sh does");
        QVERIFY(m_server.Register());
    }

    void init() { m_server.m_sent.clear(); }

    void aBurstOfPassedMessagesUpdatesOneNotificationWithACount()
    {
        Notifier notifier;
        for (int i = 1; i <= 3; ++i)
            notifier.OnPassedMessage("10001a0-l9", "Storm warning " + QByteArray::number(i));
        QTRY_VERIFY(!m_server.m_sent.isEmpty()
                    && m_server.m_sent.last().summary == "3 alert messages passed");
        const QList<Sent> sent = m_server.m_sent;
        // The first answer is awaited, so the burst needs no more than an update behind it.
        QVERIFY(sent.size() <= 3);
        QCOMPARE(sent.first().replacesId, 0u);
        QCOMPARE(sent.first().summary, QString("Alert message passed"));
        QCOMPARE(sent.first().body, QString("Storm warning 1\nRegion 0-, source l"));
        for (const Sent &update : sent.sliced(1))
            QCOMPARE(update.replacesId, sent.first().id);
        QCOMPARE(sent.last().body, QString("Storm warning 3\nRegion 0-, source l"));
    }

    void aLostLineStaysUntilItIsBackAndThenSaysSo_data()
    {
        QTest::addColumn<bool>("backBeforeTheAnswer");
        QTest::newRow("back-after-the-id-came") << false;
        QTest::newRow("back-before-the-id-came") << true;
    }

    void aLostLineStaysUntilItIsBackAndThenSaysSo()
    {
        QFETCH(bool, backBeforeTheAnswer);
        Notifier notifier;
        notifier.RaiseTrouble("input-lost", "The input line (com2) is lost", {});
        notifier.RaiseTrouble("input-lost", "The input line (com2) is lost", {});
        if (!backBeforeTheAnswer)
            QTRY_COMPARE(m_server.m_sent.size(), 1);
        notifier.ClearTrouble("input-lost", "The input line (com2) is back");
        QTRY_COMPARE(m_server.m_sent.size(), 3);
        const Sent lost = m_server.m_sent.first();
        QCOMPARE(lost.summary, QString("The input line (com2) is lost"));
        QCOMPARE(lost.expireMs, 0);
        QStringList rest;
        for (const Sent &sent : m_server.m_sent.sliced(1))
            rest << sent.method + ' '
                        + (sent.method == "Notify" ? sent.summary : QString::number(sent.id));
        rest.sort();
        QCOMPARE(rest, (QStringList{"CloseNotification " + QString::number(lost.id),
                                    "Notify The input line (com2) is back"}));
        for (const Sent &sent : m_server.m_sent.sliced(1))
            QVERIFY(sent.method != "Notify" || sent.expireMs != 0);
    }

    void aFlappingLineGivesOneLastingNotificationAGap()
    {
        Notifier notifier;
        notifier.SetTroubleGap(std::chrono::milliseconds(1500));
        QElapsedTimer clock;
        clock.start();
        for (int flap = 0; flap < 5; ++flap) {
            notifier.RaiseTrouble("input-lost", "The input line (com2) is lost", {});
            notifier.ClearTrouble("input-lost", "The input line (com2) is back");
        }
        notifier.RaiseTrouble("input-lost", "The input line (com2) is lost", {});
        const auto count = [this](const QString &summary, bool lasting) {
            return int(std::count_if(
                m_server.m_sent.begin(), m_server.m_sent.end(), [&](const Sent &sent) {
                    return sent.summary == summary && (sent.expireMs == 0) == lasting;
                }));
        };
        // Lost at the end: shown again, once the gap has passed.
        QTRY_COMPARE_WITH_TIMEOUT(count("The input line (com2) is lost", true), 2, 10000);
        QVERIFY(clock.elapsed() >= 1500);
        QCOMPARE(count("The input line (com2) is back", false), 1);
    }
};

QTEST_GUILESS_MAIN(NotifierTest)
#include "tst_notifier.moc"
