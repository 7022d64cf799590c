#include "CHistoryWindow.h"

#include "Acknowledgements.h"
#include "CAlvetraApp.h"
#include "CHistoryModel.h"
#include "dispatch/MessageDispatcher.h"
#include "dispatch/PrintQueue.h"
#include "dispatch/ReceivedFile.h"
#include "files/WholeFileWriter.h"
#include "journal/Journal.h"
#include "journal/JournalSettings.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// Typing is not held up: the filter applies once the keys pause this long.
constexpr int kTypingPauseMs = 150;
// New rows are looked for at most this often while they keep coming.
constexpr int kNewRowsPauseMs = 500;

EdisMessage MessageOf(const JournalEntry &entry)
{
    EdisMessage message;
    message.m_header = entry.m_header;
    message.m_headline = entry.m_headline;
    message.m_trailer = entry.m_trailer;
    message.m_body = entry.m_body;
    return message;
}

// The line's control bytes by their names, so a frame that did not pass can be read.
QString Visible(const QByteArray &bytes)
{
    static const char *const names[32]
        = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
           "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
           "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    QString text;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32)
            text += QLatin1Char('<') + QLatin1String(names[byte]) + QLatin1Char('>')
                    + (byte == '\n' ? QStringLiteral("\n") : QString());
        else
            text += DecodeCp1252(QByteArray(1, c));
    }
    return text;
}

// The running program, or null where the window is made without it (a benchmark, a test that
// installs no doors).
CAlvetraApp *Program()
{
    return qobject_cast<CAlvetraApp *>(QCoreApplication::instance());
}

bool AcknowledgementOn()
{
    const CAlvetraApp *app = Program();
    return app && app->m_generalSettings.m_alerts.m_acknowledge;
}

} // namespace

CHistoryWindow::CHistoryWindow(const QString &journalPath, Journal *journal, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(new CHistoryModel(journalPath, this))
{
    setWindowTitle(QStringLiteral("Message History - Alvetra"));
    resize(1000, 700);

    m_fates = new QComboBox;
    m_fates->setObjectName(QStringLiteral("fates"));
    m_fates->addItems({QStringLiteral("All"), QStringLiteral("Passed"), QStringLiteral("Filtered"),
                       QStringLiteral("Malformed"), QStringLiteral("Line events"),
                       QStringLiteral("Waiting for acknowledgement")});
    m_since = new QLineEdit;
    m_since->setPlaceholderText(QStringLiteral("from YYYY-MM-DD hh:mm"));
    m_until = new QLineEdit;
    m_until->setPlaceholderText(QStringLiteral("to YYYY-MM-DD hh:mm"));
    m_text = new QLineEdit;
    m_text->setPlaceholderText(QStringLiteral("Text in header, headline or body"));
    m_text->setClearButtonEnabled(true);
    m_scope = new QComboBox;
    m_scope->setObjectName(QStringLiteral("scope"));
    m_scope->addItems({QStringLiteral("This station"), QStringLiteral("All stations")});
    m_stations = new QComboBox;
    m_stations->setObjectName(QStringLiteral("stations"));
    m_stations->addItem(QStringLiteral("Any station"));
    m_stations->setMinimumContentsLength(12);
    auto *filters = new QHBoxLayout;
    filters->addWidget(m_scope);
    filters->addWidget(m_stations);
    filters->addWidget(new QLabel(QStringLiteral("Show:")));
    filters->addWidget(m_fates);
    filters->addWidget(m_since);
    filters->addWidget(m_until);
    filters->addWidget(m_text, 1);

    m_table = new QTableView;
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Several rows at once: an operator acknowledges what they have read in one go.
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    // Rows of one height: the view need not measure rows it does not show.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setColumnWidth(CHistoryModel::Received, 170);
    m_table->setColumnWidth(CHistoryModel::Fate, 150);
    m_table->setColumnWidth(CHistoryModel::Header, 110);
    for (int column : {CHistoryModel::Line, CHistoryModel::Handling, CHistoryModel::Region,
                       CHistoryModel::Source})
        m_table->setColumnWidth(column, 70);

    m_detail = new QPlainTextEdit;
    m_detail->setReadOnly(true);
    m_detail->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_detail->setFont(QFont(QStringLiteral("DejaVu Sans Mono")));
    m_print = new QPushButton(QStringLiteral("&Print Again"));
    m_save = new QPushButton(QStringLiteral("&Save as Text..."));
    auto *exportButton = new QPushButton(QStringLiteral("&Export CSV..."));
    m_acknowledge = new QPushButton(QStringLiteral("&Acknowledge"));
    m_acknowledge->setObjectName(QStringLiteral("acknowledgeSelected"));
    m_acknowledge->setToolTip(
        QStringLiteral("Acknowledge the selected messages that wait for acknowledgement"));
    m_status = new QLabel;
    m_print->setEnabled(false);
    m_save->setEnabled(false);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_acknowledge);
    buttons->addWidget(m_print);
    buttons->addWidget(m_save);
    buttons->addWidget(exportButton);

    auto *splitter = new QSplitter(Qt::Vertical);
    splitter->addWidget(m_table);
    splitter->addWidget(m_detail);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);

    m_typing = new QTimer(this);
    m_typing->setSingleShot(true);
    m_typing->setInterval(kTypingPauseMs);
    connect(m_typing, &QTimer::timeout, this, &CHistoryWindow::ApplyFilter);
    for (QLineEdit *field : {m_since, m_until, m_text})
        connect(field, &QLineEdit::textChanged, m_typing, qOverload<>(&QTimer::start));
    connect(m_fates, &QComboBox::currentIndexChanged, this, &CHistoryWindow::ApplyFilter);
    connect(m_scope, &QComboBox::currentIndexChanged, this, &CHistoryWindow::ApplyScope);
    connect(m_stations, &QComboBox::activated, this, &CHistoryWindow::ApplyScope);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &CHistoryWindow::ShowSelected);
    connect(m_print, &QPushButton::clicked, this, &CHistoryWindow::OnPrintAgain);
    connect(m_save, &QPushButton::clicked, this, &CHistoryWindow::OnSaveAsText);
    connect(exportButton, &QPushButton::clicked, this, &CHistoryWindow::OnExportCsv);
    connect(m_acknowledge, &QPushButton::clicked, this, &CHistoryWindow::OnAcknowledgeSelected);
    m_acknowledge->setVisible(AcknowledgementOn());
    connect(m_model, &CHistoryModel::ReadFailed, this, [this](const QString &reason) {
        m_status->setText(reason);
        m_readFailure = reason;
    });
    // Read well again: the reason no longer holds.
    connect(m_model, &CHistoryModel::RowsAdded, this, &CHistoryWindow::ForgetReadFailure);

    m_newRows = new QTimer(this);
    m_newRows->setSingleShot(true);
    m_newRows->setInterval(kNewRowsPauseMs);
    connect(m_newRows, &QTimer::timeout, m_model, [this] {
        // An acknowledgement changes no row's id: the waiting rows are read again whole.
        if (m_model->Filter().m_fates == JournalFilter::Fates::Waiting)
            m_model->SetFilter(m_model->Filter());
        else
            m_model->Refresh();
    });
    if (journal) {
        connect(journal, &Journal::RowsCommitted, m_newRows, [this] {
            if (!m_newRows->isActive())
                m_newRows->start();
        });
    }
    m_scope->hide();
    m_stations->hide();
    m_table->setColumnHidden(CHistoryModel::Station, true);
}

