#include "AppTest.h"
#include "FileSizeLimit.h"

#include "app/CAlvetraView.h"
#include "doors/Doors.h"
#include "settings/CGeneralSettingsDlg.h"
#include "settings/GeneralSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>

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
            if (widget->focusPolicy() & Qt::TabFocus && !editor) {
                const auto *button = qobject_cast<QAbstractButton *>(widget);
                chain << widget->objectName() + ' ' + (button ? button->text() : QString());
            }
            widget = widget->nextInFocusChain();
        } while (widget != Control(dialog, 1) && chain.size() < 20);
        QCOMPARE(chain, (QStringList{"1 OK", "2 Cancel", "1032 ", "1035 ", "1003 Sent to file",
                                     "1004 Sent to printer", "1005 Sent to COM port", "1036 "}));
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

    void okStoresTheSwitchesAsZeroOrOne()
    {
        SetSettings(2, 1, 1, 5, -3);
        CGeneralSettingsDlg dialog;
        dialog.show();
        QVERIFY(Control<QCheckBox>(dialog, 1004)->isChecked());
        QVERIFY(Control<QCheckBox>(dialog, 1005)->isChecked());
        QTest::mouseClick(Control(dialog, 1003), Qt::LeftButton, {}, QPoint(6, 8));
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
        QCOMPARE(watcher.m_texts, QStringList{});
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
        for (int id : {1003, 1004, 1005})
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
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QCOMPARE(watcher.m_texts, QStringList{});
    }

    void theDeviceBesideEachListIsTheOneThePortWillOpen()
    {
#ifdef Q_OS_WIN
        QSKIP("COM numbers are the device names themselves on Windows");
#else
        Store().setValue("Ports/COM9", "/dev/ttyUSB3");
        Store().setValue("Ports/COM2",
                         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1ABC-if00-port0");
        SetSettings(9, 3, 1, 1, 1);
        CGeneralSettingsDlg dialog;
        dialog.show();
        auto *inDevice = dialog.findChild<QLabel *>("device1032");
        auto *outDevice = dialog.findChild<QLabel *>("device1035");
        // The list shows "1", but 9 stays in force while the list is left alone.
        QCOMPARE(inDevice->text(), QString("/dev/ttyUSB3"));
        QCOMPARE(outDevice->text(), QString("/dev/ttyS2"));

        List(dialog, 1032)->setCurrentText("5");
        QCOMPARE(inDevice->text(), QString("/dev/ttyS4"));
        // A long path is cut to fit the dialog; the whole of it is one hover away.
        List(dialog, 1032)->setCurrentText("2");
        QCOMPARE(inDevice->toolTip(), Store().value("Ports/COM2").toString());
        QVERIFY(inDevice->fontMetrics().horizontalAdvance(inDevice->text()) <= inDevice->width());
        QVERIFY(inDevice->geometry().right() < dialog.width());
        dialog.reject();
        Store().remove("Ports");
#endif
    }
};

ALVETRA_APP_TEST_MAIN(GeneralSettingsDlgTest)
#include "tst_generalsettingsdlg.moc"
