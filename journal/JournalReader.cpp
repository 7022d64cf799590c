#include "JournalReader.h"

#include "JournalDatabase.h"
#include "rtf/Cp1252.h"

#include <QIODevice>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <string_view>

namespace {

constexpr char kColumns[] = "id, received, port, device, fate, detail, handling, region, source,"
                            " header, headline";
// The same, where the text index is joined in and has columns of the same names.
constexpr char kFramesColumns[]
    = "frames.id, frames.received, frames.port, frames.device, frames.fate, frames.detail,"
      " frames.handling, frames.region, frames.source, frames.header, frames.headline";

// A text long enough for the trigram index, as one phrase of trigrams: any piece of the texts,
// as LIKE would find it, but indexed. Empty when the text is too short.
QString TextPhrase(const JournalFilter &filter)
{
    const QString text = filter.m_text.trimmed();
    if (text.size() < 3)
        return {};
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\""))
           + QLatin1Char('"');
}

// A LIKE pattern finding `text` anywhere, its own % and _ taken as they are.
QString LikePattern(const QString &text)
{
    QString pattern = text;
    pattern.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('%'), QStringLiteral("\\%"))
        .replace(QLatin1Char('_'), QStringLiteral("\\_"));
    return QLatin1Char('%') + pattern + QLatin1Char('%');
}

// The cases of the letter `c` as the text index folds them together, `c` first.
QList<char32_t> Cases(char32_t c)
{
    QList<char32_t> cases{c};
    for (const char32_t other :
         {QChar::toLower(c), QChar::toUpper(c), QChar::toTitleCase(c), QChar::toCaseFolded(c)}) {
        if (!cases.contains(other))
            cases << other;
    }
    return cases;
}

// A GLOB pattern finding `text` anywhere, any letter in any of its cases.
QString GlobPattern(const QString &text)
{
    QString pattern = QStringLiteral("*");
    for (const char32_t c : text.toUcs4()) {
        const QList<char32_t> cases = Cases(c);
        const bool wild = c == U'*' || c == U'?' || c == U'[';
        if (cases.size() > 1 || wild)
            pattern += QLatin1Char('[') + QString::fromUcs4(cases.data(), cases.size())
                       + QLatin1Char(']');
        else
            pattern += QString::fromUcs4(&c, 1);
    }
    return pattern + QLatin1Char('*');
}

// `text` in the header, headline or body, as the condition and the values it binds. The text
// index finds any letter in any case; LIKE does so for ASCII letters alone, so a text with a
// letter beyond them is looked for with GLOB, each letter standing for the set of its cases.
QString TextCondition(const QString &text, QVariantList &values)
{
    const QList<uint> letters = text.toUcs4();
    const bool ascii = std::all_of(letters.cbegin(), letters.cend(),
                                   [](uint c) { return c < 0x80 || Cases(c).size() == 1; });
    const QString pattern = ascii ? LikePattern(text) : GlobPattern(text);
    values << pattern << pattern << pattern;
    return ascii ? QStringLiteral("(header LIKE ? ESCAPE '\\' OR headline LIKE ? ESCAPE '\\'"
                                  " OR body LIKE ? ESCAPE '\\')")
                 : QStringLiteral("(header GLOB ? OR headline GLOB ? OR body GLOB ?)");
}

