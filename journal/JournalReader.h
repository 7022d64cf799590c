#pragma once

#include "JournalRecord.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

class QIODevice;

// Which rows a reader looks at.
struct JournalFilter
{
    // Waiting: passed messages still waiting for acknowledgement.
    enum class Fates { All, Passed, Filtered, Malformed, LineEvents, Waiting };
    Fates m_fates = Fates::All;
    QDateTime m_since;   // inclusive; invalid: no bound
    QDateTime m_until;   // exclusive; invalid: no bound
    QString m_text;      // a piece of the header, headline or body, any case; empty: any
    qint64 m_upToId = 0; // only rows up to this id (a snapshot's newest); 0: no bound
};

// A row as the History window's table shows it.
struct JournalListRow
{
    qint64 m_id = 0;
    QDateTime m_received; // UTC
    int m_port = 0;
    QString m_device;
    JournalFate m_fate = JournalFate::Passed;
    QString m_detail;
    QString m_handling;
    QString m_region;
    QString m_source;
    QString m_header;
    QString m_headline;
    // Rows of the central journal: the station that shipped it and its journal's identity.
    QString m_station;
    QString m_journal;
};

struct JournalOutputRow
{
    JournalOutputKind m_kind = JournalOutputKind::Sound;
    QDateTime m_at;
    bool m_ok = true;
    QString m_result;
};

// One row whole: the message as it was received and what was done with it.
struct JournalEntry
{
    JournalListRow m_row;
    qint64 m_length = 0;
    QByteArray m_bytes;
    // The line's bytes again (Windows-1252), for the file's layout and the printer.
    QByteArray m_header;
    QByteArray m_headline;
    QByteArray m_trailer;
    QByteArray m_body;
    std::vector<JournalOutputRow> m_outputs;
    // Whether the message waited for acknowledgement, and who gave it, when and where from;
    // m_acknowledgedAt is invalid while it still waits.
    bool m_awaited = false;
    QDateTime m_acknowledgedAt;
    QString m_acknowledgedBy;
    AcknowledgedFrom m_acknowledgedFrom = AcknowledgedFrom::Window;
};

// Rows read in one snapshot of the journal together with the id of the newest row in that
// snapshot: a row committed later has a larger id, so a reader that goes on from that id sees
// every row once.
struct JournalPage
{
    std::vector<JournalListRow> m_rows;
    qint64 m_newestId = 0;  // 0 for an empty journal
    bool m_complete = true; // false: more rows matched than were asked for
    QString m_error;        // why the journal could not be read; empty when it could
};

// Who opens an export. A script takes every value as it is; a spreadsheet would run a field
// that begins as a formula does (=, +, -, @, a tab or a carriage return), which a line's text
// may well do, so for one such a field begins with an apostrophe and shows as the text it is.
enum class CsvFor { Scripts, Spreadsheets };

// Reads the journal through a connection of its own, which writes nothing. Every function on
// the thread that made the reader; a long query (a text on a large journal) belongs on a
// thread that may wait, never the window's.
class JournalReader
{
public:
    JournalReader();
    ~JournalReader();
    JournalReader(const JournalReader &) = delete;
    JournalReader &operator=(const JournalReader &) = delete;
    // Closes the connection of `other`'s place: a reader is emptied by moving a fresh one in.
    JournalReader &operator=(JournalReader &&other) noexcept;

    // False with the reason when the file is missing or is not a journal.
    bool Open(const QString &path, QString *error);
    bool IsOpen() const { return m_open; }

    // Newest first: at most `limit` rows matching `filter` that come after `after` in that order
    // (null: from the newest). On failure, the rows read before it and the reason in `error`.
    std::vector<JournalListRow> Rows(const JournalFilter &filter,
                                     const JournalListRow *after,
                                     int limit,
                                     QString *error = nullptr);
    // The newest `limit` rows matching `filter` and the newest row's id, in one snapshot.
    JournalPage FirstPage(const JournalFilter &filter, int limit);
    // Every row matching `filter` committed after the row `lastId`, newest first, and the
    // newest row's id, in one snapshot; at most `limit` rows (m_complete false when more came).
    JournalPage RowsSince(const JournalFilter &filter, qint64 lastId, int limit);
    std::optional<JournalEntry> Entry(qint64 id);
    // The id of the newest row committed; 0 for an empty journal, -1 when it cannot be read.
    qint64 LastId();

    // Every row matching `filter`, oldest first, as CSV (RFC 4180, UTF-8, a header record
    // first) for `reader`. False with the reason when the journal cannot be read or `out` not
    // written.
    bool ExportCsv(const JournalFilter &filter, QIODevice &out, CsvFor reader, QString *error);

private:
    std::vector<JournalListRow> TextRows(const JournalFilter &filter,
                                         const QString &phrase,
                                         const JournalListRow *after,
                                         int limit,
                                         QString *error);
    // Opens a read snapshot unless one is open; false when this call did not open one.
    bool BeginSnapshot();
    void EndSnapshot(bool begun);
    // The newest row's id in the snapshot open; -1 with the reason in `error` on failure.
    qint64 NewestId(QString *error);

    QString m_connection;
    bool m_open = false;
    // A journal no Alvetra with acknowledgements has written lacks their table.
    bool m_hasAcknowledgements = false;
    bool m_inSnapshot = false;
};

// `text` as one CSV field for `reader`: without NUL characters, which readers of CSV take for
// the end of the text or refuse; quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
QByteArray CsvField(const QString &text, CsvFor reader);
// A time as ISO 8601 in local time with its offset, to the millisecond.
QString JournalLocalTimeText(const QDateTime &time);
