#include "AppTest.h"

#include "app/CHistoryModel.h"
#include "app/CHistoryWindow.h"
#include "journal/Journal.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>

class HistoryWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<Journal> m_journal;
    QString Path() const { return m_dir.filePath("journal.sqlite"); }

    // Records the passed rows `from` to `to` (exclusive) and waits until they are on disk.
    static bool RecordPassed(Journal &journal, int from, int to)
    {
        QSignalSpy committed(&journal, &Journal::Committed);
        for (int n = from; n < to; ++n) {
            if (journal.Record(Passed(n)) == 0)
                return false;
        }
        return QTest::qWaitFor([&] { return committed.size() == to - from; });
    }

    static QList<qint64> Ids(const CHistoryModel &model)
    {
        QList<qint64> ids;
        for (int row = 0; row < model.rowCount(); ++row)
            ids << model.Row(row)->m_id;
        return ids;
    }

    static JournalFrame Passed(int n)
    {
        JournalFrame row;
        row.m_received = QDateTime(QDate(2024, 5, 17), QTime(0, 0), Qt::UTC).addSecs(n);
        row.m_port = 2;
        row.m_header = QByteArray::number(10000 + n) + "e2al9";
        row.m_headline = "Headline " + QByteArray::number(n);
        row.m_trailer = "0930";
        row.m_body = n == 7 ? "Tremor near the ridge" : "Body";
        return row;
    }