// The WHERE clause for `filter` and the values it binds, in order. `newerThan`: the caller
// looks at the rows after that id alone, and the text index need hand over no older match.
QString Conditions(const JournalFilter &filter, QVariantList &values, qint64 newerThan = 0)
{
    QStringList parts;
    switch (filter.m_fates) {
    case JournalFilter::Fates::All:
        break;
    case JournalFilter::Fates::Passed:
        parts << QStringLiteral("fate = %1").arg(int(JournalFate::Passed));
        break;
    case JournalFilter::Fates::Filtered:
        parts << QStringLiteral("fate = %1").arg(int(JournalFate::Filtered));
        break;
    case JournalFilter::Fates::Malformed:
        parts << QStringLiteral("fate = %1").arg(int(JournalFate::Malformed));
        break;
    case JournalFilter::Fates::LineEvents:
        parts << QStringLiteral("fate = %1").arg(int(JournalFate::LineEvent));
        break;
    case JournalFilter::Fates::Waiting:
        parts << QStringLiteral("id IN (SELECT frame FROM acknowledgements WHERE at IS NULL)");
        break;
    }
    if (filter.m_since.isValid()) {
        parts << QStringLiteral("received >= ?");
        values << JournalStoredTime(filter.m_since);
    }
    if (filter.m_until.isValid()) {
        parts << QStringLiteral("received < ?");
        values << JournalStoredTime(filter.m_until);
    }
    if (filter.m_upToId > 0) {
        // The unary plus keeps the planner on the time index: a page walks it in order and
        // stops, where a walk by id would sort every row first.
        parts << QStringLiteral("+id <= ?");
        values << filter.m_upToId;
    }
    const QString text = filter.m_text.trimmed();
    if (const QString phrase = TextPhrase(filter); !phrase.isEmpty()) {
        // The writer indexes rows a while after it keeps them; the newest are looked through.
        values << phrase;
        QString newer;
        if (newerThan > 0) {
            newer = QStringLiteral(" AND rowid > ?");
            values << newerThan;
        }
        parts << QStringLiteral("(id IN (SELECT rowid FROM frames_text WHERE frames_text MATCH ?%1)"
                                " OR (id > (SELECT upto FROM text_indexed) AND %2))")
                     .arg(newer, TextCondition(text, values));
    } else if (!text.isEmpty()) {
        // Too short for a trigram: a scan, which stops at the page's last row.
        parts << TextCondition(text, values);
    }
    return parts.isEmpty() ? QString() : parts.join(QLatin1String(" AND "));
}

JournalListRow ListRow(const QSqlQuery &query)
{
    JournalListRow row;
    row.m_id = query.value(0).toLongLong();
    row.m_received = JournalTimeFromStored(query.value(1).toLongLong());
    row.m_port = query.value(2).toInt();
    row.m_device = query.value(3).toString();
    row.m_fate = JournalFate(query.value(4).toInt());
    row.m_detail = query.value(5).toString();
    row.m_handling = query.value(6).toString();
    row.m_region = query.value(7).toString();
    row.m_source = query.value(8).toString();
    row.m_header = query.value(9).toString();
    row.m_headline = query.value(10).toString();
    return row;
}

// The rows `query` finds; on failure, the rows found before it and the reason in `error`
// (left as it is on success, so that one error holds for several queries).
std::vector<JournalListRow> RunList(QSqlQuery &query, const QVariantList &values, QString *error)
{
    std::vector<JournalListRow> rows;
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        if (error)
            *error = query.lastError().text();
        return rows;
    }
    while (query.next())
        rows.push_back(ListRow(query));
    // A damaged page shows only when the walk reaches it, after rows that read well.
    if (query.lastError().isValid() && error)
        *error = query.lastError().text();
    return rows;
}

std::atomic<quint64> g_readers{0};

} // namespace

JournalReader::JournalReader()
    : m_connection(QStringLiteral("journal-reader-%1").arg(++g_readers))
{}

JournalReader::~JournalReader()
{
    if (m_open) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

JournalReader &JournalReader::operator=(JournalReader &&other) noexcept
{
    if (this != &other) {
        if (m_open) {
            QSqlDatabase::database(m_connection, false).close();
            QSqlDatabase::removeDatabase(m_connection);
        }
        std::swap(m_connection, other.m_connection);
        m_open = std::exchange(other.m_open, false);
        m_hasAcknowledgements = other.m_hasAcknowledgements;
    }
    return *this;
}

qint64 JournalReader::LastId()
{
    if (!m_open)
        return -1;
    QString error;
    return NewestId(&error);
}

qint64 JournalReader::NewestId(QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT max(id) FROM frames")) || !query.next()) {
        *error = query.lastError().text();
        return -1;
    }
    return query.value(0).toLongLong();
}

