#include "AppTest.h"

#include "app/CAlvetraView.h"
#include "dialogs/CFilterSettingsDlg.h"
#include "doors/Doors.h"
#include "settings/FilterSettings.h"

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>

namespace {

QByteArray FileBytes()
{
    QFile file("flt.dat");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no flt.dat)");
}

void SetStore(const QByteArray &handling,
              const QByteArrayList &regions,
              const QByteArray &sources,
              qint32 anySource)
{
    FilterSettings &store = GetFilterSettings();
    store.m_handling = handling;
    store.m_regions = regions;
    store.m_sources = sources;
    store.m_anySource = anySource;
    store.Save();
}

QCheckBox *Box(const QDialog &dialog, int id)
{
    return dialog.findChild<QCheckBox *>(QString::number(id));
}

QPushButton *Button(const QDialog &dialog, int id)
{
    return dialog.findChild<QPushButton *>(QString::number(id));
}

// On the box itself: a click on the empty part of a wide check box toggles nothing.
void Click(QCheckBox *box)
{
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

QString LogText()
{
    return GetLogView()->document()->toPlainText();
}

} // namespace

class FilterSettingsDlgTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(WriteEmptyFilterFile());
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
    }

    void everyControlStandsInTemplateTabOrderWithItsLabelInItsGroup()
    {
        SetStore("", {}, "", 0);
        CFilterSettingsDlg dialog;
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QString("Alvetra Settings"));

        const QStringList expected = {"1 OK",
                                      "2 Cancel",
                                      "1008 Flash - EAS",
                                      "1009 Urgent",
                                      "1010 News",
                                      "1012 Test",
                                      "1011 Information",
                                      "1034 CLETS",
                                      "1035 OES Auto Notification",
                                      "1036 EDIS Auto Generated",
                                      "1037 Scientific Network",
                                      "1039 CWS",
                                      "1040 NWS",
                                      "1038 Any Source",
                                      "1013 StateWide (All)",
                                      "1014 Central Coast",
                                      "1015 LA Area",
                                      "1016 North Coast",
                                      "1017 San Franscisco Bay",
                                      "1018 Monterey Bay",
                                      "1019 OES Inland Region III",
                                      "1020 Sacramento Valley",
                                      "1021 Tahoe/Sierra",
                                      "1022 Fresno",
                                      "1023 Bakersfield",
                                      "1024 Bishop/Mono",
                                      "1025 Inland/Desert",
                                      "1026 San Diego/Imperial",
                                      "1029 Filter Info"};
        QCOMPARE(dialog.focusWidget(), Button(dialog, 1));
        QStringList chain;
        QWidget *widget = Button(dialog, 1);
        do {
            if (widget->focusPolicy() & Qt::TabFocus) {
                const auto *button = qobject_cast<QAbstractButton *>(widget);
                chain << widget->objectName() + ' ' + (button ? button->text() : QString());
            }
            widget = widget->nextInFocusChain();
        } while (widget != Button(dialog, 1) && chain.size() <= expected.size());
        QCOMPARE(chain, expected);

        // Each box lies wholly inside the frame of its group, as the user reads it.
        const auto groupOf
            = [&](int id) { return qobject_cast<QGroupBox *>(Box(dialog, id)->parentWidget()); };
        for (int id : {1008, 1009, 1010, 1011, 1012})
            QCOMPARE(groupOf(id)->title(), QString("Handling Level of"));
        for (int id : {1034, 1035, 1036, 1037, 1038, 1039, 1040})
            QCOMPARE(groupOf(id)->title(), QString("Source Network"));
        for (int id = 1013; id <= 1026; ++id) {
            QCOMPARE(groupOf(id)->title(), QString("Target Region of"));
            QVERIFY(groupOf(id)->rect().contains(Box(dialog, id)->geometry()));
        }
    }

    void storingKeepsTheStoreOrderAndEverythingWithoutABox_data()
    {
        QTest::addColumn<QByteArray>("handling");
        QTest::addColumn<QByteArrayList>("regions");
        QTest::addColumn<QByteArray>("sources");
        QTest::addColumn<int>("anySource");
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<QByteArray>("expectedHandling");
        QTest::addColumn<QByteArrayList>("expectedRegions");
        QTest::addColumn<QByteArray>("expectedSources");
        QTest::addColumn<int>("expectedAnySource");

        QTest::newRow("worked-example") << QByteArray("b") << QByteArrayList{} << QByteArray() << 0
                                        << QList<int>{1008, 1011, 1009} << QByteArray("ae")
                                        << QByteArrayList{} << QByteArray() << 0;
        QTest::newRow("worked-example-on-empty-store")
            << QByteArray() << QByteArrayList{} << QByteArray() << 0 << QList<int>{1008, 1011}
            << QByteArray("ae") << QByteArrayList{} << QByteArray() << 0;
        QTest::newRow("flash-stored-before-urgent-whatever-the-click-order")
            << QByteArray() << QByteArrayList{} << QByteArray() << 0 << QList<int>{1009, 1008}
            << QByteArray("ab") << QByteArrayList{} << QByteArray() << 0;
        QTest::newRow("sources-in-their-store-order")
            << QByteArray() << QByteArrayList{} << QByteArray() << 0
            << QList<int>{1037, 1035, 1040, 1039, 1036, 1034} << QByteArray() << QByteArrayList{}
            << QByteArray("locwqs") << 0;
        QTest::newRow("letter-c-kept-apart-in-handling-and-sources")
            << QByteArray("c") << QByteArrayList{} << QByteArray() << 0 << QList<int>{1039}
            << QByteArray("c") << QByteArrayList{} << QByteArray("c") << 0;
        QTest::newRow("unchecked-letter-goes-everywhere-unknown-letters-stay")
            << QByteArray("bxbeb") << QByteArrayList{} << QByteArray("lzl") << 0
            << QList<int>{1009, 1034} << QByteArray("xe") << QByteArrayList{} << QByteArray("z")
            << 0;
        QTest::newRow("new-regions-after-the-stored-ones-unknown-codes-stay")
            << QByteArray() << QByteArrayList{"6c", "9z"} << QByteArray() << 0
            << QList<int>{1026, 1014, 1013} << QByteArray() << QByteArrayList{"9z", "0-", "1a"}
            << QByteArray() << 0;
        QTest::newRow("region-held-twice-is-gone-when-unchecked")
            << QByteArray() << QByteArrayList{"1a", "0-", "1a"} << QByteArray() << 0
            << QList<int>{1014} << QByteArray() << QByteArrayList{"0-"} << QByteArray() << 0;
        QTest::newRow("any-source-stored-as-2-is-written-as-1")
            << QByteArray("a") << QByteArrayList{} << QByteArray() << 2 << QList<int>{}
            << QByteArray("a") << QByteArrayList{} << QByteArray() << 1;
        QTest::newRow("any-source-leaves-the-source-letters-as-they-stand")
            << QByteArray() << QByteArrayList{} << QByteArray("w") << 0 << QList<int>{1038}
            << QByteArray() << QByteArrayList{} << QByteArray("w") << 1;
    }

    void storingKeepsTheStoreOrderAndEverythingWithoutABox()
    {
        QFETCH(QByteArray, handling);
        QFETCH(QByteArrayList, regions);
        QFETCH(QByteArray, sources);
        QFETCH(int, anySource);
        QFETCH(QList<int>, clicks);
        SetStore(handling, regions, sources, anySource);

        CFilterSettingsDlg dialog;
        dialog.show();
        for (int id : clicks)
            Click(Box(dialog, id));
        QTest::mouseClick(Button(dialog, 1), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());

        const FilterSettings &store = GetFilterSettings();
        QTEST(store.m_handling, "expectedHandling");
        QTEST(QByteArrayList(store.m_regions), "expectedRegions");
        QTEST(store.m_sources, "expectedSources");
        QTEST(int(store.m_anySource), "expectedAnySource");

        // What OK stored is what the next start reads.
        FilterSettings reread;
        QCOMPARE(reread.Load(), QString());
        QCOMPARE(reread.m_handling, store.m_handling);
        QCOMPARE(reread.m_regions, store.m_regions);
        QCOMPARE(reread.m_sources, store.m_sources);
        QCOMPARE(reread.m_anySource, store.m_anySource);
    }

    void theDialogShowsExactlyWhatTheStoreAllows()
    {
        SetStore("xdb", {"2b", "1A", "6c"}, "qz", 7);
        CFilterSettingsDlg dialog;
        dialog.show();
        QList<int> checked;
        for (QCheckBox *box : dialog.findChildren<QCheckBox *>()) {
            if (box->isChecked())
                checked << box->objectName().toInt();
        }
        std::sort(checked.begin(), checked.end());
        QCOMPARE(checked, (QList<int>{1009, 1012, 1017, 1026, 1035, 1038}));
    }

    void cancelAfterChangesLeavesStoreAndFileAsTheyWere_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("cancel-button") << "button";
        QTest::newRow("escape-key") << "escape";
        QTest::newRow("close-box") << "close";
    }

    void cancelAfterChangesLeavesStoreAndFileAsTheyWere()
    {
        QFETCH(QString, how);
        SetStore("bx", {"2b"}, "l", 0);
        const QByteArray before = FileBytes();

        CFilterSettingsDlg dialog;
        dialog.show();
        for (int id : {1008, 1009, 1013, 1017, 1034, 1038})
            Click(Box(dialog, id));
        if (how == "button")
            QTest::mouseClick(Button(dialog, 2), Qt::LeftButton);
        else if (how == "escape")
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            dialog.close();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));

        const FilterSettings &store = GetFilterSettings();
        QCOMPARE(store.m_handling, QByteArray("bx"));
        QCOMPARE(store.m_regions, QByteArrayList{"2b"});
        QCOMPARE(store.m_sources, QByteArray("l"));
        QCOMPARE(store.m_anySource, 0);
        QCOMPARE(FileBytes(), before);
    }

    void okWithoutChangesRewritesTheSameBytes()
    {
        // Letters and codes without a box, and a repeated region, all come back unchanged.
        SetStore("xba", {"0-", "7q", "0-"}, "zq", 0);
        const QByteArray before = FileBytes();
        QVERIFY(QFile::remove("flt.dat"));

        CFilterSettingsDlg dialog;
        dialog.show();
        QTest::mouseClick(Button(dialog, 1), Qt::LeftButton);
        QCOMPARE(FileBytes(), before);
        QCOMPARE(GetFilterSettings().m_handling, QByteArray("xba"));
    }

    void filterInfoStoresSavesAndPrintsTheSummaryEachTimeAndCancelIsGone()
    {
        SetStore("", {}, "", 0);
        CFilterSettingsDlg dialog;
        dialog.show();
        for (int id : {1009, 1008, 1013, 1014, 1034})
            Click(Box(dialog, id));
        // Messages meanwhile are judged against the criteria as they were.
        QCOMPARE(GetFilterSettings().m_handling, QByteArray());

        QTest::mouseClick(Button(dialog, 1029), Qt::LeftButton);
        const QString first = "Allowed Handling:ab\nAllowed Region and sub region:0-;1a;\n"
                              "Allowed Source:l\n";
        QVERIFY2(LogText().endsWith('\n' + first), qPrintable(LogText()));
        QVERIFY(!Button(dialog, 2)->isEnabled());
        // Nothing can be undone now, so nothing that looks like Cancel closes the dialog.
        QTest::keyClick(&dialog, Qt::Key_Escape);
        dialog.close();
        QVERIFY(dialog.isVisible());
        FilterSettings reread;
        reread.Load();
        QCOMPARE(reread.m_handling, QByteArray("ab"));

        // The summary's style: bold, 6 points (120 twips), dark blue.
        QTextBlock block
            = GetLogView()->document()->findBlock(LogText().lastIndexOf("Allowed Handling:ab"));
        const QTextCharFormat format = block.begin().fragment().charFormat();
        QCOMPARE(format.fontWeight(), int(QFont::Bold));
        QCOMPARE(format.fontPointSize(), 6.0);
        QCOMPARE(format.foreground().color(), QColor(10, 20, 40));
        QVERIFY(!format.fontUnderline());

        Click(Box(dialog, 1010));
        Click(Box(dialog, 1038));
        QTest::mouseClick(Button(dialog, 1029), Qt::LeftButton);
        const QString second = "Allowed Handling:abc\nAllowed Region and sub region:0-;1a;\n"
                               "Allowed Source:Any source is allowed\n";
        QVERIFY(LogText().endsWith(first + '\n' + second));
        reread.Load();
        QCOMPARE(reread.m_handling, QByteArray("abc"));
        QCOMPARE(reread.m_anySource, 1);

        Click(Box(dialog, 1040));
        QTest::mouseClick(Button(dialog, 1), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        reread.Load();
        QCOMPARE(reread.m_sources, QByteArray("lw"));
    }

    void theSettingsCommandRunsTheDialogModallyOnTheStore()
    {
        SetStore("b", {}, "", 0);
        bool seen = false;
        bool urgentShown = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *dialog = qobject_cast<CFilterSettingsDlg *>(QApplication::activeModalWidget());
            if (!dialog || seen)
                return;
            seen = true;
            urgentShown = Box(*dialog, 1009)->isChecked();
            Box(*dialog, 1011)->click();
            Button(*dialog, 1)->click();
        });
        poll.start(10);
        GetLogView()->OnFilterSettings();
        QVERIFY(seen);
        QVERIFY(urgentShown);
        QCOMPARE(GetFilterSettings().m_handling, QByteArray("be"));
    }
};

ALVETRA_APP_TEST_MAIN(FilterSettingsDlgTest)
#include "tst_filtersettingsdlg.moc"