CHistoryWindow::~CHistoryWindow() = default;

void CHistoryWindow::SetCentral(const CentralSettings &central)
{
    m_central = central;
    m_scope->setVisible(central.IsSet());
    if (!central.IsSet())
        m_scope->setCurrentIndex(0);
    ApplyScope();
}

void CHistoryWindow::ApplyScope()
{
    const bool all = m_central.IsSet() && m_scope->currentIndex() == 1;
    m_stations->setVisible(all);
    m_table->setColumnHidden(CHistoryModel::Station, !all);
    if (!all && !m_model->IsCentral())
        return;
    const bool newlyAll = all && !m_model->IsCentral();
    ForgetReadFailure();
    m_model->SetCentral(all ? m_central : CentralSettings(), all && m_stations->currentIndex() > 0
                                                                 ? m_stations->currentText()
                                                                 : QString());
    // The stations as the central journal knows them now, each time it is chosen.
    if (newlyAll) {
        m_model->RequestStations([this](const QStringList &stations) {
            const QString chosen
                = m_stations->currentIndex() > 0 ? m_stations->currentText() : QString();
            m_stations->clear();
            m_stations->addItem(QStringLiteral("Any station"));
            m_stations->addItems(stations);
            m_stations->setCurrentIndex(std::max(0, m_stations->findText(chosen)));
        });
    }
}

JournalFilter CHistoryWindow::FilterFromFields() const
{
    JournalFilter filter;
    filter.m_fates = JournalFilter::Fates(m_fates->currentIndex());
    // A space between date and time is what people type; ISO 8601 wants a T.
    const auto time = [](const QLineEdit *field) {
        return ParseJournalTime(
            field->text().trimmed().replace(QLatin1Char(' '), QLatin1Char('T')));
    };
    filter.m_since = time(m_since);
    filter.m_until = time(m_until);
    filter.m_text = m_text->text();
    return filter;
}

void CHistoryWindow::ApplyFilter()
{
    m_typing->stop();
    const JournalFilter filter = FilterFromFields();
    for (QLineEdit *field : {m_since, m_until}) {
        const bool bad = !field->text().trimmed().isEmpty()
                         && !(field == m_since ? filter.m_since : filter.m_until).isValid();
        field->setStyleSheet(bad ? QStringLiteral("color: red") : QString());
    }
    ForgetReadFailure();
    m_model->SetFilter(filter);
}

void CHistoryWindow::ForgetReadFailure()
{
    if (!m_readFailure.isEmpty() && m_status->text() == m_readFailure)
        m_status->clear();
    m_readFailure.clear();
}