bool JournalReader::BeginSnapshot()
{
    // A deferred transaction: the snapshot is taken by its first read and held until the end.
    if (m_inSnapshot || !QSqlDatabase::database(m_connection, false).transaction())
        return false;
    m_inSnapshot = true;
    return true;
}

void JournalReader::EndSnapshot(bool begun)
{
    if (!begun)
        return;
    // Nothing was written: the end only lets the writer's checkpoint go past the snapshot.
    QSqlDatabase::database(m_connection, false).commit();
    m_inSnapshot = false;
}

bool JournalReader::Open(const QString &path, QString *error)
{
    if (m_open)
        return true;
    m_open = OpenJournalForReading(path, m_connection, error);
    if (m_open) {
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        m_hasAcknowledgements
            = query.exec(QStringLiteral(
                  "SELECT count(*) FROM sqlite_schema WHERE name='acknowledgements'"))
              && query.next() && query.value(0).toInt() == 1;
    }
    return m_open;
}

std::vector<JournalListRow> JournalReader::Rows(const JournalFilter &filter,
                                                const JournalListRow *after,
                                                int limit,
                                                QString *error)
{
    if (!m_open) {
        if (error)
            *error = QStringLiteral("the journal is not open");
        return {};
    }
    if (const QString phrase = TextPhrase(filter); !phrase.isEmpty())
        return TextRows(filter, phrase, after, limit, error);
    QVariantList values;
    QString where = Conditions(filter, values);
    if (after) {
        if (!where.isEmpty())
            where += QLatin1String(" AND ");
        // The row-value comparison walks the time index from where the last page ended.
        where += QStringLiteral("(received, id) < (?, ?)");
        values << JournalStoredTime(after->m_received) << after->m_id;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM frames%2 ORDER BY received DESC, id DESC LIMIT %3")
                      .arg(QLatin1String(kColumns),
                           where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where)
                      .arg(limit));
    return RunList(query, values, error);
}

std::vector<JournalListRow> JournalReader::TextRows(const JournalFilter &filter,
                                                    const QString &phrase,
                                                    const JournalListRow *after,
                                                    int limit,
                                                    QString *error)
{
    // The text index hands its rows newest kept first and stops at the page's end; asked
    // for them in time order, it would hand every match over to be sorted first, which takes
    // seconds for a word in most rows of a large journal. Rows are kept in the order they came
    // in, so the order is the same.
    JournalFilter rest = filter;
    rest.m_text.clear();
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // One snapshot for both parts: the rows not yet indexed are all newer than those indexed.
    const bool begun = BeginSnapshot();
    QSqlQuery indexed(db);
    if (!indexed.exec(QStringLiteral("SELECT upto FROM text_indexed")) || !indexed.next()) {
        if (error)
            *error = indexed.lastError().text();
        EndSnapshot(begun);
        return {};
    }
    const qint64 upto = indexed.value(0).toLongLong();
    indexed.finish();
    QVariantList values{upto};
    QString where
        = QStringLiteral("id > ? AND %1").arg(TextCondition(filter.m_text.trimmed(), values));
    if (const QString conditions = Conditions(rest, values); !conditions.isEmpty())
        where += QLatin1String(" AND ") + conditions;
    if (after) {
        where += QStringLiteral(" AND id < ?");
        values << after->m_id;
    }
    QSqlQuery newest(db);
    newest.setForwardOnly(true);
    newest.prepare(QStringLiteral("SELECT %1 FROM frames WHERE %2 ORDER BY id DESC LIMIT %3")
                       .arg(QLatin1String(kColumns), where)
                       .arg(limit));
    QString failure;
    std::vector<JournalListRow> rows = RunList(newest, values, &failure);

    if (failure.isEmpty() && qsizetype(rows.size()) < limit) {
        values = {phrase, upto};
        where = QStringLiteral("frames_text MATCH ? AND frames_text.rowid <= ?");
        if (const QString conditions = Conditions(rest, values); !conditions.isEmpty())
            where += QLatin1String(" AND ") + conditions;
        if (after) {
            where += QStringLiteral(" AND frames_text.rowid < ?");
            values << after->m_id;
        }
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT %1 FROM frames_text JOIN frames ON frames.id ="
                                     " frames_text.rowid WHERE %2 ORDER BY frames_text.rowid DESC"
                                     " LIMIT %3")
                          .arg(QLatin1String(kFramesColumns), where)
                          .arg(limit - qsizetype(rows.size())));
        std::vector<JournalListRow> older = RunList(query, values, &failure);
        rows.insert(rows.end(), std::make_move_iterator(older.begin()),
                    std::make_move_iterator(older.end()));
    }
    EndSnapshot(begun);
    if (error && !failure.isEmpty())
        *error = failure;
    return rows;
}

