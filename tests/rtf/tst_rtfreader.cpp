#include "rtf/RtfReader.h"

#include <QTest>

namespace {

QString U(QStringView text)
{
    return text.toString();
}

// Paragraphs joined with '\n', line breaks as '|', so rows stay readable.
QString PlainText(const RtfDocument &document)
{
    QStringList paragraphs;
    for (const RtfParagraph &paragraph : document.paragraphs) {
        QString text;
        for (const RtfRun &run : paragraph.runs)
            text += run.text;
        paragraphs.append(text.replace(QChar::LineSeparator, u'|'));
    }
    return paragraphs.join(u'\n');
}

QString Read(const QByteArray &rtf)
{
    const std::optional<RtfDocument> document = ReadRtf(rtf);
    return document ? PlainText(*document) : QStringLiteral("<not rtf>");
}

// The format of the first run that holds `text`.
RtfCharFormat FormatOf(const RtfDocument &document, const QString &text)
{
    for (const RtfParagraph &paragraph : document.paragraphs) {
        for (const RtfRun &run : paragraph.runs) {
            if (run.text.contains(text))
                return run.format;
        }
    }
    RtfCharFormat missing;
    missing.face = QStringLiteral("<no such run>");
    return missing;
}

} // namespace

class RtfReaderTest : public QObject
{
    Q_OBJECT

private slots:
    void textIsReadAsEditorsWriteIt_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<QString>("text");

        QTest::newRow("not-rtf") << QByteArray("hello") << QStringLiteral("<not rtf>");
        QTest::newRow("html-is-not-rtf")
            << QByteArray("<html><b>x</b></html>") << QStringLiteral("<not rtf>");
        QTest::newRow("empty-file") << QByteArray() << QStringLiteral("<not rtf>");
        QTest::newRow("leading-blank-lines")
            << QByteArray("\r\n {\\rtf1 a}") << QStringLiteral("a");

        // Control words end at the first non-letter; one blank after them belongs to the word.
        QTest::newRow("delimiter-space-eaten")
            << QByteArray("{\\rtf1 \\b a\\b0  b}") << QStringLiteral("a b");
        QTest::newRow("number-ends-word") << QByteArray("{\\rtf1 \\fs20x}") << QStringLiteral("x");
        QTest::newRow("negative-number") << QByteArray("{\\rtf1 \\li-720x}") << QStringLiteral("x");
        QTest::newRow("hyphen-without-digit-is-text")
            << QByteArray("{\\rtf1 \\b-x}") << QStringLiteral("-x");
        QTest::newRow("source-line-ends-ignored")
            << QByteArray("{\\rtf1 a\r\nb\nc}") << QStringLiteral("abc");
        QTest::newRow("escaped-symbols")
            << QByteArray("{\\rtf1 \\\\\\{\\}\\~\\-x}") << U(u"\\{}\u00A0x");
        QTest::newRow("backslash-newline-is-par")
            << QByteArray("{\\rtf1 a\\\nb}") << QStringLiteral("a\nb");

        QTest::newRow("par-line-tab")
            << QByteArray("{\\rtf1 a\\par b\\line c\\tab d\\par}") << QStringLiteral("a\nb|c\td");
        QTest::newRow("no-final-par") << QByteArray("{\\rtf1 a\\par b}") << QStringLiteral("a\nb");
        QTest::newRow("empty-paragraphs-kept")
            << QByteArray("{\\rtf1 \\par a\\par\\par}") << QStringLiteral("\na\n");

