#include "receiver/EdisMessage.h"
#include "settings/FilterSettings.h"

#include <QTest>

Q_DECLARE_METATYPE(MessageVerdict)

namespace {

// A file brought zero bytes into the letters; the judge must still refuse them.
FilterSettings Criteria(int anySource)
{
    FilterSettings settings;
    settings.m_handling = QByteArray("ea\0", 3);
    settings.m_regions = {"2a", "0-"};
    settings.m_sources = QByteArray("lw\0", 3);
    settings.m_anySource = anySource;
    return settings;
}

// The 33-byte message: header 12345e2al9, headline Quake, body Body, trailer 0930.
const QByteArray kWorkedExample("12345\x1f"
                                "e2al9\x02Quake\rmnopqBody\x03"
                                "0930\x04");

// The whole literal, zero bytes included.
template<qsizetype N>
QByteArray Raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class EdisMessageTest : public QObject
{
    Q_OBJECT

private slots:
    void theWorkedExamplePassesAndIsCutIntoItsParts()
    {
        QCOMPARE(kWorkedExample.size(), 33);
        const Judgement judgement = JudgeMessage(kWorkedExample, Criteria(0));
        QCOMPARE(judgement.m_verdict, MessageVerdict::Passed);
        const EdisMessage &message = judgement.m_message;
        QCOMPARE(message.m_header, QByteArray("12345e2al9"));
        QCOMPARE(message.m_headline, QByteArray("Quake"));
        QCOMPARE(message.m_body, QByteArray("Body"));
        QCOMPARE(message.m_trailer, QByteArray("0930"));
        QCOMPARE(message.m_outputText.size(), 50);
        QCOMPARE(message.m_outputText, QByteArray("\r\n\nT\r\n\n\x16\x16\x01") + kWorkedExample
                                           + QByteArray("\r\n\n\f\r\n\n"));
    }

    void eachMessageIsJudgedByItsHeaderThenCut_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("anySource");
        QTest::addColumn<MessageVerdict>("verdict");
        QTest::addColumn<QByteArray>("warning");
        // Passed: header, headline, body and trailer joined by '|'.
        QTest::addColumn<QByteArray>("parts");

        const auto passed = [](const char *name, const QByteArray &message, int anySource,
                               const QByteArray &parts) {
            QTest::newRow(name) << message << anySource << MessageVerdict::Passed << QByteArray()
                                << parts;
        };
        const auto silent = [](const char *name, const QByteArray &message, int anySource) {
            QTest::newRow(name) << message << anySource << MessageVerdict::Filtered << QByteArray()
                                << QByteArray();
        };
        const auto warned
            = [](const char *name, const QByteArray &message, int anySource, const char *warning) {
                  QTest::newRow(name) << message << anySource << MessageVerdict::Malformed
                                      << QByteArray(warning) << QByteArray();
              };
        const QByteArray text("\x02Quake\rmnopqBody\x03"
                              "0930\x04");

        // Finding the header.
        warned("only-eot", "\x04", 0, "Could not find TFI delimiter in message. Dicarding");
        warned("no-tfi", "12345" + text, 0, "Could not find TFI delimiter in message. Dicarding");
        warned("tfi-fourth-to-last",
               "12345\x1f"
               "e2\x04",
               1, "Message too short. Cannot find EDIS header. Dicarding");
        silent("tfi-fifth-to-last-eot-is-the-source",
               "12345\x1f"
               "e2a\x04",
               0);
        warned("tfi-fifth-to-last-any-source",
               "12345\x1f"
               "e2a\x04",
               1, "Could not find STX delimiter in message. Dicarding");

        // The filter, in the order handling, region, source; a failure never warns.
        silent("handling-not-allowed-and-no-stx",
               "12345\x1f"
               "b2al9\x04",
               0);
        silent("region-case-differs",
               "12345\x1f"
               "e2Al9"
                   + text,
               0);
        silent("region-only-statewide-allowed",
               "12345\x1f"
               "e1al9"
                   + text,
               0);
        silent("source-not-allowed-and-no-cr",
               "12345\x1f"
               "e2ac9\x02Quake\x04",
               0);
        passed("any-source-takes-any-letter",
               "12345\x1f"
               "a0-z9"
                   + text,
               1, "12345a0-z9|Quake|Body|0930");
        silent("zero-byte-handling",
               Raw("12345\x1f\0"
                   "2al9")
                   + text,
               0);
        silent("zero-byte-source",
               Raw("12345\x1f"
                   "e2a\0"
                   "9")
                   + text,
               0);
        passed("zero-byte-source-any-source",
               Raw("12345\x1f"
                   "e2a\0"
                   "9")
                   + text,
               1,
               Raw("12345e2a\0"
                   "9|Quake|Body|0930"));

        // Cutting a passed message.
        warned("no-stx",
               "12345\x1f"
               "e2al9Quake\rmnopqBody\x03\x04",
               0, "Could not find STX delimiter in message. Dicarding");
        warned("cr-only-before-stx",
               "1\r345\x1f"
               "e2al9\x02QuakeBody\x03\x04",
               0, "Could not find CR Headline delimiter in message. Dicarding");
        warned("etx-within-five-after-cr",
               "12345\x1f"
               "e2al9\x02Quake\rmn\x03pqBody\x04",
               0, "Could not find ETX delimiter in message. Dicarding");
        warned("message-ends-within-five-after-cr",
               "12345\x1f"
               "e2al9\x02Quake\rmn\x04",
               0, "Could not find ETX delimiter in message. Dicarding");
        passed("etx-within-five-then-a-later-one",
               "12345\x1f"
               "e2al9\x02Quake\rmn\x03pqBody\x03"
               "0930\x04",
               0, "12345e2al9|Quake|Body|0930");
        passed("stx-right-before-cr",
               "12345\x1f"
               "e2al9\x02\rmnopqBody\x03"
               "0930\x04",
               0, "12345e2al9||Body|0930");
        passed("etx-six-after-cr",
               "12345\x1f"
               "e2al9\x02Quake\rmnopq\x03"
               "0930\x04",
               0, "12345e2al9|Quake||0930");
        passed("etx-right-before-eot",
               "12345\x1f"
               "e2al9\x02Quake\rmnopqBody\x03\x04",
               0, "12345e2al9|Quake|Body|");
        passed("second-tfi-in-body",
               "12345\x1f"
               "e2al9\x02Quake\rmnopqBo\x1f"
               "b1bc9dy\x03"
               "0930\x04",
               0,
               "12345e2al9|Quake|Bo\x1f"
               "b1bc9dy|0930");
        // STX and its texts before the TFI, which is the fifth-to-last byte: the header's
        // second half is cut to four bytes and the trailer runs to the closing EOT.
        passed("stx-before-tfi",
               "\x02H\rabcdeB\x03\x1f"
               "e2a\x04",
               1,
               "\x02H\rabe2a\x04|H|B|\x1f"
               "e2a");
        passed("zero-bytes-are-ordinary-bytes",
               Raw("\0\0\0\0\0\x1f"
                   "e2al9\x02Qu\0ke\rmn\0pqBo\0dy\x03"
                   "09\0"
                   "0\x04"),
               0,
               Raw("\0\0\0\0\0e2al9|Qu\0ke|Bo\0dy|09\0"
                   "0"));
    }

    void eachMessageIsJudgedByItsHeaderThenCut()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, anySource);
        QFETCH(MessageVerdict, verdict);
        QFETCH(QByteArray, warning);
        QFETCH(QByteArray, parts);

        const Judgement judgement = JudgeMessage(message, Criteria(anySource));
        QCOMPARE(judgement.m_verdict, verdict);
        QCOMPARE(QByteArray(judgement.m_warning), warning);
        if (verdict != MessageVerdict::Passed)
            return;
        const EdisMessage &cut = judgement.m_message;
        QCOMPARE(cut.m_header + '|' + cut.m_headline + '|' + cut.m_body + '|' + cut.m_trailer,
                 parts);
        QCOMPARE(cut.m_outputText.size(), message.size() + 17);
        QCOMPARE(cut.m_outputText.sliced(10, message.size()), message);
    }
};

QTEST_APPLESS_MAIN(EdisMessageTest)
#include "tst_edismessage.moc"