void CHistoryWindow::ShowSelected()
{
    // Only where messages wait: with the switch off the window stays as it always was.
    m_acknowledge->setVisible(AcknowledgementOn());
    const JournalListRow *row = m_model->Row(m_table->currentIndex().row());
    m_entry.reset();
    m_print->setEnabled(false);
    m_save->setEnabled(false);
    if (!row) {
        m_detail->clear();
        return;
    }
    const qint64 id = row->m_id;
    const QString journal = row->m_journal;
    m_model->RequestEntry(
        id,
        [this, id, journal](std::optional<JournalEntry> entry) {
            const JournalListRow *now = m_model->Row(m_table->currentIndex().row());
            if (!now || now->m_id != id || now->m_journal != journal)
                return; // another row was selected meanwhile
            m_entry = std::move(entry);
            m_detail->setPlainText(m_entry ? DetailText(*m_entry) : QString());
            const bool passed = m_entry && m_entry->m_row.m_fate == JournalFate::Passed;
            m_print->setEnabled(passed);
            m_save->setEnabled(passed);
            emit EntryShown();
        },
        journal);
}

QString CHistoryWindow::DetailText(const JournalEntry &entry)
{
    const JournalListRow &row = entry.m_row;
    QString text
        = QStringLiteral("Received %1 on COM%2%3\n")
              .arg(row.m_received.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
                   QString::number(row.m_port),
                   row.m_device.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(row.m_device));
    text += JournalFateText(row.m_fate);
    if (!row.m_detail.isEmpty())
        text += QStringLiteral(": ") + row.m_detail;
    if (row.m_fate != JournalFate::LineEvent)
        text += QStringLiteral(", %1 bytes").arg(entry.m_length);
    text += QStringLiteral("\n\n");
    if (row.m_fate == JournalFate::Passed) {
        QString lines = DecodeCp1252(MessageFileContent(MessageOf(entry)));
        text += lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    } else if (!entry.m_bytes.isEmpty()) {
        text += Visible(entry.m_bytes);
    }
    if (!entry.m_outputs.empty()) {
        text += QStringLiteral("\n\nOutputs:\n");
        for (const JournalOutputRow &output : entry.m_outputs)
            text += QStringLiteral("%1  %2: %3%4\n")
                        .arg(output.m_at.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz")),
                             JournalOutputKindText(output.m_kind),
                             output.m_ok ? QString() : QStringLiteral("failed: "), output.m_result);
    }
    if (entry.m_awaited && !entry.m_acknowledgedAt.isValid())
        text += QStringLiteral("\nWaiting for acknowledgement\n");
    else if (entry.m_awaited)
        text += QStringLiteral("\nAcknowledged %1 by %2 from the %3\n")
                    .arg(entry.m_acknowledgedAt.toLocalTime().toString(
                             QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                         entry.m_acknowledgedBy, AcknowledgedFromText(entry.m_acknowledgedFrom));
    return text;
}

void CHistoryWindow::OnSaveAsText()
{
    if (!m_entry || m_entry->m_row.m_fate != JournalFate::Passed)
        return;
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save Message as Text"), MessageFileName(m_entry->m_header),
        QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    WholeFileWriter writer(path);
    m_status->setText(
        writer.Write(MessageFileContent(MessageOf(*m_entry)))
            ? QStringLiteral("Saved as %1").arg(path)
            : QStringLiteral("%1 could not be written: %2").arg(path, writer.ErrorString()));
}

void CHistoryWindow::OnPrintAgain()
{
    if (!m_entry || m_entry->m_row.m_fate != JournalFate::Passed)
        return;
    // The printing thread takes it, as it takes a passed message's page.
    const bool queued
        = QueuePrint(MessagePrintText(MessageOf(*m_entry)), DecodeCp1252(m_entry->m_header));
    m_status->setText((queued ? QStringLiteral("Handed to the printer: %1")
                              : QStringLiteral("The printer has too many jobs waiting: %1"))
                          .arg(DecodeCp1252(m_entry->m_header)));
}

void CHistoryWindow::OnAcknowledgeSelected()
{
    QList<qint64> rows;
    for (const QModelIndex &index : m_table->selectionModel()->selectedRows()) {
        const JournalListRow *row = m_model->Row(index.row());
        if (row && row->m_fate == JournalFate::Passed)
            rows << row->m_id;
    }
    CAlvetraApp *app = Program();
    if (rows.isEmpty() || !app)
        return;
    app->GetAcknowledgements().AcknowledgeRows(rows, AcknowledgedFrom::History);
    m_status->setText(QStringLiteral("Acknowledged: %1 messages").arg(rows.size()));
}

void CHistoryWindow::OnExportCsv()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export as CSV"),
                                                      QStringLiteral("journal.csv"),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    m_status->setText(QStringLiteral("Exporting to %1...").arg(path));
    m_model->RequestExport(path, [this, path](bool ok, const QString &error) {
        m_status->setText(ok ? QStringLiteral("Exported to %1").arg(path)
                             : QStringLiteral("%1 could not be written: %2").arg(path, error));
        emit ExportEnded(ok ? QString() : error);
    });
}
