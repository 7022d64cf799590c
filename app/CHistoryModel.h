#pragma once

#include "journal/JournalReader.h"
#include "settings/CentralSettings.h"

#include <QAbstractTableModel>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class CentralReader;

// The History window's table: the journal's rows matching a filter, newest first, fetched a
// page at a time as the view scrolls to them, so a journal of millions of rows costs only the
// rows seen. Every query runs on a reading thread of the model's own with a connection of its
// own; the answers come back to the window's thread, where every function here runs. An
// answer to a filter that has since changed is dropped.
class CHistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int kPageRows = 256;
    // New rows beyond this many at one look start the table again from the newest.
    static constexpr int kMaxNewRows = 64 * kPageRows;
    enum Column {
        Received,
        Line,
        Fate,
        Handling,
        Region,
        Source,
        Header,
        Headline,
        Station, // the central journal's rows only
        ColumnCount
    };

    explicit CHistoryModel(const QString &journalPath, QObject *parent = nullptr);
    ~CHistoryModel() override;

    // Shows the rows matching `filter` from the newest on.
    void SetFilter(const JournalFilter &filter);
    // Reads the central journal at `central` (every station, or `station` alone) instead of
    // the local one; an unset `central` goes back to the local journal. Starts from the newest.
    void SetCentral(const CentralSettings &central, const QString &station = {});
    bool IsCentral() const { return m_central.IsSet(); }
    // The stations of the central journal, handed to `done` on the window's thread.
    void RequestStations(std::function<void(QStringList)> done);
    const JournalFilter &Filter() const { return m_filter; }
    // Looks for rows committed since the last look and puts every one matching on top.
    void Refresh();
    const JournalListRow *Row(int row) const;

    // The whole row `id` (of `journal` in the central journal), handed to `done` on the
    // window's thread (nullopt: gone or unreadable).
    void RequestEntry(qint64 id,
                      std::function<void(std::optional<JournalEntry>)> done,
                      const QString &journal = {});
    // Writes every row matching the filter as CSV for a spreadsheet to `path`; `done` gets the
    // reason on failure.
    void RequestExport(const QString &path, std::function<void(bool ok, QString error)> done);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

signals:
    // A page of rows came in (or none: the filter matches nothing more).
    void PageArrived();
    // The journal cannot be read: the reason.
    void ReadFailed(const QString &reason);
    // A look for new rows came back (with none, perhaps).
    void RowsAdded();

private:
    // Runs `query` on the reading thread with the open reader (null when it cannot open).
    void OnReader(std::function<void(JournalReader *)> query);
    void OnCentralReader(std::function<void(CentralReader *)> query);
    static QString ReadFailure(const QString &error);

    QString m_path;
    QThread m_thread;
    QObject *m_worker = nullptr;                    // lives on m_thread
    std::shared_ptr<JournalReader> m_reader;        // used on m_thread only
    std::shared_ptr<CentralReader> m_centralReader; // used on m_thread only
    CentralSettings m_central;                      // set: the rows are the central journal's
    QString m_station;
    std::shared_ptr<std::atomic<int>> m_latest;

    JournalFilter m_filter;
    int m_generation = 0;
    std::vector<JournalListRow> m_rows;
    qint64 m_lastId = -1;   // the newest row already looked at; -1: not known yet
    qint64 m_pagesUpTo = 0; // the newest row when the first page was read
    bool m_fetching = false;
    bool m_refreshing = false;
    bool m_refreshWanted = false; // new rows were told of while the newest id was not known
    bool m_failed = false;        // a page could not be read
    bool m_atEnd = false;
};
