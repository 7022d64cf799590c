#include "AppTest.h"

#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CColorLabel.h"
#include "app/CFindBar.h"
#include "app/CMainFrame.h"
#include "doors/Doors.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBlock>
#include <QTimer>
#include <QUrl>

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