private slots:
    void initTestCase()
    {
        m_journal = std::make_unique<Journal>();
        m_journal->Start(Path(), 0);
        QSignalSpy committed(m_journal.get(), &Journal::Committed);
        const int rows = CHistoryModel::kPageRows * 2 + 10;
        for (int n = 0; n < rows; ++n)
            QVERIFY(m_journal->Record(Passed(n)) != 0);
        QTRY_COMPARE(committed.size(), rows);
    }

    void rowsComeAPageAtATimeNewestFirst()
    {
        CHistoryWindow window(Path(), m_journal.get());
        CHistoryModel *model = window.Model();
        QTRY_COMPARE(model->rowCount(), CHistoryModel::kPageRows);
        QCOMPARE(model->index(0, CHistoryModel::Header).data().toString(), "10521e2al9");
        // As a view scrolled to the end asks, page after page.
        const auto scrolledToTheEnd = [model] {
            if (model->canFetchMore({}))
                model->fetchMore({});
            return model->rowCount();
        };
        QTRY_COMPARE(scrolledToTheEnd(), CHistoryModel::kPageRows * 2 + 10);
        QCOMPARE(model->index(model->rowCount() - 1, CHistoryModel::Header).data().toString(),
                 "10000e2al9");
    }

    void filtersApplyAsOneTypes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fates");
        QTest::addColumn<QString>("since");
        QTest::addColumn<int>("rows");
        QTest::newRow("a-word-of-the-body") << "tremor" << 0 << "" << 1;
        QTest::newRow("a-piece-of-the-header") << "1050" << 0 << "" << 10;
        QTest::newRow("line-events-only") << "" << 4 << "" << 0;
        QTest::newRow("since-a-time-with-a-space") << "" << 0 << "2024-05-17 00:08:00" << 42;
    }

    void filtersApplyAsOneTypes()
    {
        QFETCH(QString, text);
        QFETCH(int, fates);
        QFETCH(QString, since);
        QFETCH(int, rows);
        CHistoryWindow window(Path(), m_journal.get());
        qputenv("TZ", "UTC");
        window.findChild<QComboBox *>("fates")->setCurrentIndex(fates);
        const QList<QLineEdit *> fields = window.findChildren<QLineEdit *>();
        for (QLineEdit *field : fields) {
            if (field->placeholderText().startsWith("from"))
                field->setText(since);
            else if (field->placeholderText().startsWith("Text"))
                field->setText(text);
        }
        QTRY_COMPARE(window.Model()->Filter().m_text, text);
        QTRY_COMPARE(window.Model()->rowCount(), rows);
    }

    void aSelectedRowShowsTheFileLayoutAndNewRowsAppear()
    {
        CHistoryWindow window(Path(), m_journal.get());
        QTRY_VERIFY(window.Model()->rowCount() > 0);
        QSignalSpy shown(&window, &CHistoryWindow::EntryShown);
        window.Table()->setCurrentIndex(window.Model()->index(0, 0));
        QVERIFY(shown.wait());
        QVERIFY2(window.Detail()->toPlainText().contains(
                     "Headline 521\n===================================\n[10521e2al9]\n0930\n"
                     "Body"),
                 qPrintable(window.Detail()->toPlainText()));

        m_journal->Record(Passed(9999));
        QTRY_COMPARE(window.Model()->index(0, CHistoryModel::Header).data().toString(),
                     "19999e2al9");
    }

    void rowsArrivingWhileTheFilterChangesOrInABurstAreEachShownOnce()
    {
        Journal journal;
        const QString path = m_dir.filePath("arriving.sqlite");
        journal.Start(path, 0);
        QVERIFY(RecordPassed(journal, 0, 3));
        CHistoryModel model(path);
        QTRY_COMPARE(model.rowCount(), 3);

        // Committed before the filter changes, looked for after: on the first page alone.
        QVERIFY(RecordPassed(journal, 3, 4));
        model.SetFilter({});
        QVERIFY(RecordPassed(journal, 4, 5));
        model.Refresh();
        QTRY_COMPARE(model.rowCount(), 5);

        // More than a page between two looks.
        const int burst = CHistoryModel::kPageRows + 44;
        QVERIFY(RecordPassed(journal, 5, 5 + burst));
        model.Refresh();
        QTRY_COMPARE(model.rowCount(), 5 + burst);
        const QList<qint64> ids = Ids(model); // newest first, none twice
        QVERIFY(std::adjacent_find(ids.cbegin(), ids.cend(), std::less_equal<>()) == ids.cend());

        // With a text, which the text index and a look through the newest rows both find.
        model.SetFilter({{}, {}, {}, "headline"});
        QTRY_COMPARE(model.rowCount(), CHistoryModel::kPageRows);
        QVERIFY(RecordPassed(journal, 5 + burst, 6 + burst));
        model.Refresh();
        QTRY_COMPARE(model.rowCount(), CHistoryModel::kPageRows + 1);
        QCOMPARE(model.Row(0)->m_headline, QString("Headline %1").arg(5 + burst));
    }

    void aJournalDamagedBelowItsSchemaIsSaidToBeUnreadableNotEmpty()
    {
        const QString path = m_dir.filePath("damaged.sqlite");
        {
            Journal journal;
            journal.Start(path, 0);
            QVERIFY(RecordPassed(journal, 0, 3));
        }
        // The pages of the rows and their indexes overwritten, the schema left whole: the file
        // opens, and its first query meets the damage.
        QList<qint64> pages; // each as its offset in the file and its size
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "damage");
            db.setDatabaseName(path);
            QSqlQuery query(db);
            QVERIFY(db.open() && query.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
            QVERIFY(query.exec("SELECT (rootpage - 1) * page_size, page_size FROM sqlite_schema,"
                               " pragma_page_size WHERE tbl_name = 'frames' AND rootpage > 1"));
            while (query.next())
                pages << query.value(0).toLongLong() << query.value(1).toLongLong();
        }
        QSqlDatabase::removeDatabase("damage");
        QFile file(path);
        QVERIFY(!pages.isEmpty() && file.open(QIODevice::ReadWrite));
        for (qsizetype n = 0; n < pages.size(); n += 2)
            QVERIFY(file.seek(pages[n]) && file.write(QByteArray(pages[n + 1], '\xFF')) > 0);
        file.close();

        CHistoryWindow window(path, nullptr);
        const auto said = [&window] {
            const QList<QLabel *> labels = window.findChildren<QLabel *>();
            return std::any_of(labels.cbegin(), labels.cend(), [](const QLabel *label) {
                return label->text().startsWith("The journal could not be read: ");
            });
        };
        QTRY_VERIFY(said());
        QCOMPARE(window.Model()->rowCount(), 0);
    }
};

ALVETRA_APP_TEST_MAIN(HistoryWindowTest)
#include "tst_historywindow.moc"