JournalPage JournalReader::FirstPage(const JournalFilter &filter, int limit)
{
    JournalPage page;
    if (!m_open) {
        page.m_error = QStringLiteral("the journal is not open");
        return page;
    }
    const bool begun = BeginSnapshot();
    page.m_newestId = NewestId(&page.m_error);
    if (page.m_error.isEmpty()) {
        JournalFilter bounded = filter;
        bounded.m_upToId = page.m_newestId;
        page.m_rows = Rows(bounded, nullptr, limit, &page.m_error);
    }
    EndSnapshot(begun);
    return page;
}

JournalPage JournalReader::RowsSince(const JournalFilter &filter, qint64 lastId, int limit)
{
    JournalPage page;
    if (!m_open) {
        page.m_error = QStringLiteral("the journal is not open");
        return page;
    }
    const bool begun = BeginSnapshot();
    page.m_newestId = NewestId(&page.m_error);
    if (page.m_error.isEmpty() && page.m_newestId > lastId) {
        QVariantList values;
        QString where = Conditions(filter, values, lastId);
        where = QStringLiteral("id > ?")
                + (where.isEmpty() ? QString() : QLatin1String(" AND ") + where);
        values.prepend(lastId);
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        query.setForwardOnly(true);
        // One row past the limit tells whether more came. The new rows are the last few ids:
        // walked by time, or by fate, the look would go through the whole journal when fewer
        // than the limit came, which is nearly always.
        query.prepare(QStringLiteral("SELECT %1 FROM frames NOT INDEXED WHERE %2"
                                     " ORDER BY received DESC, id DESC LIMIT %3")
                          .arg(QLatin1String(kColumns), where)
                          .arg(qint64(limit) + 1));
        page.m_rows = RunList(query, values, &page.m_error);
        if (qsizetype(page.m_rows.size()) > limit) {
            page.m_rows.resize(size_t(limit));
            page.m_complete = false;
        }
    }
    EndSnapshot(begun);
    return page;
}

std::optional<JournalEntry> JournalReader::Entry(qint64 id)
{
    if (!m_open)
        return std::nullopt;
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1, length, bytes, trailer, body FROM frames WHERE id = ?")
                      .arg(QLatin1String(kColumns)));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    JournalEntry entry;
    entry.m_row = ListRow(query);
    entry.m_length = query.value(11).toLongLong();
    entry.m_bytes = query.value(12).toByteArray();
    const auto line = [](const QVariant &value) { return EncodeCp1252(value.toString()); };
    entry.m_header = line(query.value(9));
    entry.m_headline = line(query.value(10));
    entry.m_trailer = line(query.value(13));
    entry.m_body = line(query.value(14));
    query.finish();

    QSqlQuery outputs(db);
    outputs.setForwardOnly(true);
    outputs.prepare(
        QStringLiteral("SELECT kind, at, ok, result FROM outputs WHERE frame = ? ORDER BY rowid"));
    outputs.addBindValue(id);
    if (outputs.exec()) {
        while (outputs.next())
            entry.m_outputs.push_back({JournalOutputKind(outputs.value(0).toInt()),
                                       JournalTimeFromStored(outputs.value(1).toLongLong()),
                                       outputs.value(2).toInt() != 0, outputs.value(3).toString()});
    }
    if (!m_hasAcknowledgements)
        return entry;
    QSqlQuery acknowledged(db);
    acknowledged.prepare(
        QStringLiteral("SELECT at, user, place FROM acknowledgements WHERE frame = ?"));
    acknowledged.addBindValue(id);
    if (acknowledged.exec() && acknowledged.next()) {
        entry.m_awaited = true;
        if (!acknowledged.value(0).isNull()) {
            entry.m_acknowledgedAt = JournalTimeFromStored(acknowledged.value(0).toLongLong());
            entry.m_acknowledgedBy = acknowledged.value(1).toString();
            entry.m_acknowledgedFrom = AcknowledgedFrom(acknowledged.value(2).toInt());
        }
    }
    return entry;
}

