#include "PdfPages.h"

#include "dispatch/PrintText.h"

#include <QFontMetricsF>
#include <QPrinter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// A PDF printer as PrintText sets one up: the whole page, at the resolution of a real printer.
std::unique_ptr<QPrinter> PdfPrinter(const QString &path)
{
    auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setOutputFileName(path);
    printer->setPageSize(QPageSize(QPageSize::A4));
    printer->setPageMargins(QMarginsF(0, 0, 0, 0));
    return printer;
}

QByteArray Lines(int first, int count)
{
    QByteArray text;
    for (int i = first; i < first + count; ++i) {
        if (!text.isEmpty())
            text.append('\n');
        text.append("Line " + QByteArray::number(i));
    }
    return text;
}

// Many paragraphs of words of every length, with tabs, blank lines and one word that is wider
// than the page, so page breaks fall inside lines, words and runs of blank lines.
QByteArray LongText()
{
    QRandomGenerator random(20261207);
    QByteArray text;
    for (int paragraph = 0; paragraph < 60; ++paragraph) {
        const int words = random.bounded(5, 60);
        for (int w = 0; w < words; ++w) {
            const int letters = random.bounded(1, 12);
            for (int l = 0; l < letters; ++l)
                text.append(char('a' + random.bounded(26)));
            text.append(random.bounded(10) == 0 ? '\t' : ' ');
        }
        if (paragraph == 30)
            text.append(QByteArray(400, 'W'));
        text.append(paragraph % 7 == 0 ? "\r\n\r\n" : "\n");
    }
    return text;
}

} // namespace

class PrintTextTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString Pdf(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        if (!PdfPages::ToolsPresent())
            QSKIP("pdftotext and pdfinfo (poppler-utils) are missing; scripts/setup.sh test "
                  "installs them");
    }

    void eachPageTakesTheLongestRunThatFits_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("charactersPerLine");
        QTest::addColumn<int>("lineHeight");
        QTest::addColumn<int>("pageHeight");
        QTest::addColumn<QList<qsizetype>>("pages");

        // One character a line, one unit tall: the page holds `pageHeight` characters.
        QTest::newRow("fits") << 5 << 1 << 1 << 10 << QList<qsizetype>{5};
        QTest::newRow("exactly-as-tall-as-the-page") << 10 << 1 << 1 << 10 << QList<qsizetype>{10};
        QTest::newRow("one-past-the-page") << 11 << 1 << 1 << 10 << QList<qsizetype>{10, 1};
        QTest::newRow("three-pages") << 25 << 1 << 1 << 10 << QList<qsizetype>{10, 10, 5};
        // Four characters a line, three units a line: three lines, twelve characters a page.
        QTest::newRow("wrapped-lines") << 30 << 4 << 3 << 10 << QList<qsizetype>{12, 12, 6};
        // Pages far longer than where the search starts.
        QTest::newRow("long-pages")
            << 10000 << 1 << 1 << 3000 << QList<qsizetype>{3000, 3000, 3000, 1000};
        QTest::newRow("page-holds-the-rest-exactly")
            << 10000 << 1 << 1 << 5000 << QList<qsizetype>{5000, 5000};
        // A line taller than the page: one character a page, never none.
        QTest::newRow("line-taller-than-the-page")
            << 3 << 1 << 20 << 10 << QList<qsizetype>{1, 1, 1};
    }

    void eachPageTakesTheLongestRunThatFits()
    {
        QFETCH(int, length);
        QFETCH(int, charactersPerLine);
        QFETCH(int, lineHeight);
        QFETCH(int, pageHeight);
        QFETCH(QList<qsizetype>, pages);

        const auto measure = [&](qsizetype, qsizetype count, qreal) {
            return qreal((count + charactersPerLine - 1) / charactersPerLine * lineHeight);
        };
        const std::vector<qsizetype> result = PaginateText(length, pageHeight, measure);
        QCOMPARE(QList<qsizetype>(result.begin(), result.end()), pages);
    }

    void tabsStopEveryEightAverageCharactersOnAHighResolutionPrinter()
    {
        const auto printer = PdfPrinter(Pdf("tabs.pdf"));
        QCOMPARE(printer->resolution(), 1200);
        const PrintLayout layout(printer.get(), printer->width());
        const qreal expected = 8 * QFontMetricsF(layout.Font(), printer.get()).averageCharWidth();
        QVERIFY2(
            qAbs(layout.TabStopWidth() - expected) < expected / 50,
            qPrintable(
                QStringLiteral("tab %1, expected %2").arg(layout.TabStopWidth()).arg(expected)));
    }

    void aFullPageIsOnePageAndOneLineMoreStartsASecond()
    {
        const auto probe = PdfPrinter(Pdf("probe.pdf"));
        const PrintLayout layout(probe.get(), probe->width());
        const qreal pageHeight = probe->height();
        int lines = 1;
        while (true) {
            const QByteArray next = Lines(1, lines + 1);
            if (layout.Height(next.constData(), next.size()) > pageHeight)
                break;
            ++lines;
        }
        QVERIFY(lines > 20);

        const QByteArray full = Lines(1, lines);
        const QString fullPdf = Pdf("full.pdf");
        PrintText(full.constData(), full.size(), PdfPrinter(fullPdf).get());
        QCOMPARE(PdfPages::Count(fullPdf), 1);
        QCOMPARE(PdfPages::Info(fullPdf, QStringLiteral("Title")), QStringLiteral("Alvetra"));
        QCOMPARE(PdfPages::Text(fullPdf).trimmed(), QString::fromLatin1(full));

        const QByteArray overfull = Lines(1, lines + 1);
        const QString overfullPdf = Pdf("overfull.pdf");
        PrintText(overfull.constData(), overfull.size(), PdfPrinter(overfullPdf).get());
        QCOMPARE(PdfPages::Count(overfullPdf), 2);
        QCOMPARE(PdfPages::Text(overfullPdf, 1).trimmed(), QString::fromLatin1(full));
        QCOMPARE(PdfPages::Text(overfullPdf, 2).trimmed(),
                 QStringLiteral("Line %1").arg(lines + 1));
    }

    void aLongTextIsSplitWhereTheBisectionSaysWithNothingLostOrRepeated()
    {
        const QByteArray text = LongText();
        const QString pdf = Pdf("long.pdf");
        const auto printer = PdfPrinter(pdf);
        const PrintLayout layout(printer.get(), printer->width());
        const std::vector<qsizetype> pages = PaginateText(
            text.size(), printer->height(), [&](qsizetype start, qsizetype count, qreal limit) {
                return layout.Height(text.constData() + start, count, limit);
            });
        QVERIFY(pages.size() >= 3);

        PrintText(text.constData(), text.size(), printer.get());
        QCOMPARE(PdfPages::Count(pdf), int(pages.size()));
        qsizetype start = 0;
        QString all;
        for (size_t page = 0; page < pages.size(); ++page) {
            const QString printed = PdfPages::Text(pdf, int(page) + 1);
            QCOMPARE(PdfPages::Ink(printed),
                     PdfPages::Ink(QString::fromLatin1(text.mid(start, pages[page]))));
            start += pages[page];
            all += printed;
        }
        QCOMPARE(PdfPages::Ink(all), PdfPages::Ink(QString::fromLatin1(text)));
    }

    void aWordWiderThanThePageIsPrintedWholeAcrossLines()
    {
        const QByteArray word(600, 'W');
        const QString pdf = Pdf("word.pdf");
        PrintText(word.constData(), word.size(), PdfPrinter(pdf).get());

        const QString printed = PdfPages::Text(pdf);
        QCOMPARE(PdfPages::Ink(printed), QString::fromLatin1(word));
        QVERIFY(printed.trimmed().count(u'\n') >= 2);
        // Every printed piece lies on the paper.
        const QString boxes = PdfPages::Run(QStringLiteral("pdftotext"),
                                            {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
        const qreal pageWidth = QRegularExpression(QStringLiteral("<page width=\"([0-9.]+)\""))
                                    .match(boxes)
                                    .captured(1)
                                    .toDouble();
        QVERIFY(pageWidth > 500);
        auto words = QRegularExpression(QStringLiteral("xMax=\"([0-9.]+)\"")).globalMatch(boxes);
        int count = 0;
        while (words.hasNext()) {
            QVERIFY(words.next().captured(1).toDouble() <= pageWidth + 0.5);
            ++count;
        }
        QVERIFY(count >= 3);
    }
};

QTEST_MAIN(PrintTextTest)
#include "tst_printtext.moc"
