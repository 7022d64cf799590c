#include "rtf/Cp1252.h"
#include "rtf/RtfReader.h"
#include "rtf/RtfWriter.h"

#include <QTest>

namespace {

QString U(QStringView text)
{
    return text.toString();
}

RtfRun Run(const QString &text,
           int halfPoints,
           RtfColour colour,
           bool bold = false,
           bool underline = false)
{
    RtfRun run;
    run.text = text;
    run.format.face = QStringLiteral("MS Sans Serif");
    run.format.halfPoints = halfPoints;
    run.format.colour = colour;
    run.format.bold = bold;
    run.format.underline = underline;
    return run;
}

RtfDocument OneRun(const QString &text)
{
    RtfDocument document;
    document.paragraphs.append(RtfParagraph{{Run(text, 23, {0, 0, 0})}});
    return document;
}

// The log as the view builds it: an empty first line, then one paragraph per appended line.
RtfDocument LogWithEveryLineStyle()
{
    QByteArray high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += char(b);
    RtfDocument log;
    log.paragraphs.append(RtfParagraph());
    const QList<RtfRun> lines = {
        Run(QStringLiteral("ZCZC headline <b>bold?</b>"), 30, {0, 0, 255}, true, true),
        Run(QStringLiteral("\x1F"
                           "AKB1 header"),
            23, {0, 0, 255}),
        Run(QStringLiteral("trailer {braces} \\backslash\\"), 23, {255, 0, 0}),
        Run(QStringLiteral("body\twith\ttabs ") + DecodeCp1252(high), 23, {0, 0, 0}),
        Run(QStringLiteral("Error:->Could not initialize the input com port (com2)."), 20,
            {255, 0, 0}, true),
        Run(QStringLiteral("Warning:->Message without ETX"), 20, {105, 155, 0}, true),
        Run(QStringLiteral("Handling: A B"), 12, {10, 20, 40}, true),
    };
    for (const RtfRun &line : lines)
        log.paragraphs.append(RtfParagraph{{line}});
    // A message with an empty trailer still leaves its line.
    log.paragraphs.append(RtfParagraph());
    log.paragraphs.append(RtfParagraph{{Run(QStringLiteral("last"), 23, {0, 0, 0})}});
    return log;
}

} // namespace

class RtfWriterTest : public QObject
{
    Q_OBJECT

private slots:
    void aLogWithEveryLineStyleReadsBackUnchanged()
    {
        const RtfDocument log = LogWithEveryLineStyle();
        const QByteArray rtf = WriteRtf(log);
        const std::optional<RtfDocument> back = ReadRtf(rtf);
        QVERIFY(back);
        QCOMPARE(back->paragraphs.size(), log.paragraphs.size());
        for (int i = 0; i < log.paragraphs.size(); ++i)
            QCOMPARE(back->paragraphs.at(i), log.paragraphs.at(i));
    }

    void theFileDeclaresCodePage1252AndItsTables()
    {
        const QByteArray rtf = WriteRtf(LogWithEveryLineStyle());
        QVERIFY(rtf.startsWith("{\\rtf1\\ansi\\ansicpg1252"));
        QVERIFY(rtf.contains("\\uc1"));
        QVERIFY(rtf.contains("{\\fonttbl{\\f0\\fnil\\fcharset0 MS Sans Serif;}}"));
        // Entry 0 is the automatic colour; the log's colours follow in order of first use.
        QVERIFY(rtf.contains("{\\colortbl;\\red0\\green0\\blue255;\\red255\\green0\\blue0;"
                             "\\red0\\green0\\blue0;\\red105\\green155\\blue0;"
                             "\\red10\\green20\\blue40;}"));
        QVERIFY(rtf.contains("\\plain\\f0\\fs30\\cf1\\b\\ul ZCZC"));
        QVERIFY(rtf.endsWith("}\n"));
    }

    void charactersAreEscapedAsTheFormatWants_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("plain-ascii") << QStringLiteral("abc 123") << QByteArray("abc 123");
        QTest::newRow("backslash-and-braces") << QStringLiteral("\\{}") << QByteArray("\\\\\\{\\}");
        QTest::newRow("tab") << QStringLiteral("a\tb") << QByteArray("a\\tab b");
        QTest::newRow("line-break-inside-a-line") << U(u"a\u2028b") << QByteArray("a\\line b");
        QTest::newRow("control-byte") << QStringLiteral("\x01\x1F") << QByteArray("\\'01\\'1f");
        QTest::newRow("delete") << QStringLiteral("\x7F") << QByteArray("\\'7f");
        QTest::newRow("euro-is-0x80") << U(u"\u20AC") << QByteArray("\\'80");
        QTest::newRow("unassigned-0x81-kept") << DecodeCp1252("\x81") << QByteArray("\\'81");
        QTest::newRow("latin-1") << U(u"caf\u00E9\u00FF") << QByteArray("caf\\'e9\\'ff");
        QTest::newRow("outside-the-page") << U(u"\u0416") << QByteArray("\\u1046?");
        QTest::newRow("above-32767-negative") << U(u"\uFB01") << QByteArray("\\u-1279?");
        QTest::newRow("surrogate-pair") << U(u"\U0001F600") << QByteArray("\\u-10179?\\u-8704?");
    }

    void charactersAreEscapedAsTheFormatWants()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, written);
        const QByteArray rtf = WriteRtf(OneRun(text));
        QVERIFY2(rtf.contains(" " + written + "\\par"), rtf.constData());
        const std::optional<RtfDocument> back = ReadRtf(rtf);
        QVERIFY(back);
        QCOMPARE(back->paragraphs.value(0).runs.value(0).text, text);
    }

    void formatsOtherThanTheLogsSurviveTooAndTheAutomaticColourStaysAutomatic()
    {
        RtfDocument document;
        RtfRun italic;
        italic.text = QStringLiteral("italic struck");
        italic.format.face = QStringLiteral("Liberation Serif");
        italic.format.italic = true;
        italic.format.strike = true;
        RtfRun noFace;
        noFace.text = QStringLiteral("default face");
        document.paragraphs.append(RtfParagraph{{italic, noFace}});
        const std::optional<RtfDocument> back = ReadRtf(WriteRtf(document));
        QVERIFY(back);
        QCOMPARE(*back, document);
    }

    void anEmptyLogIsAValidFile()
    {
        const std::optional<RtfDocument> back = ReadRtf(WriteRtf(RtfDocument()));
        QVERIFY(back);
        QCOMPARE(back->paragraphs.size(), 1);
        QVERIFY(back->paragraphs.first().runs.isEmpty());
    }
};

QTEST_APPLESS_MAIN(RtfWriterTest)
#include "tst_rtfwriter.moc"
