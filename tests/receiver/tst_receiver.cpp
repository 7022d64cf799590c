#include "AppTest.h"

#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "doors/Doors.h"
#include "receiver/MsgReciever.h"
#include "settings/FilterSettings.h"
#include "settings/GeneralSettings.h"

#include <QFile>
#include <QLoggingCategory>
#include <QTextDocument>

namespace {

QString LogText()
{
    return CAlvetraApp::Instance()->Document()->Document()->toPlainText();
}

// The whole literal, zero bytes included.
template<qsizetype N>
QByteArray Raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class ReceiverTest : public QObject
{
    Q_OBJECT

private:
    QList<QByteArray> m_messages;
    MessageReceiver m_receiver{
        [this](const QByteArray &message, const QDateTime &) { m_messages.append(message); }};

    void Feed(const QByteArray &bytes)
    {
        for (const char c : bytes)
            m_receiver.ProcessChar(static_cast<unsigned char>(c));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WriteEmptyFilterFile());
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        // The chime of a passed message has no sound file beside the test and says so from its
        // own thread, possibly after the test log has closed; that word is not ours to hear.
        QLoggingCategory::setFilterRules(QStringLiteral("default.warning=false"));
        // Only the log is looked at here; the outputs have tests of their own.
        GeneralSettings &general = GetGeneralSettings();
        general.m_sendToFile = 0;
        general.m_sendToPort = 0;
        general.m_sendToPrinter = 0;
    }

    void init() { m_messages.clear(); }

    void theStreamIsCutAtSohAndEot_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<QByteArray>>("messages");

        QTest::newRow("bytes-before-and-between-ignored-eot-included")
            << Raw("ab\x04\x03\x01X\x04"
                   "cd\x04\x04\x01Y\x04z")
            << QList<QByteArray>{"X\x04", "Y\x04"};
        QTest::newRow("second-soh-is-data") << Raw("\x01"
                                                   "A\x01"
                                                   "B\x04")
                                            << QList<QByteArray>{Raw("A\x01"
                                                                     "B\x04")};
        QTest::newRow("soh-eot") << Raw("\x01\x04") << QList<QByteArray>{"\x04"};
        QTest::newRow("back-to-back") << Raw("\x01"
                                             "first\x04\x01"
                                             "second\x04")
                                      << QList<QByteArray>{"first\x04", "second\x04"};
        QTest::newRow("zero-bytes-are-data")
            << Raw("\0\x01\0a\0\x04\0") << QList<QByteArray>{Raw("\0a\0\x04")};
        QTest::newRow("open-message-waits") << Raw("\x01"
                                                   "never closed")
                                            << QList<QByteArray>{};
    }

    void theStreamIsCutAtSohAndEot()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QList<QByteArray>, messages);
        MessageReceiver receiver(
            [this](const QByteArray &message, const QDateTime &) { m_messages.append(message); });
        for (const char c : stream)
            receiver.ProcessChar(static_cast<unsigned char>(c));
        QCOMPARE(m_messages, messages);
    }

    void aMessageDeliveredByteByByteWithOtherWorkBetweenIsFramedTheSame()
    {
        const QByteArray message("12345\x1f"
                                 "e2al9\x02Quake\rmnopqBody\x03"
                                 "0930\x04");
        m_receiver.ProcessChar(0x01);
        for (const char c : message) {
            QCOMPARE(m_messages.size(), 0);
            // Another receiver's traffic and the event loop run between the bytes.
            MessageReceiver other(
                [](const QByteArray &, const QDateTime &) { QFAIL("nothing to frame there"); });
            other.ProcessChar(0x01);
            QCoreApplication::processEvents();
            m_receiver.ProcessChar(static_cast<unsigned char>(c));
        }
        QCOMPARE(m_messages, QList<QByteArray>{message});
    }

    void aMessageAtTheBoundPassesAndOneByteMoreIsDiscardedWithAWarning()
    {
        const qsizetype bound = MessageReceiver::kMaxMessageLength;
        Feed("\x01" + QByteArray(bound - 1, 'x') + "\x04");
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.first().size(), bound);

        const QString before = LogText();
        Feed("\x01" + QByteArray(bound, 'x') + "\x04");
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(LogText(),
                 before
                     + "\nWarning:->Message longer than 1048576 bytes without EOT. Discarding it");

        // Back to waiting for a SOH: the next message is whole.
        Feed("\x01next\x04");
        QCOMPARE(m_messages.last(), QByteArray("next\x04"));
    }

    void theTestFileShowsPassedMessagesAndWarningsAndDropsTheRest()
    {
        FilterSettings &filter = GetFilterSettings();
        filter.m_handling = "e";
        filter.m_regions = {"2a"};
        filter.m_sources = "l";
        filter.m_anySource = 0;

        QFile test("test");
        QVERIFY(test.open(QIODevice::WriteOnly));
        test.write("line noise\x04\r\n"
                   "\x01"
                   "12345\x1f"
                   "e2al9\x02Quake\rmnopqBody\x03"
                   "0930\x04"
                   "more noise\x03\x02"
                   "\x01"
                   "00001\x1f"
                   "b2al9\x02Filtered\rmnopqBody\x03"
                   "1111\x04"
                   "\x01"
                   "00002\x1f"
                   "e2al9 no text\x04"
                   "\x01"
                   "67890\x1f"
                   "e2al0\x02"
                   "Fire\rABCDEWest ridge\x03"
                   "1015\x04"
                   "\x01"
                   "trailing, never closed");
        test.close();

        const QString before = LogText();
        CAlvetraApp::Instance()->View()->OnTestFile();
        QCOMPARE(LogText().mid(before.size()),
                 QString("\nQuake\n12345e2al9\n0930\nBody"
                         "\nWarning:->Could not find STX delimiter in message. Dicarding"
                         "\nFire\n67890e2al0\n1015\nWest ridge"));
    }
};

ALVETRA_APP_TEST_MAIN(ReceiverTest)
#include "tst_receiver.moc"
