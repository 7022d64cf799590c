#include "CHistoryModel.h"

#include "central/CentralReader.h"

#include <QSaveFile>

CHistoryModel::CHistoryModel(const QString &journalPath, QObject *parent)
    : QAbstractTableModel(parent)
    , m_path(journalPath)
    , m_worker(new QObject)
    , m_reader(std::make_shared<JournalReader>())
    , m_centralReader(std::make_shared<CentralReader>())
    , m_latest(std::make_shared<std::atomic<int>>(0))
{
    m_thread.setObjectName(QStringLiteral("History reader"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
    SetFilter({});
}

CHistoryModel::~CHistoryModel()
{
    // The readers' connections close on their own thread.
    QMetaObject::invokeMethod(m_worker, [reader = m_reader, central = m_centralReader]() mutable {
        *reader = {};
        central.reset();
    });
    m_centralReader.reset();
    m_thread.quit();
    m_thread.wait();
}

void CHistoryModel::OnReader(std::function<void(JournalReader *)> query)
{
    QMetaObject::invokeMethod(m_worker, [reader = m_reader, path = m_path, query, this] {
        QString error;
        if (!reader->IsOpen() && !reader->Open(path, &error)) {
            QMetaObject::invokeMethod(this, [this, error] { emit ReadFailed(error); });
            query(nullptr);
            return;
        }
        query(reader.get());
    });
}

void CHistoryModel::OnCentralReader(std::function<void(CentralReader *)> query)
{
    QMetaObject::invokeMethod(
        m_worker, [reader = m_centralReader, settings = m_central, query, this] {
            QString error;
            if (!reader->IsOpen() && !reader->Open(settings, &error)) {
                QMetaObject::invokeMethod(this, [this, error] {
                    emit ReadFailed(
                        QStringLiteral("The central journal could not be read: %1").arg(error));
                });
                query(nullptr);
                return;
            }
            query(reader.get());
        });
}

void CHistoryModel::SetCentral(const CentralSettings &central, const QString &station)
{
    const bool changed
        = central.IsSet() != m_central.IsSet() || central.Where() != m_central.Where();
    if (changed && m_centralReader) {
        // A reader of another server: made afresh on the reading thread.
        QMetaObject::invokeMethod(m_worker, [old = m_centralReader]() mutable { old.reset(); });
        m_centralReader = std::make_shared<CentralReader>();
    }
    m_central = central;
    m_station = station;
    beginResetModel();
    endResetModel();
    SetFilter(m_filter);
}

void CHistoryModel::RequestStations(std::function<void(QStringList)> done)
{
    if (!IsCentral())
        return;
    OnCentralReader([this, done](CentralReader *reader) {
        const QStringList stations = reader ? reader->Stations() : QStringList();
        QMetaObject::invokeMethod(this, [done, stations] { done(stations); });
    });
}

void CHistoryModel::SetFilter(const JournalFilter &filter)
{
    beginResetModel();
    m_filter = filter;
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_atEnd = false;
    m_fetching = false;
    m_refreshing = false;
    m_refreshWanted = false;
    m_failed = false;
    // The first page tells it anew: the rows committed since the last look are on that page.
    m_lastId = -1;
    m_pagesUpTo = 0;
    m_generation = ++*m_latest;
    endResetModel();
    fetchMore({});
}

void CHistoryModel::fetchMore(const QModelIndex &parent)
{
    if (parent.isValid() || m_fetching || m_atEnd)
        return;
    m_fetching = true;
    const int generation = m_generation;
    std::optional<JournalListRow> after;
    if (!m_rows.empty())
        after = m_rows.back();
    JournalFilter filter = m_filter;
    // Older pages keep to the first page's snapshot: a row committed since comes on top only,
    // even when its time is older than the page's.
    filter.m_upToId = m_pagesUpTo;
    if (IsCentral()) {
        OnCentralReader([this, generation, latest = m_latest, filter, after,
                         station = m_station](CentralReader *reader) {
            if (*latest != generation)
                return;
            JournalPage page;
            if (reader)
                page.m_rows = reader->Rows(filter, station, after ? &*after : nullptr, kPageRows,
                                           &page.m_error);
            QMetaObject::invokeMethod(this, [this, generation, ok = reader != nullptr,
                                             page = std::move(page)] {
                if (generation != m_generation)
                    return;
                m_fetching = false;
                m_atEnd = !ok || !page.m_error.isEmpty() || page.m_rows.size() < size_t(kPageRows);
                if (!page.m_rows.empty()) {
                    beginInsertRows({}, int(m_rows.size()),
                                    int(m_rows.size() + page.m_rows.size() - 1));
                    m_rows.insert(m_rows.end(), page.m_rows.begin(), page.m_rows.end());
                    endInsertRows();
                }
                if (!ok || !page.m_error.isEmpty()) {
                    m_failed = true;
                    if (ok)
                        emit ReadFailed(QStringLiteral("The central journal could not be read: %1")
                                            .arg(page.m_error));
                }
                emit PageArrived();
            });
        });
        return;
    }
    OnReader([this, generation, latest = m_latest, filter, after](JournalReader *reader) {
        // A filter typed further since: this page is of no use.
        if (*latest != generation)
            return;
        if (!reader) {
            // The reason has been told; the next look for new rows tries again.
            QMetaObject::invokeMethod(this, [this, generation] {
                if (generation != m_generation)
                    return;
                m_fetching = false;
                m_atEnd = true;
                m_failed = true;
                emit PageArrived();
            });
            return;
        }
        JournalPage page;
        if (after)
            page.m_rows = reader->Rows(filter, &*after, kPageRows, &page.m_error);
        else
            page = reader->FirstPage(filter, kPageRows);
        QMetaObject::invokeMethod(this, [this, generation, first = !after, page = std::move(page)] {
            if (generation != m_generation)
                return;
            m_fetching = false;
            if (first && page.m_error.isEmpty()) {
                m_lastId = page.m_newestId;
                m_pagesUpTo = page.m_newestId;
            }
            // A page that could not be read whole ends the paging: asked again, it would fail
            // again, as often as the view asks.
            m_atEnd = !page.m_error.isEmpty() || page.m_rows.size() < size_t(kPageRows);
            if (!page.m_rows.empty()) {
                beginInsertRows({}, int(m_rows.size()),
                                int(m_rows.size() + page.m_rows.size() - 1));
                m_rows.insert(m_rows.end(), page.m_rows.begin(), page.m_rows.end());
                endInsertRows();
            }
            if (!page.m_error.isEmpty()) {
                m_failed = true;
                emit ReadFailed(ReadFailure(page.m_error));
            }
            emit PageArrived();
            if (m_refreshWanted && m_lastId >= 0)
                Refresh();
        });
    });
}

QString CHistoryModel::ReadFailure(const QString &error)
{
    return QStringLiteral("The journal could not be read: %1").arg(error);
}

void CHistoryModel::Refresh()
{
    // The central journal's rows come from every station, not from this one's commits: it is
    // read afresh when the filter or the choice changes.
    if (IsCentral())
        return;
    if (m_lastId < 0) {
        // The first page tells where new rows begin; one that failed is tried again.
        if (m_fetching)
            m_refreshWanted = true;
        else if (m_failed)
            SetFilter(m_filter);
        return;
    }
    if (m_refreshing) {
        // Rows committed after the look under way: looked for once it is back.
        m_refreshWanted = true;
        return;
    }
    m_refreshing = true;
    m_refreshWanted = false;
    const int generation = m_generation;
    OnReader([this, generation, latest = m_latest, filter = m_filter,
              since = m_lastId](JournalReader *reader) {
        if (!reader || *latest != generation)
            return;
        JournalPage page = reader->RowsSince(filter, since, kMaxNewRows);
        QMetaObject::invokeMethod(this, [this, generation, page = std::move(page)] {
            if (generation != m_generation)
                return;
            m_refreshing = false;
            if (!page.m_error.isEmpty()) {
                // Nothing is taken from a look that failed: the next one starts where it did.
                emit ReadFailed(ReadFailure(page.m_error));
                return;
            }
            if (!page.m_complete) {
                // More new rows than a view would be scrolled through: the table starts again
                // from the newest, and paging down reaches the rest, rather than holding them.
                SetFilter(m_filter);
                return;
            }
            m_lastId = std::max(m_lastId, page.m_newestId);
            if (!page.m_rows.empty()) {
                beginInsertRows({}, 0, int(page.m_rows.size()) - 1);
                m_rows.insert(m_rows.begin(), page.m_rows.begin(), page.m_rows.end());
                endInsertRows();
            }
            emit RowsAdded();
            if (m_refreshWanted)
                Refresh();
        });
    });
}

const JournalListRow *CHistoryModel::Row(int row) const
{
    return row >= 0 && row < int(m_rows.size()) ? &m_rows[size_t(row)] : nullptr;
}

void CHistoryModel::RequestEntry(qint64 id,
                                 std::function<void(std::optional<JournalEntry>)> done,
                                 const QString &journal)
{
    if (IsCentral()) {
        OnCentralReader([this, id, journal, done](CentralReader *reader) {
            std::optional<JournalEntry> entry = reader ? reader->Entry(journal, id) : std::nullopt;
            QMetaObject::invokeMethod(this, [done, entry = std::move(entry)] { done(entry); });
        });
        return;
    }
    OnReader([this, id, done](JournalReader *reader) {
        std::optional<JournalEntry> entry = reader ? reader->Entry(id) : std::nullopt;
        QMetaObject::invokeMethod(this, [done, entry = std::move(entry)] { done(entry); });
    });
}

void CHistoryModel::RequestExport(const QString &path,
                                  std::function<void(bool ok, QString error)> done)
{
    if (IsCentral()) {
        OnCentralReader(
            [this, path, done, filter = m_filter, station = m_station](CentralReader *reader) {
                QString error = QStringLiteral("the central journal cannot be read");
                bool ok = false;
                if (reader) {
                    QSaveFile file(path);
                    ok = file.open(QIODevice::WriteOnly)
                         && reader->ExportCsv(filter, station, file, CsvFor::Spreadsheets, &error)
                         && file.commit();
                    if (!ok && file.error() != QFileDevice::NoError)
                        error = file.errorString();
                }
                QMetaObject::invokeMethod(this, [done, ok, error] { done(ok, error); });
            });
        return;
    }
    OnReader([this, path, done, filter = m_filter](JournalReader *reader) {
        QString error = QStringLiteral("the journal cannot be read");
        bool ok = false;
        if (reader) {
            QSaveFile file(path);
            ok = file.open(QIODevice::WriteOnly)
                 && reader->ExportCsv(filter, file, CsvFor::Spreadsheets, &error) && file.commit();
            if (!ok && file.error() != QFileDevice::NoError)
                error = file.errorString();
        }
        QMetaObject::invokeMethod(this, [done, ok, error] { done(ok, error); });
    });
}

int CHistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int CHistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CHistoryModel::data(const QModelIndex &index, int role) const
{
    const JournalListRow *row = Row(index.row());
    if (!row || role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Received:
        return row->m_received.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    case Line:
        return QStringLiteral("COM%1").arg(row->m_port);
    case Fate:
        return row->m_fate == JournalFate::LineEvent
                   ? row->m_detail
                   : JournalFateText(row->m_fate)
                         + (row->m_fate == JournalFate::Filtered && !row->m_detail.isEmpty()
                                ? QStringLiteral(" (%1)").arg(row->m_detail)
                                : QString());
    case Handling:
        return row->m_handling;
    case Region:
        return row->m_region;
    case Source:
        return row->m_source;
    case Header:
        return row->m_header;
    case Headline:
        return row->m_headline;
    case Station:
        return row->m_station;
    }
    return {};
}

QVariant CHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char *const names[] = {"Received", "Line",   "Fate",     "Handling", "Region",
                                        "Source",   "Header", "Headline", "Station"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(names[section]) : QVariant();
}

bool CHistoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_atEnd && !m_fetching;
}
