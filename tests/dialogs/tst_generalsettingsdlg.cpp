#include "AppTest.h"
#include "FileSizeLimit.h"

#include "app/CAlvetraView.h"
#include "dialogs/CGeneralSettingsDlg.h"
#include "doors/Doors.h"
#include "settings/GeneralSettings.h"
#include "tools/Pty.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace {

const QString kPortMessage = "You changed a serial port setting. This will only take effect "
                             "after you restart Alvetra";
const QString kComPortMessage = "You chose to have messages sent to a COM port. This will only "
                                "take effect after you restart Alvetra";

QSettings Store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
}

QComboBox *List(const QDialog &dialog, int id)
{
    return dialog.findChild<QComboBox *>(QString::number(id));
}

template<typename Widget = QWidget>
Widget *Control(const QDialog &dialog, int id)
{
    return dialog.findChild<Widget *>(QString::number(id));
}

// Answers every message box the dialog shows with OK and keeps its text.
class MessageBoxWatcher : public QObject
{
public:
    MessageBoxWatcher()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                m_texts << box->windowTitle() + ": " + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_poll.start(10);
    }
    QStringList m_texts;

private:
    QTimer m_poll;
};

} // namespace

class GeneralSettingsDlgTest : public QObject
{
    Q_OBJECT

private:
    static void SetSettings(int in,
                            int out,
                            int sendToFile,
                            int sendToPrinter,
                            int sendToPort,
                            int silenceMinutes = GeneralSettings::kDefaultSilenceMinutes)
    {
        GeneralSettings &settings = GetGeneralSettings();
        settings.m_silenceMinutes = silenceMinutes;
        settings.m_notifyPassedMessages = 1;
        settings.m_inSerialPort = in;
        settings.m_outSerialPort = out;
        settings.m_sendToFile = sendToFile;
        settings.m_sendToPrinter = sendToPrinter;
        settings.m_sendToPort = sendToPort;
        settings.Save();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WriteEmptyFilterFile());
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
    }

    void theControlsStandInTemplateTabOrder()
    {
        SetSettings(2, 1, 1, 1, 1);
        CGeneralSettingsDlg dialog;
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QString("General Settings"));
        QCOMPARE(dialog.focusWidget(), Control(dialog, 1));

        QStringList chain;
        QWidget *widget = Control(dialog, 1);
        do {
            // The spin box's editor takes the focus for the box, as one stop.
            const bool editor = qobject_cast<QAbstractSpinBox *>(widget->parentWidget());
            // The second page's controls are no stops while the first page shows.
            if (widget->focusPolicy() & Qt::TabFocus && !editor && widget->isVisible()) {
                const auto *button = qobject_cast<QAbstractButton *>(widget);
                chain << widget->objectName() + ' ' + (button ? button->text() : QString());
            }
            widget = widget->nextInFocusChain();
        } while (widget != Control(dialog, 1) && chain.size() < 20);
        QStringList expected{"1 OK",
                             "2 Cancel",
                             "1032 ",
                             "1040 ",
                             "1035 ",
                             "1041 ",
                             "1003 Sent to file",
                             "1004 Sent to printer",
                             "1005 Sent to COM port",
                             "1036 ",
                             "1042 Start Alvetra when I log in",
                             "1043 Notify me of passed messages",
                             "1037 ",
                             "1038 Try",
                             "1044 Station >>"};
#ifdef Q_OS_WIN
        expected.removeAll("1040 ");
        expected.removeAll("1041 ");
