#pragma once

#include "journal/JournalReader.h"
#include "settings/CentralSettings.h"

#include <QStringList>

// Reads the central journal across stations, as JournalReader reads the local one: pages newest
// first, the fate, time and text filters (the text through PostgreSQL's trigram index), one
// station or all, a row whole with its outputs, CSV. Its rows carry their station and journal.
// Every function on the thread that made the reader: its connection is used there only, and a
// query may wait on the network (within the statement timeout), never on the window's thread.
class CentralReader
{
public:
    CentralReader();
    ~CentralReader();
    CentralReader(const CentralReader &) = delete;
    CentralReader &operator=(const CentralReader &) = delete;

    // False with the reason when the server cannot be reached or holds no central journal.
    bool Open(const CentralSettings &settings, QString *error);
    bool IsOpen() const { return m_open; }

    // Newest first: at most `limit` rows matching `filter` (and `station`, empty: every
    // station) after `after` in that order (null: from the newest).
    std::vector<JournalListRow> Rows(const JournalFilter &filter,
                                     const QString &station,
                                     const JournalListRow *after,
                                     int limit,
                                     QString *error = nullptr);
    std::optional<JournalEntry> Entry(const QString &journal, qint64 id);
    // The stations that have shipped rows, by name.
    QStringList Stations(QString *error = nullptr);
    // Every row matching, oldest first, as CSV with the station first.
    bool ExportCsv(const JournalFilter &filter,
                   const QString &station,
                   QIODevice &out,
                   CsvFor reader,
                   QString *error);

private:
    QString m_connection;
    bool m_open = false;
};
