#include "AppTest.h"
#include "FileSizeLimit.h"
#include "LogPeers.h"

#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "app/LogSnapshot.h"
#include "app/LogWork.h"
#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"
#include "tests/dispatch/PdfPages.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTextBlock>

#include <climits>
#include <optional>

namespace {

constexpr int kNew = 57600;
constexpr int kOpen = 57601;
constexpr int kSave = 57603;
constexpr int kPrint = 57607;

CMainFrame *Frame()
{
    return CAlvetraApp::Instance()->MainFrame();
}

CAlvetraDoc *Doc()
{
    return CAlvetraApp::Instance()->Document();
}

CAlvetraView *View()
{
    return Frame()->View();
}

void Command(int id)
{
    QAction *action = Frame()->Command(id);
    QVERIFY(action);
    action->trigger();
}

// What a message box said, and then the button `button` pressed.
DialogAnswers::Answer Press(QMessageBox::StandardButton button, QString *text = nullptr)
{
    return [button, text](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box) {
            modal->close();
            return;
        }
        if (text)
            *text = box->text();
        box->button(button)->click();
    };
}

DialogAnswers::Answer ChooseFile(const QString &path)
{
    return [path](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        dialog->selectFile(path);
        // The name field is what the dialog takes on accepting.
        if (auto *name = dialog->findChild<QLineEdit *>("fileNameEdit"))
            name->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    };
}

// Every line style of the log, with the whole upper half of the code page, tabs and text that
// looks like markup.
void AppendEveryLineStyle()
{
    QByteArray high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += char(b);
    CAlvetraView *view = View();
    view->AppendText("ZCZC <b>HEADLINE</b> &amp;", true, 300, Rgb(0, 0, 255), true, true);
    view->AppendText(DecodeCp1252("\x1F"
                                  "AKB1 ")
                         + DecodeCp1252(high),
                     true, 230, Rgb(0, 0, 255), false, false);
    view->AppendText("Error:->Port", true, 230, Rgb(255, 0, 0), false, false);
    view->AppendText("body\twith\ttabs {braces} \\backslash", true, 230, Rgb(0, 0, 0), false,
                     false);
    LogError("Port");
    LogWarning("Message without ETX");
    view->AppendText("Handling: A B", true, 120, Rgb(10, 20, 40), true, false);
}

// The log's text as it is, no-break spaces included (toPlainText makes blanks of them).
QString Text(const QTextDocument &log)
{
    return log.toRawText().replace(QChar::ParagraphSeparator, u'\n');
}

// Formats of the log's runs, in order, as the saved file keeps them.
RtfDocument Runs()
{
    return CAlvetraDoc::ToRtf(*Doc()->Document());
}

// Passed messages of the log's usual shape, the body's lines long enough to wrap; `count` of
// them make some five pages a hundred.
void ShowMessages(int count, const QByteArray &tag = "")
{
    EdisMessage message;
    message.m_header = "ZCZC1a1bw ";
    message.m_trailer = "NNNN";
    for (int i = 0; i < count; ++i) {
        message.m_headline = "FLASH FLOOD WARNING " + tag + QByteArray::number(i);
        message.m_body = QByteArray("The National Weather Service has issued a flash flood "
                                    "warning for the burn areas. Move to higher ground now. ")
                             .repeated(1 + i % 7)
                         + "\r\nUntil 6 PM.\r\n";
        View()->ShowMessage(message);
    }
}

// A log of about `characters` characters in lines of some `lineLength`, at once, as an opened
// file would fill it.
void FillLog(int characters, int lineLength = 330)
{
    RtfDocument rtf;
    RtfRun run;
    run.format.face = "MS Sans Serif";
    run.format.halfPoints = 23;
    for (int i = 0; characters > 0; ++i) {
        run.text = QString("line %1 ").arg(i) + QString(lineLength, QChar('a' + i % 26));
        rtf.paragraphs.append(RtfParagraph{{run}});
        characters -= int(run.text.size()) + 1;
    }
    CAlvetraDoc::FromRtf(rtf, *Doc()->Document());
}

// The longest the window's event loop went without running a timer's tick.
class Ticks : public QObject
{
public:
    Ticks()
    {
        m_clock.start();
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_longest = std::max(m_longest, m_clock.restart()); });
        m_timer.start(10);
    }
    qint64 Longest()
    {
        m_longest = std::max(m_longest, m_clock.restart());
        return std::exchange(m_longest, 0);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};