bool JournalReader::ExportCsv(const JournalFilter &filter,
                              QIODevice &out,
                              CsvFor reader,
                              QString *error)
{
    if (!m_open) {
        *error = QStringLiteral("the journal is not open");
        return false;
    }
    QVariantList values;
    const QString where = Conditions(filter, values);
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    // Each row's acknowledgement after its columns; none where the journal has no table of them.
    const QString acknowledgements
        = m_hasAcknowledgements
              ? QStringLiteral(", acknowledgements.frame IS NOT NULL, acknowledgements.at,"
                               " acknowledgements.user, acknowledgements.place FROM frames LEFT"
                               " JOIN acknowledgements ON acknowledgements.frame = frames.id")
              : QStringLiteral(", 0, NULL, NULL, NULL FROM frames");
    query.prepare(QStringLiteral("SELECT %1%2%3 ORDER BY received, id")
                      .arg(QLatin1String(kColumns), acknowledgements,
                           where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    const auto record = [&out, reader](const QStringList &fields) {
        QByteArray line;
        for (const QString &field : fields) {
            if (!line.isEmpty())
                line += ',';
            line += CsvField(field, reader);
        }
        line += "\r\n";
        return out.write(line) == line.size();
    };
    bool ok = record({QStringLiteral("received"), QStringLiteral("line"), QStringLiteral("device"),
                      QStringLiteral("fate"), QStringLiteral("detail"), QStringLiteral("handling"),
                      QStringLiteral("region"), QStringLiteral("source"), QStringLiteral("header"),
                      QStringLiteral("headline"), QStringLiteral("acknowledged"),
                      QStringLiteral("acknowledged by"), QStringLiteral("acknowledged from")});
    while (ok && query.next()) {
        const JournalListRow row = ListRow(query);
        // "waiting" until acknowledged, then its time; empty for a message that never waited.
        QString acknowledged;
        QString by;
        QString from;
        if (query.value(11).toInt() != 0 && query.value(12).isNull()) {
            acknowledged = QStringLiteral("waiting");
        } else if (query.value(11).toInt() != 0) {
            acknowledged
                = JournalLocalTimeText(JournalTimeFromStored(query.value(12).toLongLong()));
            by = query.value(13).toString();
            from = AcknowledgedFromText(AcknowledgedFrom(query.value(14).toInt()));
        }
        ok = record({JournalLocalTimeText(row.m_received), QStringLiteral("COM%1").arg(row.m_port),
                     row.m_device, JournalFateText(row.m_fate), row.m_detail, row.m_handling,
                     row.m_region, row.m_source, row.m_header, row.m_headline, acknowledged, by,
                     from});
    }
    if (!ok) {
        *error = out.errorString();
        return false;
    }
    if (query.lastError().isValid()) {
        *error = query.lastError().text();
        return false;
    }
    return true;
}

QByteArray CsvField(const QString &text, CsvFor reader)
{
    QByteArray bytes = text.toUtf8();
    bytes.removeIf([](char c) { return c == '\0'; });
    if (reader == CsvFor::Spreadsheets && !bytes.isEmpty()
        && std::string_view("=+-@\t\r").find(bytes.front()) != std::string_view::npos)
        bytes.prepend('\'');
    if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\n')
        && !bytes.contains('\r'))
        return bytes;
    bytes.replace('"', "\"\"");
    return '"' + bytes + '"';
}

QString JournalLocalTimeText(const QDateTime &time)
{
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}
