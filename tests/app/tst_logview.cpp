#include "AppTest.h"

#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "dispatch/ProcessMessage.h"
#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "receiver/MsgReciever.h"
#include "settings/GeneralSettings.h"

#include <QFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QThread>

#include <memory>

enum class Writer { Append, Error, Warning };
Q_DECLARE_METATYPE(Writer)

namespace {

CAlvetraView *View()
{
    return CAlvetraApp::Instance()->View();
}

QTextDocument *Log()
{
    return View()->document();
}

QStringList Lines()
{
    QStringList lines;
    for (QTextBlock block = Log()->begin(); block.isValid(); block = block.next())
        lines << block.text();
    return lines;
}

// The format of the text of a line, read back from the document.
QTextCharFormat TextFormat(const QTextBlock &block)
{
    const QTextFragment fragment = block.begin().fragment();
    return fragment.isValid() ? fragment.charFormat() : QTextCharFormat();
}

void AppendPlain(const QString &text)
{
    View()->AppendText(text, true, 230, Rgb(0, 0, 0), false, false);
}

} // namespace

class LogViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(WriteEmptyFilterFile());
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        QVERIFY(View());
    }

    void init()
    {
        Log()->clear();
        View()->SetCapacity(CAlvetraView::kDefaultCapacity);
        QCoreApplication::processEvents();
    }

    void everyLineStyleIsReadBackFromTheLog_data()
    {
        QTest::addColumn<Writer>("writer");
        QTest::addColumn<int>("height");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("underline");
        QTest::addColumn<QString>("line");

        const QColor blue(0, 0, 255), red(255, 0, 0), black(0, 0, 0);
        QTest::newRow("headline") << Writer::Append << 300 << blue << true << true << "WILDFIRE";
        QTest::newRow("header") << Writer::Append << 230 << blue << false << false
                                << "ZCZC\x1f"
                                   "a0-l";
        QTest::newRow("trailer") << Writer::Append << 230 << red << false << false << "NNNN";
        QTest::newRow("body") << Writer::Append << 230 << black << false << false << "Evacuate";
        QTest::newRow("filter-description")
            << Writer::Append << 120 << QColor(10, 20, 40) << true << false << "Handling: a";
        QTest::newRow("error") << Writer::Error << 200 << red << true << false
                               << "Error:->port lost";
        QTest::newRow("warning") << Writer::Warning << 200 << QColor(105, 155, 0) << true << false
                                 << "Warning:->port lost";
    }

    void everyLineStyleIsReadBackFromTheLog()
    {
        QFETCH(Writer, writer);
        QFETCH(int, height);
        QFETCH(QColor, colour);
        QFETCH(bool, bold);
        QFETCH(bool, underline);
        QFETCH(QString, line);

        // A previous line of a style unlike every row's, so the line break shows whose
        // format it took.
        View()->AppendText("before", true, 400, Rgb(1, 2, 3), false, true);
        switch (writer) {
        case Writer::Append:
            View()->AppendText(line, true, height, Rgb(colour.red(), colour.green(), colour.blue()),
                               bold, underline);
            break;
        case Writer::Error:
            LogError("port lost");
            break;
        case Writer::Warning:
            LogWarning("port lost");
            break;
        }

        QCOMPARE(Lines(), QStringList({"", "before", line}));
        const QTextBlock last = Log()->lastBlock();
        const QTextCharFormat format = TextFormat(last);
        QCOMPARE(format.fontFamilies().toStringList(), QStringList{"MS Sans Serif"});
        QCOMPARE(format.fontPointSize(), height / 20.0);
        QCOMPARE(format.foreground().color(), colour);
        QCOMPARE(format.fontWeight() == QFont::Bold, bold);
        QCOMPARE(format.fontUnderline(), underline);
        QVERIFY((++last.begin()).atEnd());

        // The line break before the line carries the previous line's format.
        const QTextCharFormat lineBreak = last.charFormat();
        QCOMPARE(lineBreak.fontPointSize(), 20.0);
        QCOMPARE(lineBreak.foreground().color(), QColor(1, 2, 3));
        QVERIFY(lineBreak.fontUnderline());
    }

    void aLineBreakInsideTheTextContinuesTheLineInItsStyle()
    {
        LogError("Could not initialize the input com port (com2).\nOther devices may be using it");
        QCOMPARE(Lines(),
                 QStringList({"", "Error:->Could not initialize the input com port (com2).",
                              "Other devices may be using it"}));
        const QTextCharFormat format = TextFormat(Log()->lastBlock());
        QCOMPARE(format.foreground().color(), QColor(255, 0, 0));
        QCOMPARE(format.fontWeight(), int(QFont::Bold));
    }

    void textFromTheLineIsNeverReadAsMarkup()
    {
        AppendPlain("<b>FIRE</b> &amp; <img src=x>");
        QCOMPARE(Log()->lastBlock().text(), QString("<b>FIRE</b> &amp; <img src=x>"));
        QCOMPARE(TextFormat(Log()->lastBlock()).fontWeight(), int(QFont::Normal));
    }

    void aPassedMessageGivesFourLinesEvenWithAnEmptyTrailer()
    {
        EdisMessage message;
        message.m_headline = "FLASH FLOOD";
        message.m_header = "ZCZC\x1f"
                           "b1al ";
        message.m_body = "Move to higher ground\r\nNow";
        AppendPlain("earlier");
        View()->ShowMessage(message);

        QCOMPARE(Lines(), QStringList({"", "earlier", "FLASH FLOOD",
                                       "ZCZC\x1f"
                                       "b1al ",
                                       "", "Move to higher ground", "Now"}));
        // The empty trailer still changed the style: the body's line break is red.
        const QTextBlock body = Log()->findBlockByNumber(5);
        QCOMPARE(body.charFormat().foreground().color(), QColor(255, 0, 0));
        QCOMPARE(TextFormat(body).foreground().color(), QColor(0, 0, 0));
        QCOMPARE(TextFormat(Log()->findBlockByNumber(2)).fontPointSize(), 15.0);
        QVERIFY(!Log()->isUndoAvailable());
    }

    void appendsLandAtTheEndAndLeaveTheUsersSelectionAlone_data()
    {
        QTest::addColumn<int>("anchor");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("selected");

        // The log below: "\nalpha\nbeta\ngamma" (positions 0..16, end 17).
        QTest::newRow("caret-in-the-middle") << 3 << 3 << "";
        QTest::newRow("selection-in-the-middle") << 1 << 6 << "alpha";
        QTest::newRow("selection-backwards") << 11 << 7 << "beta";
        QTest::newRow("selection-to-the-end") << 12 << 17 << "gamma";
        QTest::newRow("everything-selected") << 0 << 17 << "\u2029alpha\u2029beta\u2029gamma";
    }

    void appendsLandAtTheEndAndLeaveTheUsersSelectionAlone()
    {
        QFETCH(int, anchor);
        QFETCH(int, position);
        QFETCH(QString, selected);

        AppendPlain("alpha");
        AppendPlain("beta");
        AppendPlain("gamma");
        QTextCursor user(Log());
        user.setPosition(anchor);
        user.setPosition(position, QTextCursor::KeepAnchor);
        View()->setTextCursor(user);

        AppendPlain("delta");
        LogError("epsilon");

        QCOMPARE(Lines(), QStringList({"", "alpha", "beta", "gamma", "delta", "Error:->epsilon"}));
        QCOMPARE(View()->textCursor().anchor(), anchor);
        QCOMPARE(View()->textCursor().position(), position);
        QCOMPARE(View()->textCursor().selectedText(), selected);
    }

    void theViewFollowsNewLinesOnlyWhileItShowsTheEnd()
    {
        QScrollBar *bar = View()->verticalScrollBar();
        for (int i = 0; i < 200; ++i)
            AppendPlain(QString("line %1").arg(i));
        QTRY_VERIFY(bar->maximum() > 0);
        QTRY_COMPARE(bar->value(), bar->maximum());

        // At the end: the view follows.
        const int before = bar->maximum();
        for (int i = 0; i < 50; ++i)
            AppendPlain(QString("more %1").arg(i));
        QTRY_VERIFY(bar->maximum() > before);
        QTRY_COMPARE(bar->value(), bar->maximum());

        // Reading older lines: the view stays where the user put it.
        bar->setValue(bar->maximum() / 3);
        const int reading = bar->value();
        const int maximum = bar->maximum();
        for (int i = 0; i < 50; ++i)
            AppendPlain(QString("later %1").arg(i));
        QTRY_VERIFY(bar->maximum() > maximum);
        QCOMPARE(bar->value(), reading);

        // A selection up to the end stays put, and so does the view.
        View()->selectAll();
        const int selected = View()->textCursor().selectedText().size();
        bar->setValue(reading);
        for (int i = 0; i < 50; ++i)
            AppendPlain(QString("selected %1").arg(i));
        QCOMPARE(View()->textCursor().selectedText().size(), selected);
        QCOMPARE(bar->value(), reading);

        // Back at the end: following again.
        bar->setValue(bar->maximum());
        AppendPlain("last");
        QTRY_VERIFY(bar->maximum() > maximum);
        QTRY_COMPARE(bar->value(), bar->maximum());
    }

    void aFullLogDropsItsOldestLinesInOneChunkWithOneWarning()
    {
        View()->SetCapacity(5000);
        int appended = 0;
        while (!Lines().last().startsWith("Warning:->")) {
            AppendPlain(QString("line %1 of a long alert text").arg(appended++, 4, 10, QChar('0')));
            QVERIFY(appended < 1000);
        }
        const QStringList lines = Lines();
        QCOMPARE(lines.filter("Warning:->").size(), 1);
        QVERIFY(lines.last().contains("oldest lines were removed"));
        // The newest line is kept, right before the warning.
        QCOMPARE(lines.at(lines.size() - 2),
                 QString("line %1 of a long alert text").arg(appended - 1, 4, 10, QChar('0')));
        // Whole lines went, the oldest first, a small share of the log.
        QVERIFY(lines.first().startsWith("line "));
        QVERIFY(lines.first().endsWith(" of a long alert text"));
        const int firstKept = lines.first().mid(5, 4).toInt();
        QVERIFY(firstKept > 0);
        QVERIFY(firstKept < appended / 5);
        QVERIFY(Log()->characterCount() <= 5000);

        // The log goes on taking lines.
        AppendPlain("after the trim");
        QCOMPARE(Lines().last(), QString("after the trim"));
    }

    void aPassedMessageStandsWholeBeforeTheWarningOfItsTrim_data()
    {
        QTest::addColumn<int>("headlineLength");
        QTest::addColumn<int>("bodyLines");

        // Whichever line crosses the capacity, the warning comes after the body.
        QTest::newRow("the-headline-crosses") << 1000 << 1;
        QTest::newRow("the-body-crosses") << 20 << 6;
        // Larger than what a trim leaves: the message's own lines are not cut.
        QTest::newRow("larger-than-the-log") << 20 << 120;
    }

    void aPassedMessageStandsWholeBeforeTheWarningOfItsTrim()
    {
        QFETCH(int, headlineLength);
        QFETCH(int, bodyLines);

        View()->SetCapacity(5000);
        AppendPlain("an older line");
        EdisMessage message;
        message.m_header = "ZCZC\x1f"
                           "a0-l ";
        message.m_trailer = "NNNN";
        message.m_body = QByteArray(98, 'b').append("\r\n").repeated(bodyLines).chopped(2);
        int shown = 0;
        while (Lines().filter("Warning:->").isEmpty()) {
            message.m_headline = QByteArray::number(shown++).leftJustified(headlineLength, 'h');
            View()->ShowMessage(message);
            QVERIFY(shown < 100);
        }

        const QStringList lines = Lines();
        QCOMPARE(lines.filter("Warning:->").size(), 1);
        const QStringList last = lines.mid(lines.size() - bodyLines - 4);
        QCOMPARE(last.at(0), QString::fromLatin1(message.m_headline));
        QCOMPARE(last.at(1), QString::fromLatin1(message.m_header));
        QCOMPARE(last.at(2), QString("NNNN"));
        QCOMPARE(last.mid(3, bodyLines), QStringList(bodyLines, QString(98, 'b')));
        QVERIFY(last.last().startsWith("Warning:->"));
        // Whole older lines went, none of the message's.
        QVERIFY(!lines.contains("an older line"));
    }

    void aReaderKeepsTheLinesInViewWhenTheOldestAreRemoved()
    {
        View()->SetCapacity(20000);
        QScrollBar *bar = View()->verticalScrollBar();
        const auto topLine = [] { return View()->cursorForPosition(QPoint(0, 0)).block().text(); };
        int appended = 0;
        const auto appendUntilTrimmed = [&appended] {
            const int before = Lines().filter("Warning:->").size();
            while (Lines().filter("Warning:->").size() == before)
                AppendPlain(QString("line %1").arg(appended++));
        };
        appendUntilTrimmed();
        QTRY_COMPARE(bar->value(), bar->maximum());

        // Reading a line that the next trim keeps: it stays at the top of the view.
        bar->setValue(bar->maximum() / 2);
        const QString reading = topLine();
        appendUntilTrimmed();
        QVERIFY(Lines().contains(reading));
        QCOMPARE(topLine(), reading);
        QVERIFY(bar->value() < bar->maximum());

        // Back at the end: the view follows across the trim.
        bar->setValue(bar->maximum());
        appendUntilTrimmed();
        AppendPlain("the newest line");
        QTRY_COMPARE(bar->value(), bar->maximum());
    }

    void linesLoggedOnAWorkerThreadKeepTheirOrderWhileTheGuiThreadIsBusy()
    {
        LogError("gui 1");
        std::unique_ptr<QThread> worker(QThread::create([] {
            LogError("worker 1");
            LogWarning("worker 2");
        }));
        worker->start();
        // The GUI thread is busy waiting for the worker: a worker that waited for the GUI
        // thread to append its line would never end.
        QVERIFY(worker->wait(QDeadlineTimer(60000)));
        QCOMPARE(Lines(), QStringList({"", "Error:->gui 1"}));

        // A line of the GUI thread comes after the lines handed over before it.
        LogError("gui 2");
        QCOMPARE(Lines(), QStringList({"", "Error:->gui 1", "Error:->worker 1",
                                       "Warning:->worker 2", "Error:->gui 2"}));
        QCoreApplication::processEvents();
        QCOMPARE(Lines().size(), 5);
        QCOMPARE(TextFormat(Log()->findBlockByNumber(3)).foreground().color(), QColor(105, 155, 0));
    }

    void linesFromTwoWorkersArriveCompleteAndEachInItsOrder()
    {
        constexpr int kLines = 300;
        const auto work = [](QChar name) {
            return [name] {
                for (int i = 0; i < kLines; ++i)
                    LogError(QString("%1 %2").arg(name).arg(i));
            };
        };
        std::unique_ptr<QThread> first(QThread::create(work('a')));
        std::unique_ptr<QThread> second(QThread::create(work('b')));
        first->start();
        second->start();
        QTRY_COMPARE(Lines().size(), 1 + 2 * kLines);
        QVERIFY(first->wait(QDeadlineTimer(60000)));
        QVERIFY(second->wait(QDeadlineTimer(60000)));

        int next[2] = {0, 0};
        const QStringList lines = Lines().mid(1);
        for (const QString &line : lines) {
            QVERIFY(line.startsWith("Error:->"));
            const int who = line.at(8) == 'a' ? 0 : 1;
            QCOMPARE(line.mid(10).toInt(), next[who]);
            ++next[who];
        }
    }

    void bytesFromAnotherPortNeverReachTheReceiver_data()
    {
        QTest::addColumn<int>("portOffset");
        QTest::addColumn<int>("result");

        QTest::newRow("the-input-port") << 0 << 0;
        QTest::newRow("the-next-port") << 1 << -1;
        QTest::newRow("the-port-before") << -1 << -1;
    }

    void bytesFromAnotherPortNeverReachTheReceiver()
    {
        QFETCH(int, portOffset);
        QFETCH(int, result);

        QList<QByteArray> messages;
        GetReceiver().SetMessageHandler(
            [&messages](const QByteArray &message, const QDateTime &) { messages << message; });
        const int input = GetGeneralSettings().m_inSerialPort;

        // The opening of a message from the port under test, its end from the input port.
        QCOMPARE(View()->OnSerialByte(0x01, input + portOffset), result);
        QCOMPARE(View()->OnSerialByte('A', input + portOffset), result);
        QCOMPARE(View()->OnSerialByte(0x04, input), 0);
        // A whole message from the input port.
        for (const char byte : QByteArray("\x01"
                                          "B\x04"))
            QCOMPARE(View()->OnSerialByte(byte, input), 0);

        GetReceiver().SetMessageHandler(&ProcessMessage);
        if (result == 0)
            QCOMPARE(messages, QList<QByteArray>({"A\x04", "B\x04"}));
        else
            QCOMPARE(messages, QList<QByteArray>({"B\x04"}));
    }
};

ALVETRA_APP_TEST_MAIN(LogViewTest)
#include "tst_logview.moc"
