#include "settings/FilterFileFormat.h"
#include "settings/FilterSettings.h"
#include "settings/ScrambledFile.h"

#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(FilterStreamResult)

namespace {

// ab / 0- 6c / lw / 0: the store every reader of flt.dat knows.
FilterSettings ExampleStore()
{
    FilterSettings settings;
    settings.m_handling = "ab";
    settings.m_regions = {"0-", "6c"};
    settings.m_sources = "lw";
    return settings;
}

const QByteArray kExampleStream = QByteArray::fromHex("026162"
                                                      "0200"
                                                      "02302d"
                                                      "023663"
                                                      "026c77"
                                                      "00000000");

// A store whose every field differs from what any stream below holds, to see what a failed
// read leaves alone.
FilterSettings PreviousStore()
{
    FilterSettings settings;
    settings.m_handling = "old";
    settings.m_regions = {"9z"};
    settings.m_sources = "old";
    settings.m_anySource = 7;
    return settings;
}

} // namespace

class FilterFileFormatTest : public QObject
{
    Q_OBJECT

private slots:
    void theExampleStoreIsTheEighteenByteStreamBothWays()
    {
        QCOMPARE(EncodeFilterStream(ExampleStore()), kExampleStream);

        FilterSettings read;
        QCOMPARE(DecodeFilterStream(kExampleStream, read), FilterStreamResult::Complete);
        QCOMPARE(read.m_handling, QByteArray("ab"));
        QCOMPARE(read.m_regions, QList<QByteArray>({"0-", "6c"}));
        QCOMPARE(read.m_sources, QByteArray("lw"));
        QCOMPARE(read.m_anySource, 0);
    }

    void theFileHoldsEveryByteScrambledAndReadsBackPlain()
    {
        QByteArray scrambled = kExampleStream;
        for (char &c : scrambled)
            c = char(c ^ 0xA7);

        {
            ScrambledFile file("scrambled.dat");
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(kExampleStream), kExampleStream.size());
        }
        QFile raw("scrambled.dat");
        QVERIFY(raw.open(QIODevice::ReadOnly));
        QCOMPARE(raw.readAll(), scrambled);

