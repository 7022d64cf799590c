#include "AppTest.h"

#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"

#include "doors/Doors.h"

#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>

#include <csignal>

class ApplicationTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(WriteEmptyFilterFile());
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
    }

    void serviceObjectsAreBuiltInTheirOrderAndDestroyedInReverse()
    {
        // Members are constructed in declaration order, which is address order, and destroyed
        // in reverse; the ports must go before the receiver they feed.
        CAlvetraApp *app = CAlvetraApp::Instance();
        const auto address = [](const auto &member) { return reinterpret_cast<quintptr>(&member); };
        QVERIFY(address(app->m_receiver) < address(app->m_filterSettings));
        QVERIFY(address(app->m_filterSettings) < address(app->m_inPort));
        QVERIFY(address(app->m_inPort) < address(app->m_outPort));
        QVERIFY(address(app->m_outPort) < address(app->m_generalSettings));
        QCOMPARE(&GetReceiver(), &app->m_receiver);
        QCOMPARE(&GetGeneralSettings(), &app->m_generalSettings);
    }

    void startUpSavesTheGeneralSettingsAtOnce()
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        QCOMPARE(store.value("Settings/SerialPortRecoverTime").toInt(), 1000);
        QCOMPARE(store.value("Settings/InSerialPort").toInt(), 2);
    }

    void theCaptionNamesTheLog()
    {
        CMainFrame *frame = CAlvetraApp::Instance()->MainFrame();
        QVERIFY(frame);
        QCOMPARE(frame->windowTitle(), QString("DorvaneAtlas - Alvetra"));
        QVERIFY(frame->isVisible());
        QVERIFY(frame->View()->isReadOnly());
    }

    // Last: it ends the event loop of the program.
    void closingTheWindowWithAModifiedLogAsksNothingAndEndsTheProgram()
    {
        CAlvetraApp *app = CAlvetraApp::Instance();
        CMainFrame *frame = app->MainFrame();
        frame->View()->AppendText("a line the user never saved", true, 230, Rgb(0, 0, 0), false,
                                  false);
        QVERIFY(app->Document()->IsModified());

        bool asked = false;
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, this, [&] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                asked = true;
                modal->close();
            }
        });
        watchdog.start(50);
        QTimer::singleShot(0, frame, &QWidget::close);
        QTimer::singleShot(10000, app, [] { QCoreApplication::exit(42); });
        QCOMPARE(app->exec(), 0);
        QVERIFY(!asked);
        QVERIFY(!frame->isVisible());
    }

    // After the end above: the signal ends every loop there is, the box's included.
    void aSignalWhileTheSaveBoxIsUpKeepsTheLogAndTheLinesClosed()
    {
        CAlvetraApp *app = CAlvetraApp::Instance();
        CMainFrame *frame = app->MainFrame();
        frame->View()->AppendText("a line the signal must not clear", true, 230, Rgb(0, 0, 0),
                                  false, false);
        QVERIFY(app->Document()->IsModified());
        QTimer signalWhenAsked;
        connect(&signalWhenAsked, &QTimer::timeout, this, [&] {
            if (QApplication::activeModalWidget()) {
                signalWhenAsked.stop();
                ::raise(SIGTERM);
            }
        });
        signalWhenAsked.start(20);
        frame->OnFileNew();
        QVERIFY(app->IsEnding());
        QVERIFY(frame->View()->toPlainText().contains("a line the signal must not clear"));
        QVERIFY(!GetInPort().IsRunning());
        QVERIFY(!GetOutPort().IsRunning());
    }
};

ALVETRA_APP_TEST_MAIN(ApplicationTest)
#include "tst_application.moc"