#endif
        QCOMPARE(chain, expected);
        QStringList entries;
        for (int i = 0; i < List(dialog, 1035)->count(); ++i)
            entries << List(dialog, 1035)->itemText(i);
        QCOMPARE(entries, (QStringList{"1", "2", "3", "4", "5", "6", "7", "8"}));
    }

    void okStoresChangedPortsAndTellsWhatWaitsForARestart_data()
    {
        QTest::addColumn<int>("storedIn");
        QTest::addColumn<int>("storedOut");
        QTest::addColumn<int>("storedSendToPort");
        QTest::addColumn<QString>("pickIn"); // empty: list left alone
        QTest::addColumn<QString>("pickOut");
        QTest::addColumn<bool>("clickSendToPort");
        QTest::addColumn<QString>("shownIn");
        QTest::addColumn<int>("expectedIn");
        QTest::addColumn<int>("expectedOut");
        QTest::addColumn<QStringList>("expectedMessages");

        QTest::newRow("nothing-changed") << 2 << 1 << 1 << ""
                                         << "" << false << "2" << 2 << 1 << QStringList{};
        QTest::newRow("stored-9-shows-1-and-is-kept-when-untouched")
            << 9 << 1 << 1 << ""
            << "" << false << "1" << 9 << 1 << QStringList{};
        QTest::newRow("stored-9-picked-back-to-1-is-untouched-too")
            << 9 << 1 << 1 << "1"
            << "" << false << "1" << 9 << 1 << QStringList{};
        QTest::newRow("stored-9-replaced-by-a-listed-port")
            << 9 << 1 << 1 << "4"
            << "" << false << "1" << 4 << 1 << QStringList{"Alvetra: " + kPortMessage};
        QTest::newRow("both-ports-changed-one-message")
            << 2 << 1 << 1 << "5"
            << "6" << false << "2" << 5 << 6 << QStringList{"Alvetra: " + kPortMessage};
        QTest::newRow("only-the-output-port-changed-leaves-the-input-alone")
            << 0 << 1 << 1 << ""
            << "3" << false << "1" << 0 << 3 << QStringList{"Alvetra: " + kPortMessage};
        QTest::newRow("ports-changed-and-com-port-newly-checked-port-message-first")
            << 2 << 1 << 0 << "3"
            << "" << true << "2" << 3 << 1
            << QStringList{"Alvetra: " + kPortMessage, "Alvetra: " + kComPortMessage};
        QTest::newRow("com-port-newly-checked-alone")
            << 2 << 1 << 0 << ""
            << "" << true << "2" << 2 << 1 << QStringList{"Alvetra: " + kComPortMessage};
        QTest::newRow("com-port-switched-off-says-nothing")
            << 2 << 1 << 1 << ""
            << "" << true << "2" << 2 << 1 << QStringList{};
    }

    void okStoresChangedPortsAndTellsWhatWaitsForARestart()
    {
        QFETCH(int, storedIn);
        QFETCH(int, storedOut);
        QFETCH(int, storedSendToPort);
        QFETCH(QString, pickIn);
        QFETCH(QString, pickOut);
        QFETCH(bool, clickSendToPort);
        // Minutes past the box's range, kept like a port number the list does not offer.
        SetSettings(storedIn, storedOut, 1, 1, storedSendToPort, 5000);

        CGeneralSettingsDlg dialog;
        dialog.show();
        QTEST(List(dialog, 1032)->currentText(), "shownIn");
        if (!pickIn.isEmpty())
            List(dialog, 1032)->setCurrentText(pickIn);
        if (!pickOut.isEmpty())
            List(dialog, 1035)->setCurrentText(pickOut);
        if (clickSendToPort)
            QTest::mouseClick(Control(dialog, 1005), Qt::LeftButton, {}, QPoint(6, 8));

        MessageBoxWatcher watcher;
        QTest::mouseClick(Control(dialog, 1), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QTEST(watcher.m_texts, "expectedMessages");

        const GeneralSettings &settings = GetGeneralSettings();
        QTEST(settings.m_inSerialPort, "expectedIn");
        QTEST(settings.m_outSerialPort, "expectedOut");
        QCOMPARE(settings.m_sendToPort, clickSendToPort ? 1 - storedSendToPort : storedSendToPort);
        QTEST(Store().value("Settings/InSerialPort").toInt(), "expectedIn");
        QTEST(Store().value("Settings/OutSerialPort").toInt(), "expectedOut");
        QCOMPARE(Store().value("Supervision/SilenceMinutes").toInt(), 5000);
    }

    // The second page comes over the first and goes again without moving any of its controls;
    // OK stores what was typed there.
    void theSecondPageKeepsTheFirstAsItWasAndItsValuesAreStored()
    {
        SetSettings(2, 1, 1, 1, 1);
        CGeneralSettingsDlg dialog;
        dialog.show();
        // The template's controls, by id.
        const auto placed = [&dialog] {
            QMap<int, QRect> places;
            for (QWidget *control : dialog.findChildren<QWidget *>()) {
                bool id = false;
                const int number = control->objectName().toInt(&id);
                if (id && control->isVisible())
                    places.insert(number, control->geometry());
            }
            return places;
        };
        const QMap<int, QRect> first = placed();
        const QSize firstSize = dialog.size();
        auto *station = Control<QLineEdit>(dialog, 1045);
        QVERIFY(!station->isVisible());
        QTest::mouseClick(Control(dialog, 1044), Qt::LeftButton);
        QVERIFY(station->isVisible());
        QCOMPARE(Control<QPushButton>(dialog, 1044)->text(), QString("<< General"));
        QVERIFY(Control(dialog, 1)->geometry().top() >= station->mapTo(&dialog, QPoint()).y());
        station->setText(" Wache 3 ");
        Control<QSpinBox>(dialog, 1046)->setValue(7);
        Control<QLineEdit>(dialog, 1047)->setText("/usr/local/bin/alvetra-trouble-mail");
        // The alerts: off by default, their levels and minutes greyed until switched on.
        auto *acknowledge = Control<QCheckBox>(dialog, 1070);
        QVERIFY(!acknowledge->isChecked());
        QVERIFY(!Control(dialog, 1074)->isEnabled());
        QCOMPARE(acknowledge->text(), QString("Passed messages wait for acknowledgement"));
        acknowledge->click();
        QVERIFY(Control(dialog, 1074)->isEnabled());
        Control<QCheckBox>(dialog, 1074)->click(); // Test
        Control<QSpinBox>(dialog, 1076)->setValue(2);
        QVERIFY(Control(dialog, 1)->geometry().top()
                >= Control(dialog, 1077)->mapTo(&dialog, QPoint()).y());
        Control<QLineEdit>(dialog, 1060)->setText(" 127.0.0.1:9466 ");
        QTest::mouseClick(Control(dialog, 1044), Qt::LeftButton);
        QCOMPARE(dialog.size(), firstSize);
        QCOMPARE(placed(), first);

        QTest::mouseClick(Control(dialog, 1), Qt::LeftButton);
        QCOMPARE(GetGeneralSettings().m_stationName, QString("Wache 3"));
        QCOMPARE(Store().value("Station/Name").toString(), QString("Wache 3"));
        QCOMPARE(Store().value("Supervision/FrameSilenceMinutes").toInt(), 7);
        QCOMPARE(Store().value("Hooks/OnTrouble").toString(),
                 QString("/usr/local/bin/alvetra-trouble-mail"));
        QVERIFY(GetGeneralSettings().m_alerts.m_acknowledge);
        QCOMPARE(Store().value("Alerts/Handling").toString(), QString("abce"));
        QCOMPARE(Store().value("Alerts/RepeatMinutes").toInt(), 2);
        QCOMPARE(Store().value("Alerts/EscalateMinutes").toInt(), 15);
        GetGeneralSettings().m_alerts = {};
        QCOMPARE(GetGeneralSettings().m_monitor.m_listen, QString("127.0.0.1:9466"));
        QCOMPARE(Store().value("Monitor/Listen").toString(), QString("127.0.0.1:9466"));
    }

    void okStoresTheSwitchesAsZeroOrOne()
    {
        SetSettings(2, 1, 1, 5, -3);
        CGeneralSettingsDlg dialog;
        dialog.show();
        QVERIFY(Control<QCheckBox>(dialog, 1004)->isChecked());
        QVERIFY(Control<QCheckBox>(dialog, 1005)->isChecked());
        QTest::mouseClick(Control(dialog, 1003), Qt::LeftButton, {}, QPoint(6, 8));
        QVERIFY(Control<QCheckBox>(dialog, 1043)->isChecked());
        QTest::mouseClick(Control(dialog, 1043), Qt::LeftButton, {}, QPoint(6, 8));
        // The silence alarm's minutes take effect at once, so they bring no restart notice.
        auto *minutes = Control<QSpinBox>(dialog, 1036);
        QCOMPARE(minutes->text(), QString("60 min"));
        minutes->setValue(0);
        QCOMPARE(minutes->text(), QString("off"));
        MessageBoxWatcher watcher;
        QTest::mouseClick(Control(dialog, 1), Qt::LeftButton);

        QCOMPARE(GetGeneralSettings().m_silenceMinutes, 0);
        QCOMPARE(Store().value("Supervision/SilenceMinutes").toInt(), 0);
        QCOMPARE(Store().value("Settings/Sendtofile").toInt(), 0);
        QCOMPARE(Store().value("Settings/Sendtoprinter").toInt(), 1);
        QCOMPARE(Store().value("Settings/Sendtoport").toInt(), 1);
        QCOMPARE(Store().value("Desktop/NotifyPassedMessages").toInt(), 0);
        QCOMPARE(GetGeneralSettings().m_notifyPassedMessages, 0);
        QCOMPARE(watcher.m_texts, QStringList{});
    }

    void theLogInSwitchWritesAndRemovesAValidAutostartEntry()
    {
        const QString entry
            = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/alvetra.desktop";
        QFile::remove(entry);
        for (const bool on : {true, false}) {
            CGeneralSettingsDlg dialog;
            dialog.show();
            QCOMPARE(Control<QCheckBox>(dialog, 1042)->isChecked(), !on);
            QTest::mouseClick(Control(dialog, 1042), Qt::LeftButton, {}, QPoint(6, 8));
            QTest::mouseClick(Control(dialog, 1), Qt::LeftButton);
            QCOMPARE(QFile::exists(entry), on);
            if (!on)
                break;
            QFile file(entry);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            QVERIFY2(text.contains("\nExec=alvetra --minimized\n"), text.constData());
            QVERIFY2(text.contains("\nPath=" + QDir::homePath().toUtf8() + "\n"), text.constData());
            if (QStandardPaths::findExecutable("desktop-file-validate").isEmpty())
                QSKIP("desktop-file-validate is missing; scripts/setup.sh test installs it");
            QProcess validate;
            validate.start("desktop-file-validate", {entry});
            QVERIFY(validate.waitForFinished(30000));
            const QByteArray report
                = validate.readAllStandardOutput() + validate.readAllStandardError();
            QVERIFY2(validate.exitCode() == 0 && report.isEmpty(), report.constData());
        }
    }

    void anOkWhoseSaveFailsSaysSoAndTheValuesStayInForce()
    {
        SetSettings(2, 1, 1, 1, 1);
        CGeneralSettingsDlg dialog;
        dialog.show();
        QTest::mouseClick(Control(dialog, 1003), Qt::LeftButton, {}, QPoint(6, 8));
        const QString log = GetLogView()->toPlainText();
        {
            // Smaller than the store's file: the write fails as on a full disk.
            FileSizeLimit limit(16);
            QVERIFY(limit.IsOk());
            QTest::mouseClick(Control(dialog, 1), Qt::LeftButton);
        }
        QVERIFY(!dialog.isVisible());

        QCOMPARE(GetLogView()->toPlainText().mid(log.size()),
                 "\nError:->The general settings could not be saved in " + Store().fileName()
                     + ". They stay in force until Alvetra ends.");
        QCOMPARE(GetGeneralSettings().m_sendToFile, 0);
    }

    void cancelStoresNothingAndSaysNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("cancel-button") << "button";
        QTest::newRow("escape-key") << "escape";
        QTest::newRow("close-box") << "close";
    }

    void cancelStoresNothingAndSaysNothing()
    {
        QFETCH(QString, how);
        SetSettings(2, 1, 1, 1, 0);
        QFile file(Store().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();

        CGeneralSettingsDlg dialog;
        dialog.show();
        List(dialog, 1032)->setCurrentText("7");
        List(dialog, 1035)->setCurrentText("8");
        const QString entry
            = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/alvetra.desktop";
        QFile::remove(entry);
        for (int id : {1003, 1004, 1005, 1042, 1043})
            QTest::mouseClick(Control(dialog, id), Qt::LeftButton, {}, QPoint(6, 8));
        Control<QSpinBox>(dialog, 1036)->setValue(5);
        MessageBoxWatcher watcher;
        if (how == "button")
            QTest::mouseClick(Control(dialog, 2), Qt::LeftButton);
        else if (how == "escape")
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            dialog.close();
        QVERIFY(!dialog.isVisible());

        const GeneralSettings &settings = GetGeneralSettings();
        QCOMPARE(settings.m_inSerialPort, 2);
        QCOMPARE(settings.m_outSerialPort, 1);
        QCOMPARE(settings.m_sendToFile, 1);
        QCOMPARE(settings.m_sendToPrinter, 1);
        QCOMPARE(settings.m_sendToPort, 0);
        QCOMPARE(settings.m_silenceMinutes, 60);
        QCOMPARE(settings.m_notifyPassedMessages, 1);
        QVERIFY(!QFile::exists(entry));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QCOMPARE(watcher.m_texts, QStringList{});
    }

    void eachPortListHasTheDevicesBesideItAndANamedOneStaysSelected()
    {
#ifdef Q_OS_WIN
        QSKIP("COM numbers are the device names themselves on Windows");
#else
        Pty line;
        QVERIFY(line.IsOpen());
        Store().setValue("Ports/COM9", "/dev/ttyUSB-unplugged");
        Store().setValue("Ports/COM2", line.DevicePath());
        SetSettings(9, 3, 1, 1, 1);
        CGeneralSettingsDlg dialog;
        dialog.show();
        auto *inDevice = List(dialog, 1040);
        auto *outDevice = List(dialog, 1041);
        // The list shows "1", but 9 stays in force while the list is left alone.
        QCOMPARE(inDevice->currentText(), QString("/dev/ttyUSB-unplugged (absent)"));
        QCOMPARE(outDevice->currentText(), QString("default (/dev/ttyS2)"));
        QVERIFY(outDevice->geometry().right() < dialog.width());

        List(dialog, 1032)->setCurrentText("2");
        QCOMPARE(inDevice->currentText(), line.DevicePath() + " (present)");
        // Both lists stand for COM 2 now; a pick in one shows in the other.
        List(dialog, 1035)->setCurrentText("2");
        inDevice->setCurrentIndex(0);
        emit inDevice->activated(0);
        QCOMPARE(outDevice->currentText(), QString("default (/dev/ttyS1)"));

        MessageBoxWatcher watcher;
        QTest::mouseClick(Control(dialog, 1), Qt::LeftButton);
        QCOMPARE(watcher.m_texts, QStringList{"Alvetra: " + kPortMessage});
        QVERIFY(!Store().contains("Ports/COM2"));
        QCOMPARE(Store().value("Ports/COM9").toString(), QString("/dev/ttyUSB-unplugged"));
        Store().remove("Ports");
#endif
    }

    void tryRunsTheCommandOnASampleAndShowsItsCodeAndLastErrorLine()
    {
        SetSettings(2, 1, 1, 1, 1);
        CGeneralSettingsDlg dialog;
        dialog.show();
        auto *command = Control<QLineEdit>(dialog, 1037);
        command->setText("sh -c \"echo $ALVETRA_LINE $ALVETRA_HEADLINE >&2; exit 3\"");
        QTest::mouseClick(Control(dialog, 1038), Qt::LeftButton);
        QTRY_COMPARE(Control<QLabel>(dialog, 1039)->toolTip(),
                     QString("Exit code 3 - 2 SAMPLE MESSAGE - NOT AN ALERT"));
        QVERIFY(Control(dialog, 1038)->isEnabled());
        // The troubles' command has a Try of its own, on a made-up trouble that says so.
        QTest::mouseClick(Control(dialog, 1044), Qt::LeftButton);
        Control<QLineEdit>(dialog, 1045)->setText("Wache 3");
        Control<QLineEdit>(dialog, 1047)
            ->setText("sh -c \"echo $ALVETRA_EVENT $ALVETRA_STATION $ALVETRA_LINE >&2; exit 4\"");
        QTest::mouseClick(Control(dialog, 1048), Qt::LeftButton);
        QTRY_COMPARE(Control<QLabel>(dialog, 1049)->toolTip(),
                     QString("Exit code 4 - test Wache 3 2"));
        QCOMPARE(Control<QLabel>(dialog, 1039)->toolTip(),
                 QString("Exit code 3 - 2 SAMPLE MESSAGE - NOT AN ALERT"));
        MessageBoxWatcher watcher;
        QTest::mouseClick(Control(dialog, 1), Qt::LeftButton);
        QCOMPARE(Store().value("Hooks/OnPassed").toString(), command->text());
    }

#ifdef Q_OS_UNIX
    void aTriedCommandStillRunningWhenTheDialogClosesIsEndedAtItsTimeLimit()
    {
        SetSettings(2, 1, 1, 1, 1);
        GetGeneralSettings().m_hookTimeLimitSeconds = 1;
        const QString pidFile = QDir::current().absoluteFilePath("tried");
        qint64 pid = 0;
        const auto restore = qScopeGuard([&pid] {
            GetGeneralSettings().m_hookTimeLimitSeconds = 0;
            if (pid > 0)
                ::kill(pid_t(pid), SIGKILL);
        });
        {
            CGeneralSettingsDlg dialog;
            dialog.show();
            Control<QLineEdit>(dialog, 1037)
                ->setText("sh -c \"echo $$ > '" + pidFile + "'; exec sleep 1000\"");
            QTest::mouseClick(Control(dialog, 1038), Qt::LeftButton);
            QTRY_VERIFY(QFile(pidFile).size() > 0);
        }
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        pid = file.readAll().trimmed().toLongLong();
        QVERIFY(pid > 0);
        // Gone, or a zombie for the moment before it is reaped.
        const auto ended = [pid] {
            QFile stat("/proc/" + QString::number(pid) + "/stat");
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        };
        QTRY_VERIFY_WITH_TIMEOUT(ended(), 10000);
    }
#endif
};

ALVETRA_APP_TEST_MAIN(GeneralSettingsDlgTest)
#include "tst_generalsettingsdlg.moc"
