#pragma once

#include "journal/JournalReader.h"
#include "settings/CentralSettings.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class CHistoryModel;
class Journal;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;

// "Message History": the journal as a table, newest first, with its filters, the selected
// row's message and outputs, and the export. A window of its own beside the main frame.
// Window thread only; every query runs on the model's reading thread.
class CHistoryWindow : public QWidget
{
    Q_OBJECT

public:
    // `journal` (may be null: no journal is written in this run) tells of new rows.
    CHistoryWindow(const QString &journalPath, Journal *journal, QWidget *parent = nullptr);
    ~CHistoryWindow() override;

    CHistoryModel *Model() const { return m_model; }
    QTableView *Table() const { return m_table; }
    QPlainTextEdit *Detail() const { return m_detail; }
    // The filter as the fields say now; invalid times where a field holds none.
    JournalFilter FilterFromFields() const;
    // Offers "All stations" beside "This station", reading the central journal at `central`
    // (unset: only this station's journal). The window takes the general settings' at first.
    void SetCentral(const CentralSettings &central);
    QComboBox *Stations() const { return m_stations; }
    QComboBox *Scope() const { return m_scope; }

    // The text of a row in the file's layout, its outputs below.
    static QString DetailText(const JournalEntry &entry);

    void OnSaveAsText();
    void OnPrintAgain();
    void OnExportCsv();
    // Acknowledges the selected rows that wait for acknowledgement.
    void OnAcknowledgeSelected();

signals:
    // The selected row's whole entry has been read and shown.
    void EntryShown();
    // An export ended; `error` is empty when it succeeded.
    void ExportEnded(const QString &error);

private:
    void ApplyFilter();
    void ApplyScope();
    void ShowSelected();
    void ForgetReadFailure();

    CHistoryModel *m_model = nullptr;
    QComboBox *m_scope = nullptr;    // this station or all stations
    QComboBox *m_stations = nullptr; // with all stations: one of them, or any
    CentralSettings m_central;
    QComboBox *m_fates = nullptr;
    QLineEdit *m_since = nullptr;
    QLineEdit *m_until = nullptr;
    QLineEdit *m_text = nullptr;
    QTableView *m_table = nullptr;
    QPlainTextEdit *m_detail = nullptr;
    QPushButton *m_print = nullptr;
    QPushButton *m_save = nullptr;
    QPushButton *m_acknowledge = nullptr;
    QLabel *m_status = nullptr;
    QTimer *m_typing = nullptr;
    QTimer *m_newRows = nullptr;
    std::optional<JournalEntry> m_entry;
    QString m_readFailure; // the status line's reason the journal could not be read
};