// The pages as a layout of the whole log at once makes them, as the log was printed before.
bool PrintWholeLayout(const QTextDocument &log, QPrinter &printer)
{
    printer.setFullPage(false);
    printer.setPageMargins(QMarginsF(0.5, 0.5, 0.5, 0.5), QPageLayout::Inch);
    QImage device(1, 1, QImage::Format_RGB32);
    const int dpi = std::min(150, std::min(printer.logicalDpiX(), printer.logicalDpiY()));
    device.setDotsPerMeterX(qRound(dpi / 0.0254));
    device.setDotsPerMeterY(qRound(dpi / 0.0254));
    const qreal scaleX = qreal(printer.logicalDpiX()) / device.logicalDpiX();
    const qreal scaleY = qreal(printer.logicalDpiY()) / device.logicalDpiY();
    const std::unique_ptr<QTextDocument> copy(log.clone());
    copy->documentLayout()->setPaintDevice(&device);
    copy->setDocumentMargin(0);
    const QRectF printable = printer.pageRect(QPrinter::DevicePixel);
    const QSizeF page(printable.width() / scaleX, printable.height() / scaleY);
    copy->setPageSize(page);
    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    for (int i = 0; i < copy->pageCount(); ++i) {
        if (i > 0)
            printer.newPage();
        painter.save();
        painter.scale(scaleX, scaleY);
        const QRectF clip(0, i * page.height(), page.width(), page.height());
        painter.translate(0, -clip.top());
        painter.setClipRect(clip);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = clip;
        copy->documentLayout()->draw(&painter, context);
        painter.restore();
    }
    return painter.end();
}

bool CupsRuns()
{
    return LogPeers::Has("lpadmin")
           && LogPeers::Run("lpstat", {"-r"}).trimmed() == "scheduler is running";
}

// Accepts the print dialog, for the last `fromEnd` pages when it is above 0; tells the last page
// it offered.
DialogAnswers::Answer PrintPages(int fromEnd, int *offeredUpTo)
{
    return [fromEnd, offeredUpTo](QWidget *modal) {
        auto *dialog = qobject_cast<QPrintDialog *>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        auto *upTo = dialog->findChild<QSpinBox *>("to");
        *offeredUpTo = upTo ? upTo->maximum() : -1;
        if (fromEnd > 0 && upTo) {
            if (auto *range = dialog->findChild<QRadioButton *>("printRange"))
                range->setChecked(true);
            if (auto *first = dialog->findChild<QSpinBox *>("from"))
                first->setValue(upTo->maximum() - fromEnd + 1);
            upTo->setValue(upTo->maximum());
        }
        dialog->accept();
    };
}

// Bands of rows holding red ink, top to bottom: [first row, last row, red pixels].
struct Band
{
    int top;
    int bottom;
    int left;
    int right;
    int ink;
};

QList<Band> RedBands(const QImage &page)
{
    QList<Band> bands;
    bool inBand = false;
    for (int y = 0; y < page.height(); ++y) {
        int ink = 0;
        int left = page.width();
        int right = -1;
        for (int x = 0; x < page.width(); ++x) {
            const QColor c = page.pixelColor(x, y);
            if (c.red() > 180 && c.green() < 90 && c.blue() < 90) {
                ++ink;
                left = qMin(left, x);
                right = qMax(right, x);
            }
        }
        if (ink > 0 && !inBand) {
            bands.append(Band{y, y, left, right, ink});
            inBand = true;
        } else if (ink > 0) {
            Band &band = bands.last();
            band.bottom = y;
            band.left = qMin(band.left, left);
            band.right = qMax(band.right, right);
            band.ink += ink;
        } else {
            inBand = false;
        }
    }
    return bands;
}

} // namespace

class LogDocumentTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString m_queue;

    QString Path(const QString &name) const { return m_dir.filePath(name); }
    QString QueueOutput() const { return Path("queue/printed.pdf"); }

    // A CUPS queue of the test's own, the generic PDF printer writing into a file here, as the
    // log's printer; false when this machine cannot have one.
    bool PrintOnQueue()
    {
        if (!CupsRuns() || !PdfPages::ToolsPresent())
            return false;
        if (m_queue.isEmpty()) {
            const QString queue
                = QString("alvetra-print-%1").arg(QCoreApplication::applicationPid());
            QDir().mkpath(Path("queue"));
            QFile::setPermissions(Path("queue"), QFileDevice::Permissions(0x7777));
            if (LogPeers::Run("lpadmin", {"-p", queue, "-E", "-v", "file://" + QueueOutput(), "-m",
                                          "lsb/usr/cupsfilters/Generic-PDF_Printer-PDF.ppd"})
                    .isNull())
                return false;
            m_queue = queue;
        }
        Doc()->Printer().setPrinterName(m_queue);
        Doc()->Printer().setPageSize(QPrinterInfo::printerInfo(m_queue).defaultPageSize());
        QFile::remove(QueueOutput());
        return true;
    }

    bool Printed() const
    {
        return LogPeers::Run("lpstat", {"-o", m_queue}).trimmed().isEmpty()
               && QFileInfo(QueueOutput()).size() > 0;
    }

    // A log saved with every line style, and its text.
    QString SavedLog(QString *text = nullptr)
    {
        Doc()->OnNewDocument();
        AppendEveryLineStyle();
        if (text)
            *text = Text(*Doc()->Document());
        QString error;
        const QString path = Path("every-style.rtf");
        if (!Doc()->OnSaveDocument(path, &error))
            qWarning("%s", qPrintable(error));
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(WriteEmptyFilterFile());
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
    }

    void cleanupTestCase()
    {
        if (!m_queue.isEmpty())
            LogPeers::Run("lpadmin", {"-x", m_queue});
    }

    void aLogWithEveryLineStyleKeepsEveryCharacterAndFormatWhenSavedAndOpened()
    {
        QString text;
        const QString path = SavedLog(&text);
        const RtfDocument before = Runs();
        QVERIFY(!Doc()->IsModified());
        QCOMPARE(Doc()->PathName(), path);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray rtf = file.readAll();
        QVERIFY(rtf.startsWith("{\\rtf1\\ansi\\ansicpg1252"));
        for (const char c : rtf)
            QVERIFY2(uchar(c) < 0x80, "8-bit characters are written as \\'hh");

        Doc()->OnNewDocument();
        QVERIFY(Text(*Doc()->Document()).isEmpty());
        QString error;
        QVERIFY2(Doc()->OnOpenDocument(path, &error), qPrintable(error));
        QCOMPARE(Text(*Doc()->Document()), text);
        const RtfDocument after = Runs();
        QCOMPARE(after.paragraphs.size(), before.paragraphs.size());
        for (int i = 0; i < before.paragraphs.size(); ++i)
            QCOMPARE(after.paragraphs.at(i), before.paragraphs.at(i));

        // Spot checks against the line style table, not only against ourselves.
        const RtfCharFormat headline = after.paragraphs.at(1).runs.first().format;
        QCOMPARE(headline.face, QString("MS Sans Serif"));
        QCOMPARE(headline.halfPoints, 30);
        QCOMPARE(headline.colour, std::optional(RtfColour{0, 0, 255}));
        QVERIFY(headline.bold && headline.underline);
        const RtfCharFormat warning = after.paragraphs.at(6).runs.first().format;
        QCOMPARE(warning.halfPoints, 20);
        QCOMPARE(warning.colour, std::optional(RtfColour{105, 155, 0}));
        QVERIFY(warning.bold && !warning.underline);
    }

    void libreOfficeReadsTheSavedLogAsTheSameText()
    {
        if (!LogPeers::Has("soffice"))
            QSKIP("LibreOffice (libreoffice-writer-nogui) is missing; scripts/setup.sh test "
                  "installs it");
        QString text;
        const QString path = SavedLog(&text);
        const QString txt = LogPeers::Convert(path, Path("txt"), "txt:Text (encoded):UTF8", "txt");
        QVERIFY2(!txt.isEmpty(), "LibreOffice converted nothing");
        QFile file(txt);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        QString converted = QString::fromUtf8(bytes.mid(3));
        converted.replace("\r\n", "\n");
        while (converted.endsWith('\n'))
            converted.chop(1);
        QString expected = text;
        while (expected.endsWith('\n'))
            expected.chop(1);
        // Five bytes of 0x80..0x9F are unassigned in the code page: LibreOffice reads them
        // into its private use area. Plain text has no place for the control characters of
        // the line, so LibreOffice leaves them out.
        for (const char16_t unassigned : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) {
            expected.remove(QChar(unassigned));
            converted.remove(QChar(0xF100 + unassigned));
        }
        for (char16_t control = 0; control < 0x20; ++control) {
            if (control != u'\t' && control != u'\n')
                expected.remove(QChar(control));
        }
        QCOMPARE(converted.split('\n'), expected.split('\n'));
    }

    void libreOfficePrintsErrorLinesRedAndBold()
    {
        if (!LogPeers::Has("soffice") || !LogPeers::Has("pdftoppm"))
            QSKIP("LibreOffice or pdftoppm is missing; scripts/setup.sh test installs them");
        // The trailer and the error line are both red and say "Error:->Port"; only the error
        // line is bold.
        const QString path = SavedLog();
        const QString pdf = LogPeers::Convert(path, Path("pdf"), "pdf", "pdf");
        QVERIFY2(!pdf.isEmpty(), "LibreOffice converted nothing");
        LogPeers::Run("pdftoppm", {"-r", "150", "-png", "-singlefile", pdf, Path("page")});
        const QImage page(Path("page.png"));
        QVERIFY(!page.isNull());
        const QList<Band> bands = RedBands(page);
        QCOMPARE(bands.size(), 2);
        const Band &trailer = bands.at(0);
        const Band &error = bands.at(1);
        const auto density = [](const Band &band) {
            return double(band.ink)
                   / ((band.bottom - band.top + 1) * double(band.right - band.left + 1));
        };
        QVERIFY2(
            density(error) > 1.2 * density(trailer),
            qPrintable(
                QString("bold ink %1, regular ink %2").arg(density(error)).arg(density(trailer))));
    }

    void rtfWrittenByLibreOfficeOpensWithItsTextAndFormats()
    {
        if (!LogPeers::Has("soffice"))
            QSKIP("LibreOffice (libreoffice-writer-nogui) is missing; scripts/setup.sh test "
                  "installs it");
        QFile html(Path("written.html"));
        QVERIFY(html.open(QIODevice::WriteOnly));
        html.write("<html><head><meta charset=\"utf-8\"></head><body>"
                   "<p>Un caf\xC3\xA9 \xE2\x82\xAC 5</p>"
                   "<p><b>Bold words</b> then <u>underlined words</u> then "
                   "<span style=\"color:#ff0000\">red words</span></p>"
                   "<p><i>italic</i> <s>struck</s></p></body></html>");
        html.close();
        const QString rtf = LogPeers::Convert(html.fileName(), Path("rtf"), "rtf:Rich Text Format",
                                              "rtf", {"--infilter=HTML (StarWriter)"});
        QVERIFY2(!rtf.isEmpty(), "LibreOffice converted nothing");

        QString error;
        QVERIFY2(Doc()->OnOpenDocument(rtf, &error), qPrintable(error));
        const QString text = Text(*Doc()->Document()).trimmed();
        QCOMPARE(text.split('\n').value(0), QStringView(u"Un caf\u00E9 \u20AC 5").toString());
        QVERIFY(text.contains("Bold words then underlined words then red words"));

        const auto format = [](const QString &words) {
            for (const RtfParagraph &paragraph : Runs().paragraphs) {
                for (const RtfRun &run : paragraph.runs) {
                    if (run.text == words)
                        return run.format;
                }
            }
            return RtfCharFormat{};
        };
        QVERIFY(format("Bold words").bold);
        QVERIFY(!format("Bold words").underline);
        QVERIFY(format("underlined words").underline);
        QVERIFY(!format("underlined words").bold);
        QCOMPARE(format("red words").colour, std::optional(RtfColour{255, 0, 0}));
        QVERIFY(format("italic").italic);
        QVERIFY(format("struck").strike);
    }

    void aNewLogAsksToSaveAModifiedLogFirst_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("emptied");
        QTest::addColumn<bool>("saved");
        QTest::newRow("cancel-keeps-the-log") << int(QMessageBox::Cancel) << false << false;
        QTest::newRow("no-empties-the-log") << int(QMessageBox::No) << true << false;
        QTest::newRow("yes-saves-then-empties") << int(QMessageBox::Yes) << true << true;
    }

    void aNewLogAsksToSaveAModifiedLogFirst()
    {
        QFETCH(int, answer);
        QFETCH(bool, emptied);
        QFETCH(bool, saved);
        const QString path = Path(QString("new-%1.rtf").arg(answer));
        Doc()->OnNewDocument();
        View()->AppendText("a line of the old log", true, 230, Rgb(0, 0, 0), false, false);
        QVERIFY(Doc()->IsModified());
        Doc()->SetTitle("changed");

        QString prompt;
        DialogAnswers answers(
            {Press(QMessageBox::StandardButton(answer), &prompt), ChooseFile(path)});
        Command(kNew);
        QCOMPARE(prompt, QString("Save changes to changed?"));
        // The new log holds at most what reopening the ports has to say.
        QCOMPARE(!Text(*Doc()->Document()).contains("old log"), emptied);
        QCOMPARE(QFileInfo::exists(path), saved);
        // The view's initial update ran again: the title is the log's again, and read-only.
        QCOMPARE(Doc()->Title(), emptied ? QString("DorvaneAtlas") : QString("changed"));
        QVERIFY(View()->isReadOnly());
        Doc()->SetTitle("DorvaneAtlas");
    }

    void anUnmodifiedLogIsReplacedWithoutAQuestion()
    {
        Doc()->OnNewDocument();
        DialogAnswers answers({});
        Command(kNew);
        QVERIFY(answers.Seen().isEmpty());
        QCOMPARE(Frame()->windowTitle(), QString("DorvaneAtlas - Alvetra"));
    }

    void openReplacesTheLogWithTheChosenFileAfterTheQuestion()
    {
        QString text;
        const QString path = SavedLog(&text);
        Doc()->OnNewDocument();
        View()->AppendText("unsaved", true, 230, Rgb(0, 0, 0), false, false);
        QString prompt;
        DialogAnswers answers({ChooseFile(path), Press(QMessageBox::No, &prompt)});
        Command(kOpen);
        QCOMPARE(answers.Seen(), QStringList({"QFileDialog", "QMessageBox"}));
        QCOMPARE(prompt, QString("Save changes to DorvaneAtlas?"));
        QVERIFY(Text(*Doc()->Document()).startsWith(text));
        QCOMPARE(Doc()->PathName(), path);
        QCOMPARE(Doc()->Title(), QString("DorvaneAtlas"));
    }

    void aFileThatIsNotALogLeavesTheLogAsItWas_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("plain-text") << "plain.txt" << QByteArray("just text\n");
        QTest::newRow("html") << "page.rtf" << QByteArray("<html><b>x</b></html>");
        QTest::newRow("empty-file") << "empty.rtf" << QByteArray("");
        QTest::newRow("missing-file") << "missing.rtf" << QByteArray();
        QTest::newRow("folder") << "folder.rtf" << QByteArray();
    }

    void aFileThatIsNotALogLeavesTheLogAsItWas()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString path = Path(name);
        if (name == "folder.rtf") {
            QVERIFY(QDir().mkpath(path));
        } else if (!content.isNull()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        Doc()->OnNewDocument();
        AppendEveryLineStyle();
        const QString text = Text(*Doc()->Document());
        const RtfDocument runs = Runs();

        // The file dialog itself refuses what does not exist; the rest is refused on reading.
        if (QFileInfo(path).isFile()) {
            QString message;
            DialogAnswers answers(
                {ChooseFile(path), Press(QMessageBox::No), Press(QMessageBox::Ok, &message)});
            Command(kOpen);
            QCOMPARE(answers.Seen(), QStringList({"QFileDialog", "QMessageBox", "QMessageBox"}));
            QVERIFY2(message.contains(QDir::toNativeSeparators(path)), qPrintable(message));
            QCOMPARE(Text(*Doc()->Document()), text);
            QCOMPARE(Runs(), runs);
            QVERIFY(Doc()->IsModified());
        }

        QString error;
        QVERIFY(!Doc()->OnOpenDocument(path, &error));
        QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
        QCOMPARE(Text(*Doc()->Document()), text);
        QCOMPARE(Runs(), runs);
    }

    void saveAsksForANameOnlyTheFirstTime()
    {
        Doc()->OnNewDocument();
        View()->AppendText("first", true, 230, Rgb(0, 0, 0), false, false);
        {
            DialogAnswers answers({ChooseFile(Path("named"))});
            Command(kSave);
            QCOMPARE(answers.Seen(), QStringList{"QFileDialog"});
        }
        // The extension is added when the name has none.
        QCOMPARE(Doc()->PathName(), Path("named.rtf"));
        QVERIFY(!Doc()->IsModified());

        View()->AppendText("second", true, 230, Rgb(0, 0, 0), false, false);
        {
            DialogAnswers answers({});
            Command(kSave);
            QVERIFY(answers.Seen().isEmpty());
        }
        QVERIFY(!Doc()->IsModified());
        QString error;
        QVERIFY(Doc()->OnOpenDocument(Path("named.rtf"), &error));
        QCOMPARE(Text(*Doc()->Document()), QString("\nfirst\nsecond"));
    }

    void aSaveThatFailsKeepsTheLogModifiedAndTheOldFile()
    {
        Doc()->OnNewDocument();
        View()->AppendText("kept", true, 230, Rgb(0, 0, 0), false, false);
        QString error;
        QVERIFY(!Doc()->OnSaveDocument(Path("no-such-folder/log.rtf"), &error));
        QVERIFY2(error.contains("no-such-folder"), qPrintable(error));
        QVERIFY(Doc()->IsModified());
        QVERIFY(Doc()->PathName().isEmpty());

        // Ctrl+S with no room left for the file, as on a full disk.
        const QString path = Path("no-room.rtf");
        QVERIFY(Doc()->OnSaveDocument(path, &error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray old = file.readAll();
        View()->AppendText("not saved", true, 230, Rgb(0, 0, 0), false, false);
        QString message;
        {
            FileSizeLimit limit(old.size() / 2);
            QVERIFY(limit.IsOk());
            DialogAnswers answers({Press(QMessageBox::Ok, &message)});
            Command(kSave);
            QCOMPARE(answers.Seen(), QStringList{"QMessageBox"});
        }
        QCOMPARE(message,
                 "Cannot save the log to " + QDir::toNativeSeparators(path) + ": File too large.");
        QVERIFY(Doc()->IsModified());
        QVERIFY(file.seek(0));
        QCOMPARE(file.readAll(), old);
        QCOMPARE(QDir(m_dir.path()).entryList({"no-room*"}, QDir::Files | QDir::Hidden),
                 QStringList{"no-room.rtf"});
    }

    void printedPagesHaveHalfAnInchOfMarginOnEverySide()
    {
        if (!LogPeers::Has("pdftoppm"))
            QSKIP("pdftoppm (poppler-utils) is missing; scripts/setup.sh test installs it");
        Doc()->OnNewDocument();
        // Lines as wide as the page and more than a page of them.
        for (int i = 0; i < 120; ++i)
            View()->AppendText(QString(200, QChar('W')), i > 0, 230, Rgb(0, 0, 0), true, false);
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(Path("margins.pdf"));
        printer.setPageSize(QPageSize(QPageSize::A4));
        QVERIFY(Doc()->Print(printer));
        LogPeers::Run("pdftoppm",
                      {"-r", "72", "-png", "-singlefile", Path("margins.pdf"), Path("margins")});
        const QImage page(Path("margins.png"));
        QVERIFY(!page.isNull());
        int left = page.width(), right = -1, top = page.height(), bottom = -1;
        for (int y = 0; y < page.height(); ++y) {
            for (int x = 0; x < page.width(); ++x) {
                if (qGray(page.pixel(x, y)) < 128) {
                    left = qMin(left, x);
                    right = qMax(right, x);
                    top = qMin(top, y);
                    bottom = qMax(bottom, y);
                }
            }
        }
        // 72 pixels an inch: the ink starts at 36 and ends 36 before the edge, give or take
        // the side bearing of a glyph and the leading of a line.
        QVERIFY2(left >= 36 && left <= 40, qPrintable(QString::number(left)));
        QVERIFY2(top >= 36 && top <= 48, qPrintable(QString::number(top)));
        QVERIFY2(right < page.width() - 36 && right > page.width() - 60,
                 qPrintable(QString::number(right)));
        QVERIFY2(bottom < page.height() - 36 && bottom > page.height() - 80,
                 qPrintable(QString::number(bottom)));
    }

    void printPreviewShowsThePagesOfTheLog()
    {
        Doc()->OnNewDocument();
        for (int i = 0; i < 200; ++i)
            View()->AppendText("line", true, 230, Rgb(0, 0, 0), false, false);
        int pages = 0;
        DialogAnswers answers({[&pages](QWidget *modal) {
            if (auto *preview = modal->findChild<QPrintPreviewWidget *>())
                pages = preview->pageCount();
            modal->close();
        }});
        Frame()->OnFilePrintPreview();
        QCOMPARE(answers.Seen(), QStringList{"QPrintPreviewDialog"});
        QVERIFY2(pages >= 2, qPrintable(QString::number(pages)));
    }

    void printPrintsThePagesOfALayoutOfTheWholeLog_data()
    {
        QTest::addColumn<int>("fromEnd");
        QTest::newRow("all-pages") << 0;
        QTest::newRow("from-page-n-to-the-end") << 3;
    }

    void printPrintsThePagesOfALayoutOfTheWholeLog()
    {
        QFETCH(int, fromEnd);
        if (!PrintOnQueue())
            QSKIP("No CUPS scheduler with a PDF queue, or no poppler tools; scripts/setup.sh "
                  "test installs them and scripts/test-services.sh starts CUPS");
        // Lines that wrap over the ends of pages, and several runs of pages laid out apart.
        Doc()->OnNewDocument();
        ShowMessages(120);
        int offeredUpTo = 0;
        DialogAnswers answers({PrintPages(fromEnd, &offeredUpTo)});
        Command(kPrint);
        QTRY_COMPARE(answers.Seen(), QStringList{"QPrintDialog"});
        QTRY_VERIFY_WITH_TIMEOUT(!Frame()->Work()->PrintBusy(), 120000);
        QTRY_VERIFY_WITH_TIMEOUT(Printed(), 60000);

        // The same log on the paper the dialog left, laid out whole at once.
        QPrinter &printer = Doc()->Printer();
        QPrinter whole(QPrinter::HighResolution);
        whole.setResolution(printer.resolution());
        whole.setPageLayout(printer.pageLayout());
        whole.setOutputFormat(QPrinter::PdfFormat);
        whole.setOutputFileName(Path("whole.pdf"));
        QVERIFY(PrintWholeLayout(*Doc()->Document(), whole));
        const int pages = PdfPages::Count(Path("whole.pdf"));
        QVERIFY2(pages > 20, qPrintable(QString::number(pages)));
        QCOMPARE(offeredUpTo, pages);
        const int first = fromEnd > 0 ? pages - fromEnd + 1 : 1;
        QCOMPARE(PdfPages::Count(QueueOutput()), pages - first + 1);
        for (int page = first; page <= pages; ++page)
            QCOMPARE(PdfPages::Ink(PdfPages::Text(QueueOutput(), page - first + 1)),
                     PdfPages::Ink(PdfPages::Text(Path("whole.pdf"), page)));
    }

    void theWindowAnswersWhileAFullLogIsSavedOpenedAndPrinted()
    {
        Doc()->OnNewDocument();
        // In lines as short as a message's header and trailer and as many.
        FillLog(CAlvetraView::kDefaultCapacity - 1000, 25);
        const RtfDocument before = Runs();
        const QString path = Path("full.rtf");
        // What the same save and open take on the window's thread, as they did before: the
        // bounds are half of that, generous on two shared cores and under the sanitizers alike.
        QString error;
        QElapsedTimer onThisThread;
        onThisThread.start();
        QVERIFY2(Doc()->OnSaveDocument(Path("full-here.rtf"), &error), qPrintable(error));
        const qint64 saveHere = onThisThread.restart();
        QVERIFY2(Doc()->OnOpenDocument(Path("full-here.rtf"), &error), qPrintable(error));
        const qint64 openHere = onThisThread.elapsed();
        Doc()->SetSaved(path, true);
        // The print's bound holds its dialog too; a full log's print took over 20 s, ten times
        // its open.
        const qint64 printBound = std::max<qint64>(1500, openHere / 2);
        Ticks ticks;

        Command(kSave);
        qint64 gap = ticks.Longest();
        QVERIFY2(gap < saveHere / 2,
                 qPrintable(QString("the window did not answer during the save for %1 ms of the "
                                    "%2 ms it takes")
                                .arg(gap)
                                .arg(saveHere)));
        QVERIFY(!Doc()->IsModified());

        // Opened over the full log itself: the old lines go first.
        {
            DialogAnswers answers({ChooseFile(path), Press(QMessageBox::No)});
            ticks.Longest();
            Command(kOpen);
        }
        gap = ticks.Longest();
        QVERIFY2(gap < openHere / 2,
                 qPrintable(QString("the window did not answer during the open for %1 ms of the "
                                    "%2 ms it takes")
                                .arg(gap)
                                .arg(openHere)));
        const RtfDocument after = Runs();
        QVERIFY(after.paragraphs.mid(0, before.paragraphs.size()) == before.paragraphs);
        QVERIFY(after.paragraphs.size() < before.paragraphs.size() + 100);

        if (!PrintOnQueue())
            QSKIP("No CUPS scheduler with a PDF queue: the print was not tried");
        int offeredUpTo = 0;
        DialogAnswers answers({PrintPages(1, &offeredUpTo)});
        Command(kPrint);
        QTRY_VERIFY_WITH_TIMEOUT(!Frame()->Work()->PrintBusy(), 300000);
        QVERIFY2(ticks.Longest() < printBound, "the window did not answer during the print");
        QVERIFY2(offeredUpTo > 1000, qPrintable(QString::number(offeredUpTo)));
        QTRY_VERIFY_WITH_TIMEOUT(Printed(), 60000);
        QCOMPARE(PdfPages::Count(QueueOutput()), 1);
    }

    void linesThatComeDuringAnOpenFollowTheOpenedTextInOrder()
    {
        Doc()->OnNewDocument();
        FillLog(4'000'000);
        const QString path = Path("opened.rtf");
        QString error;
        QVERIFY2(Doc()->OnSaveDocument(path, &error), qPrintable(error));
        const QString opened = Text(*Doc()->Document());
        Doc()->OnNewDocument();

        QTimer arrive;
        int arrived = 0;
        connect(&arrive, &QTimer::timeout, this, [&] {
            if (!Frame()->Work()->FileBusy() || arrived == 3)
                return;
            ++arrived;
            if (arrived == 2)
                ShowMessages(1, "DURING THE OPEN ");
            else
                LogWarning(QString("arrived %1").arg(arrived));
        });
        arrive.start(5);
        DialogAnswers answers({ChooseFile(path), Press(QMessageBox::No)});
        Command(kOpen);
        QCOMPARE(arrived, 3);
        const QString text = Text(*Doc()->Document());
        QVERIFY(text.startsWith(opened));
        const QStringList after = text.mid(opened.size()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(after.size() >= 6, qPrintable(after.join(" | ")));
        QCOMPARE(after.at(0), QString("Warning:->arrived 1"));
        QCOMPARE(after.at(1), QString("FLASH FLOOD WARNING DURING THE OPEN 0"));
        QVERIFY2(after.contains("Warning:->arrived 3"), qPrintable(after.join(" | ")));
        QVERIFY(after.indexOf("Warning:->arrived 3") > after.indexOf("NNNN"));
    }

    void aCopyIsTheLogAsItWasWhateverTrimsAndLinesComeMeanwhile()
    {
        Doc()->OnNewDocument();
        // Short lines: many of them to copy, in several slices.
        FillLog(3'000'000, 10);
        const RtfDocument atStart = Runs();
        // Every message now trims the log's oldest twentieth, which the copy has taken already.
        View()->SetCapacity(Doc()->Document()->characterCount());
        LogSnapshot copy(Doc()->Document());
        QTimer arrive;
        int trims = 0;
        connect(&arrive, &QTimer::timeout, this, [&] {
            const int before = Doc()->Document()->characterCount();
            ShowMessages(1, "DURING THE COPY ");
            trims += Doc()->Document()->characterCount() < before;
        });
        arrive.start(0);
        copy.Start();
        QTRY_VERIFY_WITH_TIMEOUT(copy.IsDone(), 60000);
        arrive.stop();
        View()->SetCapacity(CAlvetraView::kDefaultCapacity);
        QVERIFY2(trims > 0, "no trim came during the copy");
        QCOMPARE(copy.Copy()->text.paragraphs.size(), atStart.paragraphs.size());
        QVERIFY(copy.Copy()->text == atStart);
    }

    void aLogSavedWhileLinesComeStaysModified()
    {
        Doc()->OnNewDocument();
        FillLog(4'000'000);
        const QString saved = Text(*Doc()->Document());
        const QString path = Path("saved-meanwhile.rtf");
        Doc()->SetSaved(path, true);
        QTimer arrive;
        bool arrived = false;
        connect(&arrive, &QTimer::timeout, this, [&] {
            if (Frame()->Work()->FileBusy() && !arrived) {
                arrived = true;
                LogWarning("after the copy");
            }
        });
        arrive.start(5);
        Command(kSave);
        QVERIFY(arrived);
        QVERIFY(Doc()->IsModified());
        QCOMPARE(Doc()->PathName(), path);
        QString error;
        const std::optional<RtfDocument> file = CAlvetraDoc::ReadLogFile(path, &error);
        QVERIFY2(file, qPrintable(error));
        QTextDocument read;
        CAlvetraDoc::FromRtf(*file, read);
        QCOMPARE(Text(read), saved);
    }

    void theEndFinishesASaveWholeAndCancelsALongPrintSayingSo()
    {
        Doc()->OnNewDocument();
        FillLog(4'000'000);
        const QString path = Path("at-the-end.rtf");
        Doc()->SetSaved(path, true);
        QTimer end;
        bool ended = false;
        connect(&end, &QTimer::timeout, this, [&] {
            if (Frame()->Work()->FileBusy() && !ended) {
                ended = true;
                Frame()->Work()->FinishAtEnd();
            }
        });
        end.start(5);
        Command(kSave);
        QVERIFY(ended);
        QString error;
        const std::optional<RtfDocument> saved = CAlvetraDoc::ReadLogFile(path, &error);
        QVERIFY2(saved, qPrintable(error));
        QCOMPARE(*saved, Runs());

        if (!PrintOnQueue())
            QSKIP("No CUPS scheduler with a PDF queue: the print was not tried");
        // Some two thousand pages: more than the end waits for.
        int offeredUpTo = 0;
        DialogAnswers answers({PrintPages(0, &offeredUpTo)});
        Command(kPrint);
        QTRY_VERIFY_WITH_TIMEOUT(!answers.Seen().isEmpty(), 120000);
        QVERIFY(Frame()->Work()->PrintBusy());
        Frame()->Work()->FinishAtEnd();
        QVERIFY(Text(*Doc()->Document())
                    .endsWith("Warning:->The print of the log was cancelled: the program ended "
                              "before it was finished."));
        QTRY_VERIFY(!Frame()->Work()->PrintBusy());
    }

    void printingWithNoPrinterInstalledSaysSo()
    {
        if (!QPrinterInfo::availablePrinterNames().isEmpty())
            QSKIP("This machine has printers");
        QString message;
        DialogAnswers answers({Press(QMessageBox::Ok, &message)});
        Command(kPrint);
        if (answers.Seen() == QStringList{"QPrintDialog"})
            QSKIP("Another test installed a printer meanwhile");
        QCOMPARE(answers.Seen(), QStringList{"QMessageBox"});
        QVERIFY2(message.contains("No printer is installed"), qPrintable(message));
    }
};

ALVETRA_APP_TEST_MAIN(LogDocumentTest)
#include "tst_logdocument.moc"
