#include "AppTest.h"
#include "FileSizeLimit.h"
#include "app/CMainFrame.h"

#include "app/CAlvetraDoc.h"
#include "doors/Doors.h"
#include "settings/FilterSettings.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>

#include <optional>

#include <unistd.h>

namespace {

QByteArray Scrambled(QByteArray plain)
{
    for (char &c : plain)
        c = char(c ^ 0xA7);
    return plain;
}

void WriteFile(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray ReadFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString LastLineOfTheLog()
{
    return CAlvetraApp::Instance()->Document()->Document()->lastBlock().text();
}

const QByteArray kExampleStream = QByteArray::fromHex("026162 0200 02302d 023663 026c77 00000000");

// Root may write any file, so a read-only or forbidden flt.dat means something only to an
// ordinary user: the process becomes one for a while, keeping root as its saved identity to
// come back. The folder it works in is open to that user.
class AsOrdinaryUser
{
public:
    AsOrdinaryUser()
        : m_wasRoot(geteuid() == 0)
    {
        if (m_wasRoot) {
            m_ok = setresgid(kNobody, kNobody, 0) == 0 && setresuid(kNobody, kNobody, 0) == 0;
        }
    }
    ~AsOrdinaryUser()
    {
        if (m_wasRoot) {
            [[maybe_unused]] const int user = setresuid(0, 0, 0);
            [[maybe_unused]] const int group = setresgid(0, 0, 0);
        }
    }
    bool IsOk() const { return m_ok; }

private:
    static constexpr uid_t kNobody = 65534;
    bool m_wasRoot;
    bool m_ok = true;
};

} // namespace

class FilterSettingsFileTest : public QObject
{
    Q_OBJECT

private:
    QString m_home;

private slots:
    void initTestCase()
    {
        m_home = QDir::currentPath();
        // A flt.dat that ends after the handling letters: start-up says so without waiting
        // for a click, and goes on with the letters it read.
        WriteFile("flt.dat", Scrambled("\x02"
                                       "ea"));
        QVERIFY(CAlvetraApp::Instance()->InitInstance({"alvetra"}));
        auto *box
            = CAlvetraApp::Instance()->MainFrame()->findChild<QMessageBox *>("startUpFailure");
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QString("Alvetra"));
        QCOMPARE(box->text(),
                 QString("An attempt was made to access an unnamed file past its end."));
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!box->isModal());
        box->button(QMessageBox::Ok)->click();
        const FilterSettings &settings = GetFilterSettings();
        QCOMPARE(settings.m_handling, QByteArray("ea"));
        QVERIFY(settings.m_regions.isEmpty());
        QVERIFY(settings.m_sources.isEmpty());
        QCOMPARE(settings.m_anySource, 0);
    }

    void cleanup() { QDir::setCurrent(m_home); }

    void loadNamesEachFailure_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QByteArray>("handling");

        QTest::newRow("whole") << kExampleStream << QString() << QByteArray("ab");
        QTest::newRow("empty") << QByteArray()
                               << "An attempt was made to access an unnamed file past its end."
                               << QByteArray();
        QTest::newRow("cut-inside-regions")
            << kExampleStream.first(8)
            << "An attempt was made to access an unnamed file past its end." << QByteArray("ab");
        QTest::newRow("length-4-gib-in-a-tiny-file")
            << QByteArray::fromHex("ffffff ffffffff 6162 0000") << "Out of memory." << QByteArray();
        QTest::newRow("nested-16-bit-marker")
            << QByteArray::fromHex("fffeff fffeff 01 6100")
            << "An unknown error occurred while accessing "
                   + QDir::current().absoluteFilePath("flt.dat") + '.'
            << QByteArray();
    }

    void loadNamesEachFailure()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QString, failure);
        QFETCH(QByteArray, handling);
        WriteFile("flt.dat", Scrambled(plain));

        FilterSettings settings;
        QCOMPARE(settings.Load(), failure);
        QCOMPARE(settings.m_handling, handling);
    }

    void loadOfAMissingOrForbiddenFileKeepsTheStoreEmpty()
    {
        QDir().mkdir("missing");
        QDir::setCurrent("missing");
        FilterSettings settings;
        QCOMPARE(settings.Load(), QString("flt.dat was not found."));
        QVERIFY(settings.m_handling.isEmpty());

        QDir::setCurrent(m_home);
        QDir().mkdir("flt.dat-folder");
        QDir::setCurrent("flt.dat-folder");
        QDir().mkdir("flt.dat");
        QCOMPARE(settings.Load(), QString("Access to flt.dat was denied."));

        QDir::setCurrent(m_home);
        QDir().mkdir("forbidden");
        QFile::setPermissions("forbidden", QFile::Permissions(0x7777));
        QDir::setCurrent("forbidden");
        WriteFile("flt.dat", Scrambled(kExampleStream));
        QFile::setPermissions("flt.dat", {});
        AsOrdinaryUser user;
        QVERIFY(user.IsOk());
        QCOMPARE(settings.Load(), QString("Access to flt.dat was denied."));
        QVERIFY(settings.m_handling.isEmpty());
    }

    void saveWritesTheScrambledStreamThatLoadReadsBack()
    {
        FilterSettings settings;
        settings.m_handling = "ab";
        settings.m_regions = {"0-", "6c"};
        settings.m_sources = "lw";
        settings.Save();
        QCOMPARE(ReadFile("flt.dat"), Scrambled(kExampleStream));

        settings.m_anySource = 2;
        settings.Save();
        FilterSettings read;
        QCOMPARE(read.Load(), QString());
        QCOMPARE(read.m_anySource, 2);
        QCOMPARE(read.Describe(), QByteArray("Allowed Handling:ab\n"
                                             "Allowed Region and sub region:0-;6c;\n"
                                             "Allowed Source:Any source is allowed\n"));
    }

    void aSaveReplacesTheWholeFileOrLeavesTheOldOneAndSaysWhy_data()
    {
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<bool>("fileWritable");
        QTest::addColumn<int>("sizeLimit");
        QTest::addColumn<QString>("line");

        QTest::newRow("file-read-only")
            << true << false << -1 << "Error:->Access to flt.dat was denied.";
        // What a full disk or an exhausted quota give, short of the number of the error.
        QTest::newRow("no-room-for-the-file")
            << true << true << 4 << "Error:->Disk full while accessing %1.";
        // A shared working folder: the file is written in place, as it always was.
        QTest::newRow("folder-read-only-file-writable") << false << true << -1 << QString();
    }

    void aSaveReplacesTheWholeFileOrLeavesTheOldOneAndSaysWhy()
    {
        QFETCH(bool, folderWritable);
        QFETCH(bool, fileWritable);
        QFETCH(int, sizeLimit);
        QFETCH(QString, line);

        // Not below the test's own folder, which only root may enter: the ordinary user must be
        // able to walk the whole path.
        QTemporaryDir folder(QStringLiteral("/tmp/alvetra-flt-XXXXXX"));
        QVERIFY(folder.isValid());
        QDir::setCurrent(folder.path());
        WriteFile("flt.dat", Scrambled(kExampleStream));
        const auto readable = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther
                              | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        const auto writable = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
        QFile::setPermissions(".", folderWritable ? readable | writable : readable);
        QFile::setPermissions("flt.dat", fileWritable ? readable | writable : readable);

        FilterSettings &settings = GetFilterSettings();
        settings.m_handling = "e";
        settings.m_regions = {"2a"};
        const QString before = LastLineOfTheLog();
        {
            AsOrdinaryUser user;
            QVERIFY(user.IsOk());
            std::optional<FileSizeLimit> limit;
            if (sizeLimit >= 0)
                QVERIFY(limit.emplace(sizeLimit).IsOk());
            settings.Save();
        }
        QFile::setPermissions(".", readable | writable);
        QCOMPARE(LastLineOfTheLog(),
                 line.isEmpty() ? before
                                : line.replace("%1", QDir::current().absoluteFilePath("flt.dat")));
        QCOMPARE(settings.m_handling, QByteArray("e"));
        QCOMPARE(settings.m_regions, QList<QByteArray>{"2a"});
        // No temporary file is left beside it.
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList{"flt.dat"});

        if (!line.isEmpty())
            QCOMPARE(ReadFile("flt.dat"), Scrambled(kExampleStream));
        // The next start reads the old criteria after a failure, the new ones after a save.
        FilterSettings nextStart;
        QCOMPARE(nextStart.Load(), QString());
        QCOMPARE(nextStart.m_handling, QByteArray(line.isEmpty() ? "e" : "ab"));
    }
};

ALVETRA_APP_TEST_MAIN(FilterSettingsFileTest)
#include "tst_filtersettingsfile.moc"