        // 8-bit characters: the document's code page, or the font's character set.
        QTest::newRow("hex-default-1252")
            << QByteArray("{\\rtf1 caf\\'e9 \\'80}") << U(u"caf\u00E9 \u20AC");
        QTest::newRow("hex-uppercase-digits") << QByteArray("{\\rtf1 \\'E9}") << U(u"\u00E9");
        QTest::newRow("raw-8-bit-byte") << QByteArray("{\\rtf1 caf\xe9}") << U(u"caf\u00E9");
        QTest::newRow("ansicpg-1251")
            << QByteArray("{\\rtf1\\ansi\\ansicpg1251 \\'c0\\'e1}") << U(u"\u0410\u0431");
        QTest::newRow("unknown-code-page-read-as-1252")
            << QByteArray("{\\rtf1\\ansi\\ansicpg99999 \\'e9}") << U(u"\u00E9");
        QTest::newRow("fcharset-204-font")
            << QByteArray("{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0 Arial;}{\\f1\\fcharset204 "
                          "Arial Cyr;}}\\f1 \\'c0\\f0 \\'c0}")
            << U(u"\u0410\u00C0");
        QTest::newRow("double-byte-pair")
            << QByteArray("{\\rtf1{\\fonttbl{\\f0\\fcharset128 MS Gothic;}}\\f0 \\'82\\'a0}")
            << U(u"\u3042");
        QTest::newRow("hex-with-one-digit") << QByteArray("{\\rtf1 \\'4x}") << U(u"\u0004x");
        QTest::newRow("hex-with-no-digit") << QByteArray("{\\rtf1 \\'zz}") << QStringLiteral("zz");

        // \uN with its fallback for older readers skipped.
        QTest::newRow("unicode-with-fallback") << QByteArray("{\\rtf1 \\u1046?x}") << U(u"\u0416x");
        QTest::newRow("unicode-fallback-hex")
            << QByteArray("{\\rtf1 \\u8364\\'80x}") << U(u"\u20ACx");
        QTest::newRow("unicode-negative") << QByteArray("{\\rtf1 \\u-1279?}") << U(u"\uFB01");
        QTest::newRow("unicode-surrogate-pair")
            << QByteArray("{\\rtf1 \\u-10179?\\u-8704?}") << U(u"\U0001F600");
        QTest::newRow("unicode-lone-surrogate")
            << QByteArray("{\\rtf1 \\u-10179?x}") << U(u"\uFFFDx");
        QTest::newRow("uc0-no-fallback") << QByteArray("{\\rtf1\\uc0 \\u1046x}") << U(u"\u0416x");
        QTest::newRow("uc2-two-fallbacks")
            << QByteArray("{\\rtf1\\uc2 \\u1046??x}") << U(u"\u0416x");
        QTest::newRow("uc-is-per-group")
            << QByteArray("{\\rtf1 {\\uc2 \\u1046??}\\u1046?x}") << U(u"\u0416\u0416x");
        QTest::newRow("group-end-stops-fallback")
            << QByteArray("{\\rtf1\\uc3 {\\u1046?}x}") << U(u"\u0416x");
        QTest::newRow("unicode-out-of-range")
            << QByteArray("{\\rtf1 \\u99999999?x}") << QStringLiteral("x");

        // Destinations that are not body text.
        QTest::newRow("optional-destination")
            << QByteArray("{\\rtf1 a{\\*\\generator Writer;}{\\*\\unknownthing x}b}")
            << QStringLiteral("ab");
        QTest::newRow("tables-and-info")
            << QByteArray("{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red1\\green2\\blue3;}"
                          "{\\stylesheet{\\s0 Normal;}}{\\info{\\title T}{\\author A}}a}")
            << QStringLiteral("a");
        QTest::newRow("header-footer-themedata-datastore")
            << QByteArray("{\\rtf1{\\header h}{\\footer f}{\\*\\themedata 0a0b}"
                          "{\\*\\datastore 0c}a}")
            << QStringLiteral("a");
        QTest::newRow("field-keeps-result")
            << QByteArray("{\\rtf1 see {\\field{\\*\\fldinst HYPERLINK \"x\"}{\\fldrslt "
                          "{\\ul here}}}.}")
            << QStringLiteral("see here.");
        QTest::newRow("field-instruction-without-star")
            << QByteArray("{\\rtf1 {\\field{\\fldinst PAGE}{\\fldrslt 3}}}") << QStringLiteral("3");
        QTest::newRow("bin-skips-raw-bytes-with-braces")
            << QByteArray("{\\rtf1 a{\\*\\x \\bin4 }{\\\\}b}") << QStringLiteral("ab");
        QTest::newRow("bin-in-text") << QByteArray("{\\rtf1 a\\bin3 {{{b}") << QStringLiteral("ab");