        ScrambledFile file("scrambled.dat");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), kExampleStream);

        // Writing scrambles a copy: the caller's bytes stay as they were.
        {
            ScrambledFile save("saved.dat");
            QVERIFY(save.open(QIODevice::WriteOnly));
            const QByteArray plain = kExampleStream;
            save.write(plain.constData(), plain.size());
            QCOMPARE(plain, kExampleStream);
        }
        QFile saved("saved.dat");
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), scrambled);
    }

    void anyContentsAFileMayBringSurviveARoundTrip_data()
    {
        QTest::addColumn<QByteArray>("handling");
        QTest::addColumn<QList<QByteArray>>("regions");
        QTest::addColumn<QByteArray>("sources");
        QTest::addColumn<int>("anySource");

        QTest::newRow("empty-store") << QByteArray() << QList<QByteArray>() << QByteArray() << 0;
        QTest::newRow("any-source-two")
            << QByteArray("e") << QList<QByteArray>{"2a"} << QByteArray() << 2;
        QTest::newRow("any-source-negative")
            << QByteArray() << QList<QByteArray>() << QByteArray("l") << -1;
        QTest::newRow("repeats-and-unknown-codes")
            << QByteArray("aaz") << QList<QByteArray>{"1a", "1a", "9x", "", "abc"}
            << QByteArray("ww?") << 1;
        QTest::newRow("zero-and-high-bytes")
            << QByteArray("a\0\xff", 3) << QList<QByteArray>{QByteArray("\0\0", 2)}
            << QByteArray("\x80", 1) << 0;
    }

    void anyContentsAFileMayBringSurviveARoundTrip()
    {
        QFETCH(QByteArray, handling);
        QFETCH(QList<QByteArray>, regions);
        QFETCH(QByteArray, sources);
        QFETCH(int, anySource);
        FilterSettings written;
        written.m_handling = handling;
        written.m_regions = regions;
        written.m_sources = sources;
        written.m_anySource = anySource;

        FilterSettings read = PreviousStore();
        QCOMPARE(DecodeFilterStream(EncodeFilterStream(written), read),
                 FilterStreamResult::Complete);
        QCOMPARE(read.m_handling, handling);
        QCOMPARE(read.m_regions, regions);
        QCOMPARE(read.m_sources, sources);
        QCOMPARE(read.m_anySource, anySource);
    }

    void eachTextLengthGetsItsPrefixForm_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("prefix");

        QTest::newRow("254-one-byte") << 254 << QByteArray::fromHex("fe");
        QTest::newRow("255-sixteen-bit") << 255 << QByteArray::fromHex("ffff00");
        QTest::newRow("65533-sixteen-bit") << 65533 << QByteArray::fromHex("fffdff");
        QTest::newRow("65534-thirty-two-bit") << 65534 << QByteArray::fromHex("ffffff feff0000");
    }

    void eachTextLengthGetsItsPrefixForm()
    {
        QFETCH(int, length);
        QFETCH(QByteArray, prefix);
        FilterSettings written;
        written.m_sources = QByteArray(length, 'w');

        const QByteArray stream = EncodeFilterStream(written);
        // m_handling (empty) and the count come first.
        QCOMPARE(stream.mid(3, prefix.size()), prefix);
        QCOMPARE(stream.size(), 3 + prefix.size() + length + 4);

        FilterSettings read;
        QCOMPARE(DecodeFilterStream(stream, read), FilterStreamResult::Complete);
        QCOMPARE(read.m_sources, written.m_sources);
    }

    void theRegionCountWidensFrom65535On_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("prefix");

        QTest::newRow("65534-sixteen-bit") << 65534 << QByteArray::fromHex("feff");
        QTest::newRow("65535-thirty-two-bit") << 65535 << QByteArray::fromHex("ffff ffff0000");
    }

    void theRegionCountWidensFrom65535On()
    {
        QFETCH(int, count);
        QFETCH(QByteArray, prefix);
        FilterSettings written;
        written.m_regions = QList<QByteArray>(count, "1a");

        const QByteArray stream = EncodeFilterStream(written);
        QCOMPARE(stream.mid(1, prefix.size()), prefix);

        FilterSettings read;
        QCOMPARE(DecodeFilterStream(stream, read), FilterStreamResult::Complete);
        QCOMPARE(read.m_regions.size(), count);
        QCOMPARE(read.m_regions.last(), QByteArray("1a"));
    }

    void textsIn16BitCharactersAreReadAs8BitText_data()
    {
        QTest::addColumn<QByteArray>("handlingField");
        QTest::addColumn<FilterStreamResult>("result");
        QTest::addColumn<QByteArray>("handling");

        QTest::newRow("short-prefix") << QByteArray::fromHex("fffeff 02 6100 6200")
                                      << FilterStreamResult::Complete << QByteArray("ab");
        QTest::newRow("sixteen-bit-prefix") << QByteArray::fromHex("fffeff ff0200 6300 6400")
                                            << FilterStreamResult::Complete << QByteArray("cd");
        QTest::newRow("thirty-two-bit-prefix") << QByteArray::fromHex("fffeff ffffff 01000000 6500")
                                               << FilterStreamResult::Complete << QByteArray("e");
        QTest::newRow("code-page-and-foreign-characters")
            << QByteArray::fromHex("fffeff 03 ac20 e900 2e04") << FilterStreamResult::Complete
            << QByteArray("\x80\xe9?");
        QTest::newRow("marker-inside-marker-is-damage")
            << QByteArray::fromHex("fffeff fffeff 01 6100") << FilterStreamResult::Damaged
            << QByteArray("old");
    }

    void textsIn16BitCharactersAreReadAs8BitText()
    {
        QFETCH(QByteArray, handlingField);
        QFETCH(FilterStreamResult, result);
        QFETCH(QByteArray, handling);
        const QByteArray stream = handlingField + QByteArray::fromHex("0000 00 00000000");

        FilterSettings read = PreviousStore();
        QCOMPARE(DecodeFilterStream(stream, read), result);
        QCOMPARE(read.m_handling, handling);
        if (result == FilterStreamResult::Complete)
            QVERIFY(read.m_regions.isEmpty());
    }

    void aStreamCutShortKeepsWhatWasReadBeforeTheCut_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("handling");
        QTest::addColumn<QList<QByteArray>>("regions");
        QTest::addColumn<QByteArray>("sources");

        const QList<QByteArray> old{"9z"};
        // Byte offsets into the eighteen-byte example.
        QTest::newRow("empty-file") << 0 << QByteArray("old") << old << QByteArray("old");
        QTest::newRow("inside-handling") << 2 << QByteArray("old") << old << QByteArray("old");
        QTest::newRow("after-handling") << 3 << QByteArray("ab") << old << QByteArray("old");
        QTest::newRow("inside-count") << 4 << QByteArray("ab") << old << QByteArray("old");
        QTest::newRow("after-count")
            << 5 << QByteArray("ab") << QList<QByteArray>() << QByteArray("old");
        QTest::newRow("after-first-region")
            << 8 << QByteArray("ab") << QList<QByteArray>{"0-"} << QByteArray("old");
        QTest::newRow("after-regions")
            << 11 << QByteArray("ab") << QList<QByteArray>{"0-", "6c"} << QByteArray("old");
        QTest::newRow("after-sources")
            << 14 << QByteArray("ab") << QList<QByteArray>{"0-", "6c"} << QByteArray("lw");
        QTest::newRow("inside-any-source")
            << 17 << QByteArray("ab") << QList<QByteArray>{"0-", "6c"} << QByteArray("lw");
    }

    void aStreamCutShortKeepsWhatWasReadBeforeTheCut()
    {
        QFETCH(int, length);
        QFETCH(QByteArray, handling);
        QFETCH(QList<QByteArray>, regions);
        QFETCH(QByteArray, sources);

        FilterSettings read = PreviousStore();
        QCOMPARE(DecodeFilterStream(kExampleStream.first(length), read),
                 FilterStreamResult::EndOfStream);
        QCOMPARE(read.m_handling, handling);
        QCOMPARE(read.m_regions, regions);
        QCOMPARE(read.m_sources, sources);
        QCOMPARE(read.m_anySource, 7);
    }

    void aClaimBeyondTheStreamIsNeverReserved_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<FilterStreamResult>("result");
        QTest::addColumn<QByteArray>("handling");
        QTest::addColumn<QList<QByteArray>>("regions");

        const QList<QByteArray> old{"9z"};
        QTest::newRow("text-4-gib") << QByteArray::fromHex("ffffff ffffffff 6162 0000 00 00000000")
                                    << FilterStreamResult::OutOfMemory << QByteArray("old") << old;
        QTest::newRow("wide-text-2-gib-characters")
            << QByteArray::fromHex("fffeff ffffff ffffff7f 6100 0000 00 00000000")
            << FilterStreamResult::OutOfMemory << QByteArray("old") << old;
        QTest::newRow("text-65000-in-twenty-bytes")
            << QByteArray::fromHex("ffe8fd 6162 0000 00 00000000 0000000000000000")
            << FilterStreamResult::EndOfStream << QByteArray("old") << old;
        QTest::newRow("count-4-giga") << QByteArray::fromHex("00 ffff ffffffff 02312d 00 00000000")
                                      << FilterStreamResult::OutOfMemory << QByteArray() << old;
        QTest::newRow("count-65534-in-twenty-bytes")
            << QByteArray::fromHex("00 feff 02312d 02322d 0a 41424344 4546474849")
            << FilterStreamResult::EndOfStream << QByteArray() << QList<QByteArray>{"1-", "2-"};
    }

    void aClaimBeyondTheStreamIsNeverReserved()
    {
        QFETCH(QByteArray, stream);
        QFETCH(FilterStreamResult, result);
        QFETCH(QByteArray, handling);
        QFETCH(QList<QByteArray>, regions);

        FilterSettings read = PreviousStore();
        QCOMPARE(DecodeFilterStream(stream, read), result);
        QCOMPARE(read.m_handling, handling);
        QCOMPARE(read.m_regions, regions);
        QVERIFY(read.m_handling.capacity() <= stream.size());
        QVERIFY(read.m_regions.capacity() <= stream.size());
        QCOMPARE(read.m_sources, QByteArray("old"));
    }

    void describeSummarisesTheCriteria_data()
    {
        QTest::addColumn<QByteArray>("handling");
        QTest::addColumn<QList<QByteArray>>("regions");
        QTest::addColumn<QByteArray>("sources");
        QTest::addColumn<int>("anySource");
        QTest::addColumn<QByteArray>("text");

        QTest::newRow("example") << QByteArray("ab") << QList<QByteArray>{"0-", "6c"}
                                 << QByteArray("lw") << 0
                                 << QByteArray("Allowed Handling:ab\n"
                                               "Allowed Region and sub region:0-;6c;\n"
                                               "Allowed Source:lw\n");
        QTest::newRow("empty") << QByteArray() << QList<QByteArray>() << QByteArray() << 0
                               << QByteArray("Allowed Handling:\n"
                                             "Allowed Region and sub region:\n"
                                             "Allowed Source:\n");
        QTest::newRow("any-source-without-letters")
            << QByteArray("e") << QList<QByteArray>{"2a"} << QByteArray() << 2
            << QByteArray("Allowed Handling:e\n"
                          "Allowed Region and sub region:2a;\n"
                          "Allowed Source:Any source is allowed\n");
    }

    void describeSummarisesTheCriteria()
    {
        QFETCH(QByteArray, handling);
        QFETCH(QList<QByteArray>, regions);
        QFETCH(QByteArray, sources);
        QFETCH(int, anySource);
        QFETCH(QByteArray, text);
        FilterSettings settings;
        settings.m_handling = handling;
        settings.m_regions = regions;
        settings.m_sources = sources;
        settings.m_anySource = anySource;
        QCOMPARE(settings.Describe(), text);
    }

    void lookupsTakeRepeatsAndOddCodesAsAFileBringsThem()
    {
        FilterSettings settings;
        settings.m_handling = QByteArray("a\0b", 3);
        settings.m_sources = QByteArray("\0l", 2);
        settings.m_regions = {"1a", "0-", "1a"};

        // A zero byte is never allowed, even when a file put one into the letters.
        QVERIFY(!settings.IsHandlingAllowed('\0'));
        QVERIFY(!settings.IsSourceAllowed('\0'));
        QVERIFY(settings.IsHandlingAllowed('b'));
        QVERIFY(settings.IsSourceAllowed('l'));

        QVERIFY(!settings.IsRegionAllowed("1A"));
        QVERIFY(!settings.IsRegionAllowed("1"));
        QVERIFY(!settings.IsRegionAllowed("1a-"));
        QCOMPARE(settings.FindRegion("1a"), 0);
        settings.DisallowRegion("1a");
        QCOMPARE(settings.m_regions, QList<QByteArray>({"0-", "1a"}));
        QVERIFY(settings.IsRegionAllowed("1a"));
        settings.AllowRegion("0-");
        QCOMPARE(settings.m_regions.size(), 2);

        QByteArray letters("lwlq");
        FilterSettings::RemoveLetter(letters, 'l');
        QCOMPARE(letters, QByteArray("wq"));
    }
};

QTEST_APPLESS_MAIN(FilterFileFormatTest)
#include "tst_filterfileformat.moc"
