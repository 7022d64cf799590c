#include "AppTest.h"

#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CColorLabel.h"
#include "app/CFindBar.h"
#include "app/CMainFrame.h"
#include "doors/Doors.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

CMainFrame *Frame()
{
    return CAlvetraApp::Instance()->MainFrame();
}

QMenu *MenuTitled(const QString &title)
{
    const QList<QAction *> menus = Frame()->menuBar()->actions();
    for (QAction *action : menus) {
        if (action->text() == title)
            return action->menu();
    }
    return nullptr;
}

// Fills the log with some `characters` of message lines directly, far faster than passed
// messages would, and `last` after them.
void FillLog(qsizetype characters, const QString &last)
{
    QTextDocument *log = Frame()->View()->document();
    log->clear();
    const QString lines = QStringLiteral("ZCZC1a1bw 4711 Flash flood warning for the burn areas; "
                                         "move to higher ground now.\n")
                              .repeated(10'000);
    QTextCursor cursor(log);
    cursor.beginEditBlock();
    cursor.insertText(QStringLiteral("the first line\n"));
    while (log->characterCount() < characters)
        cursor.insertText(lines);
    cursor.insertText(last);
    cursor.endEditBlock();
}

// The longest the window's thread went without answering a 10 ms timer.
class LoopWatch
{
public:
    LoopWatch()
    {
        QObject::connect(&m_tick, &QTimer::timeout, &m_tick,
                         [this] { m_longest = std::max(m_longest, m_since.restart()); });
        m_since.start();
        m_tick.start(10);
    }
    qint64 LongestMs() const { return std::max(m_longest, m_since.elapsed()); }

private:
    QTimer m_tick;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

} // namespace

class MainFrameTest : public QObject
{
    Q_OBJECT

public slots:
    // The desktop's handler for local files, replaced for the help commands.
    void openLocalFile(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase()
    {
        QVERIFY(WriteEmptyFilterFile());
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        Frame()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(Frame()));
    }

    void theLabelBarKeepsTheLogoFlushRightAtEveryWidth_data()
    {
        QTest::addColumn<int>("width");

        // The logo is 38 pixels wide, the label starts at 5 and ends 16 pixels before it.
        QTest::newRow("wide") << 1200;
        QTest::newRow("the-bar-template") << 396;
        QTest::newRow("room-for-a-sliver-of-label") << 55;
        QTest::newRow("label-width-zero") << 54;
        QTest::newRow("narrower-than-the-logo") << 20;
        QTest::newRow("no-width") << 0;
    }

    void theLabelBarKeepsTheLogoFlushRightAtEveryWidth()
    {
        QFETCH(int, width);

        QWidget *bar = Frame()->LabelBar();
        bar->resize(width, bar->height());
        const QRect logo = Frame()->Logo()->geometry();
        QCOMPARE(logo.right() + 1, width);
        QCOMPARE(logo.size(), QSize(38, 36));
        QVERIFY(Frame()->Logo()->isVisible());

        CColorLabel *label = Frame()->Label();
        const int labelWidth = logo.left() - 16;
        QCOMPARE(label->isVisible(), labelWidth > 0);
        if (labelWidth > 0) {
            QCOMPARE(label->geometry(), QRect(5, 8, labelWidth, 24));
            QVERIFY(label->geometry().right() < logo.left());
        }
    }

    void resizingTheWindowLaysOutTheBarAgain()
    {
        Frame()->resize(1000, 500);
        QTRY_COMPARE(Frame()->LabelBar()->width(), Frame()->centralWidget()->width());
        QCOMPARE(Frame()->Logo()->geometry().right() + 1, Frame()->LabelBar()->width());
        QCOMPARE(Frame()->Label()->width(), Frame()->Logo()->x() - 16);
        Frame()->resize(640, 500);
        QTRY_COMPARE(Frame()->Logo()->geometry().right() + 1, Frame()->LabelBar()->width());
        QCOMPARE(Frame()->Label()->width(), Frame()->Logo()->x() - 16);
    }

    void theCaptionIsDrawnGreenOnBlack()
    {
        CColorLabel *label = Frame()->Label();
        QVERIFY(!label->text().isEmpty());
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        const QImage image = label->grab().toImage();
        int black = 0, green = 0, other = 0;
        const QRect inside = label->contentsRect();
        for (int y = inside.top(); y <= inside.bottom(); ++y) {
            for (int x = inside.left(); x <= inside.right(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel == Qt::black)
                    ++black;
                else if (pixel.red() == 0 && pixel.blue() == 0 && pixel.green() > 0)
                    ++green;
                else
                    ++other;
            }
        }
        QVERIFY(black > green);
        QVERIFY(green > 20);
        QCOMPARE(other, 0);
    }

    void theMenuBarHoldsExactlyItsFourMenus()
    {
        QStringList titles;
        const QList<QAction *> menus = Frame()->menuBar()->actions();
        for (QAction *menu : menus)
            titles << menu->text();
        QCOMPARE(titles, QStringList({"&Settings", "History", "&Help", "Test"}));
        QVERIFY(MenuTitled("&Settings")->menuAction()->isEnabled());
        QVERIFY(MenuTitled("&Help")->menuAction()->isEnabled());
        QVERIFY(!MenuTitled("Test")->menuAction()->isEnabled());
        QCOMPARE(MenuTitled("&Settings")->actions().size(), 2);
        QCOMPARE(MenuTitled("History")->actions().size(), 2);
        QCOMPARE(MenuTitled("&Help")->actions().size(), 4);
        QCOMPARE(MenuTitled("Test")->actions().size(), 1);
    }

    void eachMenuItemHasItsTextCommandAndPrompt_data()
    {
        QTest::addColumn<QString>("menu");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("prompt");

        QTest::newRow("filter-settings")
            << "&Settings" << 0 << "&Filter Settings" << 32774 << "Set the filtering parameters";
        QTest::newRow("general-settings")
            << "&Settings" << 1 << "General Settings" << 32778 << "General Alvetra settings";
        QTest::newRow("message-history")
            << "History" << 0 << QString::fromUtf8("Message History\u2026") << 32790
            << "Every message received, what was done with it, and the line's events";
        QTest::newRow("acknowledge-all")
            << "History" << 1 << "Acknowledge All" << 32797
            << "Acknowledge every passed message that waits for acknowledgement";
        QTest::newRow("alvetra-help")
            << "&Help" << 0 << "Alvetra Help" << 32776 << "Get help on operating this program";
        QTest::newRow("edis-help")
            << "&Help" << 1 << "EDIS Help" << 32777 << "Get help about EDIS in general";
        QTest::newRow("help-separator") << "&Help" << 2 << "" << 0 << "";
        QTest::newRow("about") << "&Help" << 3 << "&About Alvetra..." << 57664
                               << "Display program information, version number and copyright";
        QTest::newRow("test-file") << "Test" << 0 << "test 3" << 32773 << "";
    }

    void eachMenuItemHasItsTextCommandAndPrompt()
    {
        QFETCH(QString, menu);
        QFETCH(int, index);
        QFETCH(QString, text);
        QFETCH(int, command);
        QFETCH(QString, prompt);

        QAction *item = MenuTitled(menu)->actions().at(index);
        QCOMPARE(item->text(), text);
        QCOMPARE(item->isSeparator(), command == 0);
        if (command == 0)
            return;
        QCOMPARE(item->data().toInt(), command);
        QCOMPARE(Frame()->Command(command), item);
        QVERIFY(item->isEnabled());
        QCOMPARE(item->statusTip(), prompt);

        // Highlighting the item shows its prompt in the status bar; leaving it, "Ready".
        QLabel *ready = Frame()->statusBar()->findChild<QLabel *>("messagePane");
        QCOMPARE(ready->text(), QString("Ready"));
        item->showStatusText(Frame());
        QCOMPARE(Frame()->statusBar()->currentMessage(), prompt);
        QCOMPARE(ready->isVisible(), prompt.isEmpty());
        QStatusTipEvent leave{QString()};
        QCoreApplication::sendEvent(Frame(), &leave);
        QVERIFY(ready->isVisible());
    }

    void eachKeyOfTheWindowReachesItsCommandAlone_data()
    {
        QTest::addColumn<QKeySequence>("key");
        QTest::addColumn<int>("command");

        QTest::newRow("ctrl-n") << QKeySequence("Ctrl+N") << 57600;
        QTest::newRow("ctrl-o") << QKeySequence("Ctrl+O") << 57601;
        QTest::newRow("ctrl-s") << QKeySequence("Ctrl+S") << 57603;
        QTest::newRow("ctrl-p") << QKeySequence("Ctrl+P") << 57607;
        QTest::newRow("ctrl-z") << QKeySequence("Ctrl+Z") << 57643;
        QTest::newRow("alt-backspace") << QKeySequence("Alt+Backspace") << 57643;
        QTest::newRow("ctrl-x") << QKeySequence("Ctrl+X") << 57635;
        QTest::newRow("shift-delete") << QKeySequence("Shift+Del") << 57635;
        QTest::newRow("ctrl-c") << QKeySequence("Ctrl+C") << 57634;
        QTest::newRow("ctrl-insert") << QKeySequence("Ctrl+Ins") << 57634;
        QTest::newRow("ctrl-v") << QKeySequence("Ctrl+V") << 57637;
        QTest::newRow("shift-insert") << QKeySequence("Shift+Ins") << 57637;
        QTest::newRow("ctrl-a") << QKeySequence("Ctrl+A") << 57642;
        QTest::newRow("ctrl-f") << QKeySequence("Ctrl+F") << 57636;
        QTest::newRow("f3") << QKeySequence("F3") << 57640;
        QTest::newRow("ctrl-h") << QKeySequence("Ctrl+H") << 57641;
        QTest::newRow("alt-enter") << QKeySequence("Alt+Return") << 57860;
        QTest::newRow("f6") << QKeySequence("F6") << 57680;
        QTest::newRow("shift-f6") << QKeySequence("Shift+F6") << 57681;
        QTest::newRow("esc") << QKeySequence("Esc") << 32768;
        QTest::newRow("ctrl-j") << QKeySequence("Ctrl+J") << 32790;
    }

    void eachKeyOfTheWindowReachesItsCommandAlone()
    {
        QFETCH(QKeySequence, key);
        QFETCH(int, command);

        QAction *action = Frame()->Command(command);
        QVERIFY(action);
        QVERIFY(action->shortcuts().contains(key));
        // Two commands on one key make the key do nothing at all.
        int holders = 0;
        const QList<QAction *> actions = Frame()->findChildren<QAction *>();
        for (QAction *other : actions)
            holders += other->shortcuts().contains(key) ? 1 : 0;
        QCOMPARE(holders, 1);
    }

    void copyAndSelectAllWorkOnTheLogWhileEditingKeysChangeNothing_data()
    {
        QTest::addColumn<QKeySequence>("key");
        QTest::addColumn<bool>("copies");

        QTest::newRow("ctrl-c") << QKeySequence("Ctrl+C") << true;
        QTest::newRow("ctrl-insert") << QKeySequence("Ctrl+Ins") << true;
        QTest::newRow("ctrl-x") << QKeySequence("Ctrl+X") << false;
        QTest::newRow("shift-delete") << QKeySequence("Shift+Del") << false;
        QTest::newRow("ctrl-v") << QKeySequence("Ctrl+V") << false;
        QTest::newRow("shift-insert") << QKeySequence("Shift+Ins") << false;
        QTest::newRow("ctrl-z") << QKeySequence("Ctrl+Z") << false;
        QTest::newRow("alt-backspace") << QKeySequence("Alt+Backspace") << false;
        QTest::newRow("typed-letter") << QKeySequence("x") << false;
        QTest::newRow("delete") << QKeySequence("Del") << false;
        QTest::newRow("backspace") << QKeySequence("Backspace") << false;
        QTest::newRow("return") << QKeySequence("Return") << false;
    }

    void copyAndSelectAllWorkOnTheLogWhileEditingKeysChangeNothing()
    {
        QFETCH(QKeySequence, key);
        QFETCH(bool, copies);

        CAlvetraView *view = Frame()->View();
        view->document()->clear();
        view->AppendText("first alert", true, 230, Rgb(0, 0, 0), false, false);
        view->AppendText("second alert", true, 230, Rgb(0, 0, 0), false, false);
        const QString log = view->toPlainText();
        view->setFocus();
        QApplication::clipboard()->setText("from elsewhere");

        QTest::keySequence(view, QKeySequence("Ctrl+A"));
        QCOMPARE(view->textCursor().selectedText().size(), log.size());
        QTest::keySequence(view, key);

        QCOMPARE(view->toPlainText(), log);
        QCOMPARE(QApplication::clipboard()->text(), copies ? log : QString("from elsewhere"));
    }

    void findAndFindNextWalkThroughTheLogAndGoRoundItsEnd()
    {
        CAlvetraView *view = Frame()->View();
        view->document()->clear();
        for (const char *line : {"FIRE near Bishop", "all clear", "second fire", "Fire out"})
            view->AppendText(line, true, 230, Rgb(0, 0, 0), false, false);
        QTextCursor start(view->document());
        view->setTextCursor(start);
        view->setFocus();

        QTest::keySequence(view, QKeySequence("Ctrl+F"));
        CFindBar *bar = Frame()->FindBar();
        QVERIFY(bar->isVisible());
        auto *findText = bar->findChild<QLineEdit *>("findText");
        QTRY_VERIFY(findText->hasFocus());
        QTest::keyClicks(findText, "fire");
        QTest::keyClick(findText, Qt::Key_Return);
        QCOMPARE(view->textCursor().selectedText(), QString("FIRE"));
        const auto line = [view] { return view->textCursor().block().blockNumber(); };
        QCOMPARE(line(), 1);

        QTest::keySequence(view, QKeySequence("F3"));
        QCOMPARE(line(), 3);
        QTest::keySequence(view, QKeySequence("F3"));
        QCOMPARE(line(), 4);
        QTest::keySequence(view, QKeySequence("F3"));
        QCOMPARE(line(), 1);
        QCOMPARE(Frame()->statusBar()->currentMessage(), QString("Passed the end of the log."));

        bar->SetMatchCase(true);
        QVERIFY(bar->FindNext());
        QCOMPARE(line(), 3);
        QCOMPARE(view->textCursor().selectedText(), QString("fire"));

        // Not there: the selection stays, the status bar says so.
        bar->SetFindText("flood");
        QVERIFY(!bar->FindNext());
        QCOMPARE(line(), 3);
        QCOMPARE(Frame()->statusBar()->currentMessage(),
                 QString("Cannot find the string 'flood'."));

        QTest::keySequence(view, QKeySequence("Esc"));
        QVERIFY(!bar->isVisible());
    }

    void aLargeSelectionIsCopiedAsAPasteHasAlwaysGivenIt_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<bool>("byKey");

        // Beyond the size up to which the rich form is kept. Not by the key: the context menu's
        // Copy and a drag, which take the selection as the primary selection does.
        QTest::newRow("select-all") << 0 << -1 << true;
        QTest::newRow("inside-lines") << 7 << 310'000 << true;
        QTest::newRow("select-all-not-by-the-key") << 0 << -1 << false;
    }

    void aLargeSelectionIsCopiedAsAPasteHasAlwaysGivenIt()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(bool, byKey);

        // Line breaks inside a line, tabs, no-break spaces and a character beyond Latin-1.
        FillLog(400'000, QStringLiteral("last\tline\u2028continued\u00a0here \u20ac 5"));
        CAlvetraView *view = Frame()->View();
        view->setFocus();
        QApplication::clipboard()->setText("from elsewhere");
        if (to < 0) {
            QTest::keySequence(view, QKeySequence("Ctrl+A"));
        } else {
            QTextCursor part(view->document());
            part.setPosition(from);
            part.setPosition(to, QTextCursor::KeepAnchor);
            view->setTextCursor(part);
        }
        // What Qt's own copy put on the clipboard.
        const QString before = QTextDocumentFragment(view->textCursor()).toPlainText();
        if (byKey)
            QTest::keySequence(view, QKeySequence("Ctrl+C"));
        else
            view->copy();

        QTRY_VERIFY_WITH_TIMEOUT(QApplication::clipboard()->text() != "from elsewhere", 20000);
        QCOMPARE(QApplication::clipboard()->text().size(), before.size());
        QVERIFY(QApplication::clipboard()->text() == before);
        Frame()->View()->document()->clear();
    }

    void theWindowAnswersWhileAFullLogIsCopiedAndSearched()
    {
        const QString needle = QStringLiteral("EARTHQUAKE NEAR THE END OF THE LOG");
        FillLog(16'000'000, needle);
        CAlvetraView *view = Frame()->View();
        view->setFocus();
        QApplication::clipboard()->setText("from elsewhere");
        const qsizetype size = view->document()->characterCount() - 1;

        {
            const LoopWatch watch;
            QTest::keySequence(view, QKeySequence("Ctrl+A"));
            QTest::keySequence(view, QKeySequence("Ctrl+C"));
            QTRY_COMPARE_WITH_TIMEOUT(QApplication::clipboard()->text().size(), size, 60000);
            // Qt's own copy held the window for seconds here; the bound is generous because
            // the sanitizers and a shared machine slow everything.
            QCOMPARE_LE(watch.LongestMs(), 1000);
        }

        view->setTextCursor(QTextCursor(view->document()));
        CFindBar *bar = Frame()->FindBar();
        bar->SetMatchCase(false);
        bar->SetFindText(needle.toLower());
        bool saidSo = false;
        QTimer look;
        connect(&look, &QTimer::timeout, &look, [&] {
            saidSo = saidSo
                     || Frame()->statusBar()->currentMessage()
                            == QString::fromUtf8("Searching the log\u2026");
        });
        look.start(5);
        const LoopWatch watch;
        QTest::keySequence(view, QKeySequence("F3"));
        QTRY_COMPARE_WITH_TIMEOUT(view->textCursor().selectedText(), needle, 60000);
        // Not there: both ways round the log.
        bar->SetFindText("tsunami");
        QTest::keySequence(view, QKeySequence("F3"));
        QTRY_COMPARE_WITH_TIMEOUT(Frame()->statusBar()->currentMessage(),
                                  QString("Cannot find the string 'tsunami'."), 60000);
        QCOMPARE(view->textCursor().selectedText(), needle);
        // Backward from the end to the very start.
        bar->SetFindText("FIRST LINE");
        QVERIFY(!bar->FindNext(true));
        QTRY_COMPARE_WITH_TIMEOUT(view->textCursor().selectedText(), QString("first line"), 60000);
        QCOMPARE(view->textCursor().selectionStart(), 4);
        QCOMPARE_LE(watch.LongestMs(), 1000);
        QVERIFY2(saidSo, "The find bar never said that it was searching");
        view->document()->clear();
    }

    void findNextSelectsWhatTheDocumentsOwnFindSelects_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("backward");
        QTest::addColumn<bool>("matchCase");
        QTest::addColumn<bool>("wholeWord");

        QTest::newRow("forward") << "fire" << false << false << false;
        QTest::newRow("backward") << "fire" << true << false << false;
        QTest::newRow("match-case") << "Fire" << false << true << false;
        QTest::newRow("whole-word") << "fire" << false << false << true;
        QTest::newRow("whole-word-backward") << "fire" << true << false << true;
        QTest::newRow("no-break-space-as-space") << "at noon" << false << false << false;
        QTest::newRow("across-lines-never") << "out\nfire" << false << false << false;
    }

    // From every place of the caret, with going round the end as the bar does.
    void findNextSelectsWhatTheDocumentsOwnFindSelects()
    {
        QFETCH(QString, text);
        QFETCH(bool, backward);
        QFETCH(bool, matchCase);
        QFETCH(bool, wholeWord);

        CAlvetraView *view = Frame()->View();
        view->document()->clear();
        for (const char *line :
             {"FIRE near Bishop, firewall", "", "fire at\u00a0noon; wildfire", "Fire out", "fire"})
            view->AppendText(QString::fromUtf8(line), true, 230, Rgb(0, 0, 0), false, false);
        CFindBar *bar = Frame()->FindBar();
        bar->SetFindText(text);
        bar->SetMatchCase(matchCase);
        for (QCheckBox *box : bar->findChildren<QCheckBox *>()) {
            if (box->text() == "&Whole word")
                box->setChecked(wholeWord);
        }
        QTextDocument::FindFlags flags;
        flags.setFlag(QTextDocument::FindBackward, backward);
        flags.setFlag(QTextDocument::FindCaseSensitively, matchCase);
        flags.setFlag(QTextDocument::FindWholeWords, wholeWord);

        QTextDocument *log = view->document();
        for (int at = 0; at < log->characterCount(); ++at) {
            QTextCursor caret(log);
            caret.setPosition(at);
            QTextCursor expected = log->find(text, caret, flags);
            if (expected.isNull()) {
                QTextCursor round(log);
                if (backward)
                    round.movePosition(QTextCursor::End);
                expected = log->find(text, round, flags);
            }
            view->setTextCursor(caret);
            QCOMPARE(bar->FindNext(backward), !expected.isNull());
            QVERIFY(!bar->IsSearching());
            const QTextCursor found = view->textCursor();
            const int start = expected.isNull() ? at : expected.selectionStart();
            const int end = expected.isNull() ? at : expected.selectionEnd();
            QCOMPARE(QPair(found.selectionStart(), found.selectionEnd()), QPair(start, end));
        }
        bar->SetMatchCase(false);
        for (QCheckBox *box : bar->findChildren<QCheckBox *>())
            box->setChecked(false);
    }

    void replaceShowsNoWayToChangeTheReadOnlyLog()
    {
        CAlvetraView *view = Frame()->View();
        const QString log = view->toPlainText();
        view->setFocus();
        QTest::keySequence(view, QKeySequence("Ctrl+H"));
        CFindBar *bar = Frame()->FindBar();
        QVERIFY(bar->isVisible());
        const QList<QPushButton *> buttons = bar->findChildren<QPushButton *>();
        for (QPushButton *button : buttons) {
            if (button->text().contains("Replace"))
                QVERIFY(!button->isEnabled());
        }
        QCOMPARE(view->toPlainText(), log);
        bar->hide();
    }

    void theHelpCommandsOpenTheirPagesBelowTheProgramFolder_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("page");

        QTest::newRow("alvetra-help") << 32776 << "/Help/index1.html";
        QTest::newRow("edis-help") << 32777 << "/Help/index2.html";
    }

    void theHelpCommandsOpenTheirPagesBelowTheProgramFolder()
    {
        QFETCH(int, command);
        QFETCH(QString, page);

        m_opened.clear();
        QDesktopServices::setUrlHandler("file", this, "openLocalFile");
        Frame()->Command(command)->trigger();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(m_opened, QList<QUrl>({QUrl::fromLocalFile(GetProgramFolder() + page)}));
        QVERIFY(!GetProgramFolder().endsWith('/'));
    }

    void theAboutBoxNamesTheProgramAndItsVersion()
    {
        QString shown;
        QTimer::singleShot(0, this, [&shown] {
            QWidget *about = QApplication::activeModalWidget();
            QVERIFY(about);
            const QList<QLabel *> labels = about->findChildren<QLabel *>();
            for (QLabel *label : labels)
                shown += label->text() + '\n';
            about->close();
        });
        Frame()->Command(57664)->trigger();
        QVERIFY(shown.contains("Alvetra"));
        QVERIFY(shown.contains(QCoreApplication::applicationVersion()));
    }

private:
    QList<QUrl> m_opened;
};

ALVETRA_APP_TEST_MAIN(MainFrameTest)
#include "tst_mainframe.moc"
