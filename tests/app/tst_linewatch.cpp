// The watch over the serial lines, over real pseudo-terminals: the silence alarm in the log and
// the state of each line in the status bar.
#include "AppTest.h"

#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "doors/Doors.h"
#include "tools/Pty.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QSettings>

using namespace std::chrono_literals;

namespace {

void MapPort(int number, const QString &device)
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
    store.setValue(QStringLiteral("Ports/COM%1").arg(number), device);
    store.sync();
}

QStringList LogLines(const QString &containing)
{
    return GetLogView()->toPlainText().split('\n').filter(containing);
}

QString Pane(const char *name)
{
    return CAlvetraApp::Instance()->MainFrame()->findChild<QLabel *>(name)->text();
}

} // namespace

class LineWatchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_input.IsOpen());
        QVERIFY(WriteEmptyFilterFile());
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/InSerialPort", 2);
        store.setValue("Settings/OutSerialPort", 1);
        store.setValue("Settings/Sendtoport", 1);
        store.setValue("Settings/Sendtofile", 0);
        store.setValue("Settings/Sendtoprinter", 0);
        store.sync();
        MapPort(2, m_input.DevicePath());
        MapPort(1, "/dev/alvetra-no-such-device");
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        QVERIFY(GetInPort().IsDeviceOpen());
    }

    void thePanesShowEachLinesState()
    {
        // Missing at the start, the output line is being tried.
        QTRY_VERIFY2(QRegularExpression("^Output COM1: reconnecting since \\d\\d:\\d\\d$")
                         .match(Pane("outputLinePane"))
                         .hasMatch(),
                     qPrintable(Pane("outputLinePane")));
        // Open, and no byte yet: silent since the open.
        QTRY_VERIFY2(QRegularExpression("^Input COM2: silent since \\d\\d:\\d\\d$")
                         .match(Pane("inputLinePane"))
                         .hasMatch(),
                     qPrintable(Pane("inputLinePane")));
        QVERIFY(m_input.WriteAll("x"));
        QTRY_VERIFY2(QRegularExpression("^Input COM2: receiving, last byte \\d\\d:\\d\\d:\\d\\d$")
                         .match(Pane("inputLinePane"))
                         .hasMatch(),
                     qPrintable(Pane("inputLinePane")));

        // Switched off, it is no longer tried from the next new log.
        GetGeneralSettings().m_sendToPort = 0;
        GetLogView()->OnInitialUpdate();
        QTRY_COMPARE(Pane("outputLinePane"), QString("Output COM1: off"));
        GetGeneralSettings().m_sendToPort = 1;

        // An output line whose far end reads nothing refuses messages once the bound is full,
        // and says so until it drains.
        Pty stalled;
        MapPort(1, stalled.DevicePath());
        GetLogView()->OnInitialUpdate();
        QTRY_COMPARE(Pane("outputLinePane"), QString("Output COM1: open"));
        int refused = 0;
        for (int i = 0; i < 8; ++i)
            refused += GetOutPort().QueueWrite(QByteArray(256 * 1024, 'x')) ? 0 : 1;
        QVERIFY(refused > 0);
        QTRY_VERIFY2(QRegularExpression(QStringLiteral("^Output COM1: not draining since "
                                                       "\\d\\d:\\d\\d, %1 not forwarded$")
                                            .arg(refused))
                         .match(Pane("outputLinePane"))
                         .hasMatch(),
                     qPrintable(Pane("outputLinePane")));
        QTRY_VERIFY_WITH_TIMEOUT(
            (stalled.ReadAvailable(), Pane("outputLinePane") == QString("Output COM1: open")),
            20000);
        MapPort(1, "/dev/alvetra-no-such-device");
        GetLogView()->OnInitialUpdate();
    }

    void aSilentInputWarnsOncePerPeriodAndOnceWhenBytesFlowAgain()
    {
        constexpr auto kPeriod = 400ms;
        // Reopened ports count the silence from the open while no byte has come.
        GetLogView()->OnInitialUpdate();
        GetLogView()->Watch().SetSilencePeriod(kPeriod);
        const QString silent = "Warning:->The input line (com2) is silent: ";
        QTRY_COMPARE(LogLines(silent).size(), 1);
        QElapsedTimer sinceFirst;
        sinceFirst.start();
        QVERIFY2(QRegularExpression("no byte has come since it was opened at \\d\\d:\\d\\d:\\d\\d")
                     .match(LogLines(silent).last())
                     .hasMatch(),
                 qPrintable(LogLines(silent).last()));
        QTRY_VERIFY(Pane("inputLinePane").startsWith("Input COM2: silent since "));

        QTRY_COMPARE(LogLines(silent).size(), 2);
        // A little slack: the first line was seen a moment after it was written.
        QVERIFY(sinceFirst.elapsed() >= 350);

        QVERIFY(m_input.WriteAll("y"));
        const QString flowing = "Warning:->Bytes are flowing again on the input line (com2) after "
                                "a silence since ";
        QTRY_COMPARE(LogLines(flowing).size(), 1);
        // More bytes end no further silence.
        QVERIFY(m_input.WriteAll("z"));

        // Silent again: now the alarm names the last byte's time.
        QTRY_COMPARE(LogLines(silent).size(), 3);
        QCOMPARE(LogLines(flowing).size(), 1);
        QVERIFY2(QRegularExpression("its last byte came at \\d\\d:\\d\\d:\\d\\d\\.$")
                     .match(LogLines(silent).last())
                     .hasMatch(),
                 qPrintable(LogLines(silent).last()));
        GetLogView()->Watch().SetSilencePeriod(0ms);
    }

private:
    Pty m_input;
};

ALVETRA_APP_TEST_MAIN(LineWatchTest)
#include "tst_linewatch.moc"