        // Objects have no place in the log: a placeholder keeps their spot.
        QTest::newRow("picture") << QByteArray("{\\rtf1 a{\\pict\\pngblip 89504e47}b}")
                                 << QStringLiteral("a[embedded object]b");
        QTest::newRow("shape-picture-once")
            << QByteArray("{\\rtf1 a{\\*\\shppict{\\pict\\pngblip 00}}"
                          "{\\nonshppict{\\pict\\wmetafile8 00}}b}")
            << QStringLiteral("a[embedded object]b");
        QTest::newRow("ole-object-with-result")
            << QByteArray("{\\rtf1 a{\\object\\objemb{\\*\\objclass Excel}{\\*\\objdata 01}"
                          "{\\result{\\pict 00}}}b}")
            << QStringLiteral("a[embedded object]b");
        QTest::newRow("object-inside-a-skipped-header")
            << QByteArray("{\\rtf1{\\header{\\pict 00}}a}") << QStringLiteral("a");

        // Damaged files: read as far as they make sense.
        QTest::newRow("truncated-in-a-group")
            << QByteArray("{\\rtf1 a{\\b b") << QStringLiteral("ab");
        QTest::newRow("truncated-after-backslash")
            << QByteArray("{\\rtf1 a\\") << QStringLiteral("a");
        QTest::newRow("truncated-in-hex") << QByteArray("{\\rtf1 a\\'") << QStringLiteral("a");
        QTest::newRow("text-after-the-end-ignored")
            << QByteArray("{\\rtf1 a}b}c{d") << QStringLiteral("a");
        QTest::newRow("huge-bin-in-tiny-file")
            << QByteArray("{\\rtf1 a\\bin4294967296 xyz}") << QStringLiteral("a");
        QTest::newRow("negative-bin") << QByteArray("{\\rtf1 a\\bin-5 b}") << QStringLiteral("ab");
        QTest::newRow("overlong-number")
            << QByteArray("{\\rtf1 \\fs99999999999999999999 x}") << QStringLiteral("x");
        QTest::newRow("overlong-word")
            << QByteArray("{\\rtf1 \\") + QByteArray(100, 'p') + QByteArray("ar x}")
            << QStringLiteral("x");
        QTest::newRow("star-before-text")
            << QByteArray("{\\rtf1 a{\\*b}c}") << QStringLiteral("ac");
        QTest::newRow("deep-nesting") << QByteArray("{\\rtf1 a") + QByteArray(100000, '{') + "x"
                                             + QByteArray(100000, '}') + "b}"
                                      << QStringLiteral("ab");
        QTest::newRow("nesting-just-under-the-limit")
            << QByteArray("{\\rtf1 a") + QByteArray(150, '{') + "x" + QByteArray(150, '}') + "b}"
            << QStringLiteral("axb");
    }

    void textIsReadAsEditorsWriteIt()
    {
        QFETCH(QByteArray, rtf);
        QFETCH(QString, text);
        QCOMPARE(Read(rtf), text);
    }

    void characterFormatsFollowGroupsAndResets()
    {
        const QByteArray rtf = "{\\rtf1\\ansi\\deff1{\\fonttbl{\\f0\\froman Times New Roman;}"
                               "{\\f1\\fswiss\\fcharset0 Arial{\\*\\panose 020b}{\\*\\falt "
                               "Helv};}{\\f2 caf\\'e9;}}"
                               "{\\colortbl;\\red255\\green0\\blue0;\\red0\\green128\\blue0;}"
                               "default {\\b\\i\\ul\\strike\\fs30\\cf1 all} "
                               "{\\f2\\cf2\\ulwave wave\\ulnone  none} {\\f0\\b1 b1\\b0  b0} "
                               "{\\b\\plain plain} {\\cf7 nocolour} {\\f9 nofont}}";
        const std::optional<RtfDocument> document = ReadRtf(rtf);
        QVERIFY(document);
        QCOMPARE(PlainText(*document), QStringLiteral("default all wave none b1 b0 plain "
                                                      "nocolour nofont"));

        const RtfCharFormat plain = FormatOf(*document, "default");
        QCOMPARE(plain.face, QStringLiteral("Arial"));
        QCOMPARE(plain.halfPoints, 24);
        QVERIFY(!plain.colour);
        QVERIFY(!plain.bold && !plain.italic && !plain.underline && !plain.strike);

        const RtfCharFormat all = FormatOf(*document, "all");
        QVERIFY(all.bold && all.italic && all.underline && all.strike);
        QCOMPARE(all.halfPoints, 30);
        QCOMPARE(all.colour, std::optional(RtfColour{255, 0, 0}));

        const RtfCharFormat wave = FormatOf(*document, "wave");
        QCOMPARE(wave.face, U(u"caf\u00E9"));
        QCOMPARE(wave.colour, std::optional(RtfColour{0, 128, 0}));
        QVERIFY(wave.underline);
        QVERIFY(!FormatOf(*document, "none").underline);

        QVERIFY(FormatOf(*document, "b1").bold);
        QCOMPARE(FormatOf(*document, "b1").face, QStringLiteral("Times New Roman"));
        QVERIFY(!FormatOf(*document, "b0").bold);
        QVERIFY(!FormatOf(*document, "plain").bold);
        QCOMPARE(FormatOf(*document, "plain").face, QStringLiteral("Arial"));
        QVERIFY(!FormatOf(*document, "nocolour").colour);
        QCOMPARE(FormatOf(*document, "nofont").face, QString());
    }

    void aColourTableWithoutAnAutomaticEntryStartsAtZero()
    {
        const std::optional<RtfDocument> document
            = ReadRtf("{\\rtf1{\\colortbl\\red0\\green0\\blue255;}\\cf0 blue}");
        QVERIFY(document);
        QCOMPARE(FormatOf(*document, "blue").colour, std::optional(RtfColour{0, 0, 255}));
    }

    void componentsBeyondAByteAndSizesBeyondReasonAreClamped()
    {
        const std::optional<RtfDocument> document
            = ReadRtf("{\\rtf1{\\colortbl;\\red999\\green-4\\blue255;}\\cf1\\fs999999 big "
                      "\\fs0 zero \\fs-3 negative}");
        QVERIFY(document);
        QCOMPARE(FormatOf(*document, "big").colour, std::optional(RtfColour{255, 0, 255}));
        QCOMPARE(FormatOf(*document, "big").halfPoints, 3276);
        QCOMPARE(FormatOf(*document, "zero").halfPoints, 24);
        QCOMPARE(FormatOf(*document, "negative").halfPoints, 24);
    }

    void aLargeDamagedFileIsReadInOnePass()
    {
        // Unbalanced groups, a \bin that claims far more than there is, and objects without end.
        QByteArray rtf = "{\\rtf1 ";
        for (int i = 0; i < 20000; ++i)
            rtf += "{\\b x\\'e9\\u-10000?{\\pict\\bin9999999 ";
        const std::optional<RtfDocument> document = ReadRtf(rtf);
        QVERIFY(document);
        QCOMPARE(PlainText(*document), U(u"x\u00E9\uFFFD[embedded object]"));
    }

    void aFaceNameTooLongIsCutTheSameWhateverItsSpelling()
    {
        // The same over-long name once as plain bytes and once with \u escapes between its
        // stretches of bytes, as the writer spells names outside the code page.
        QByteArray plain = "{\\rtf1{\\fonttbl{\\f0 ";
        QByteArray mixed = plain;
        for (int i = 0; i < 300; ++i) {
            plain += "\\'e9a";
            mixed += "\\u233?a";
        }
        const QByteArray rest = ";}}\\f0 x}";
        const std::optional<RtfDocument> fromPlain = ReadRtf(plain + rest);
        const std::optional<RtfDocument> fromMixed = ReadRtf(mixed + rest);
        QVERIFY(fromPlain && fromMixed);
        QCOMPARE(FormatOf(*fromPlain, "x").face.size(), 256);
        QCOMPARE(FormatOf(*fromMixed, "x").face, FormatOf(*fromPlain, "x").face);
    }
};

QTEST_APPLESS_MAIN(RtfReaderTest)
#include "tst_rtfreader.moc"
