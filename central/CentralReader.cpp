#include "CentralReader.h"

#include "CentralDatabase.h"
#include "rtf/Cp1252.h"

#include <QIODevice>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>

#include <atomic>

namespace {

std::atomic<quint64> g_readers{0};

constexpr char kColumns[]
    = "journal, id, (extract(epoch FROM received) * 1000)::bigint, port, device, fate, detail,"
      " handling, region, source, header, headline, station";
// The texts a search looks through, as the trigram index holds them.
constexpr char kTexts[]
    = "(coalesce(header, '') || ' ' || coalesce(headline, '') || ' ' || coalesce(body, ''))";
constexpr char kTime[] = "to_timestamp(?::double precision / 1000)";
// A row's acknowledgement: the first given, or the row saying it began to wait; none for a
// message that never waited. Columns awaited, at (ms), username, place.
constexpr char kAcknowledgement[]
    = " LEFT JOIN LATERAL (SELECT true AS awaited, (extract(epoch FROM at) * 1000)::bigint AS at,"
      " username, place FROM acknowledgements WHERE acknowledgements.journal = frames.journal"
      " AND acknowledgements.frame = frames.id ORDER BY at IS NULL, id LIMIT 1) acknowledged"
      " ON true";

QString LikePattern(const QString &text)
{
    QString pattern = text;
    pattern.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('%'), QStringLiteral("\\%"))
        .replace(QLatin1Char('_'), QStringLiteral("\\_"));
    return QLatin1Char('%') + pattern + QLatin1Char('%');
}

QString Conditions(const JournalFilter &filter, const QString &station, QVariantList &values)
{
    QStringList parts;
    const auto fate
        = [&parts](JournalFate fate) { parts << QStringLiteral("fate = %1").arg(int(fate)); };
    switch (filter.m_fates) {
    case JournalFilter::Fates::All:
        break;
    case JournalFilter::Fates::Passed:
        fate(JournalFate::Passed);
        break;
    case JournalFilter::Fates::Filtered:
        fate(JournalFate::Filtered);
        break;
    case JournalFilter::Fates::Malformed:
        fate(JournalFate::Malformed);
        break;
    case JournalFilter::Fates::LineEvents:
        fate(JournalFate::LineEvent);
        break;
    case JournalFilter::Fates::Waiting:
        // Began to wait, and no acknowledgement has come since: a set the server may hash once,
        // the waiting being few among millions of rows.
        parts << QStringLiteral("(journal, id) IN (SELECT journal, frame FROM acknowledgements"
                                " GROUP BY journal, frame HAVING bool_and(at IS NULL))");
        break;
    }
    if (filter.m_since.isValid()) {
        parts << QStringLiteral("received >= %1").arg(QLatin1String(kTime));
        values << filter.m_since.toMSecsSinceEpoch();
    }
    if (filter.m_until.isValid()) {
        parts << QStringLiteral("received < %1").arg(QLatin1String(kTime));
        values << filter.m_until.toMSecsSinceEpoch();
    }
    if (!station.isEmpty()) {
        parts << QStringLiteral("station = ?");
        values << station;
    }
    if (const QString text = filter.m_text.trimmed(); !text.isEmpty()) {
        // ILIKE on the indexed expression: the trigram index answers it for three characters
        // or more, in any case.
        parts << QStringLiteral("%1 ILIKE ?").arg(QLatin1String(kTexts));
        values << LikePattern(text);
    }
    return parts.join(QLatin1String(" AND "));
}

JournalListRow ListRow(const QSqlQuery &query)
{
    JournalListRow row;
    row.m_journal = query.value(0).toString();
    row.m_id = query.value(1).toLongLong();
    row.m_received = QDateTime::fromMSecsSinceEpoch(query.value(2).toLongLong(), Qt::UTC);
    row.m_port = query.value(3).toInt();
    row.m_device = query.value(4).toString();
    row.m_fate = JournalFate(query.value(5).toInt());
    row.m_detail = query.value(6).toString();
    row.m_handling = query.value(7).toString();
    row.m_region = query.value(8).toString();
    row.m_source = query.value(9).toString();
    row.m_header = query.value(10).toString();
    row.m_headline = query.value(11).toString();
    row.m_station = query.value(12).toString();
    return row;
}

} // namespace

CentralReader::CentralReader()
    : m_connection(QStringLiteral("central-reader-%1").arg(++g_readers))
{}

CentralReader::~CentralReader()
{
    if (m_open)
        CloseCentral(m_connection);
}

bool CentralReader::Open(const CentralSettings &settings, QString *error)
{
    if (m_open)
        return true;
    if (!settings.IsSet()) {
        *error = QStringLiteral("no central journal is set");
        return false;
    }
    if (!OpenCentral(settings, m_connection, error))
        return false;
    {
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        if (query.exec(QStringLiteral("SELECT to_regclass('frames') IS NOT NULL")) && query.next()
            && query.value(0).toBool()) {
            m_open = true;
            return true;
        }
        *error = query.lastError().isValid()
                     ? query.lastError().text()
                     : QStringLiteral("the database holds no central journal yet");
    }
    CloseCentral(m_connection);
    return false;
}

std::vector<JournalListRow> CentralReader::Rows(const JournalFilter &filter,
                                                const QString &station,
                                                const JournalListRow *after,
                                                int limit,
                                                QString *error)
{
    std::vector<JournalListRow> rows;
    if (!m_open) {
        if (error)
            *error = QStringLiteral("the central journal is not open");
        return rows;
    }
    QVariantList values;
    QString where = Conditions(filter, station, values);
    if (after) {
        if (!where.isEmpty())
            where += QLatin1String(" AND ");
        where += QStringLiteral("(received, journal, id) < (%1, ?, ?)").arg(QLatin1String(kTime));
        values << after->m_received.toMSecsSinceEpoch() << after->m_journal << after->m_id;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM frames%2 ORDER BY received DESC, journal DESC,"
                                 " id DESC LIMIT %3")
                      .arg(QLatin1String(kColumns),
                           where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where)
                      .arg(limit));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        if (error)
            *error = query.lastError().text();
        return rows;
    }
    while (query.next())
        rows.push_back(ListRow(query));
    return rows;
}

std::optional<JournalEntry> CentralReader::Entry(const QString &journal, qint64 id)
{
    if (!m_open)
        return std::nullopt;
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1, length, bytes, trailer, body FROM frames"
                                 " WHERE journal = ? AND id = ?")
                      .arg(QLatin1String(kColumns)));
    query.addBindValue(journal);
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    JournalEntry entry;
    entry.m_row = ListRow(query);
    entry.m_length = query.value(13).toLongLong();
    entry.m_bytes = query.value(14).toByteArray();
    const auto line = [](const QVariant &value) { return EncodeCp1252(value.toString()); };
    entry.m_header = line(query.value(10));
    entry.m_headline = line(query.value(11));
    entry.m_trailer = line(query.value(15));
    entry.m_body = line(query.value(16));
    query.finish();
    QSqlQuery outputs(db);
    outputs.setForwardOnly(true);
    outputs.prepare(QStringLiteral("SELECT kind, (extract(epoch FROM at) * 1000)::bigint, ok,"
                                   " result FROM outputs WHERE journal = ? AND frame = ?"
                                   " ORDER BY id"));
    outputs.addBindValue(journal);
    outputs.addBindValue(id);
    if (outputs.exec()) {
        while (outputs.next())
            entry.m_outputs.push_back(
                {JournalOutputKind(outputs.value(0).toInt()),
                 QDateTime::fromMSecsSinceEpoch(outputs.value(1).toLongLong(), Qt::UTC),
                 outputs.value(2).toBool(), outputs.value(3).toString()});
    }
    outputs.finish();
    QSqlQuery acknowledged(db);
    acknowledged.setForwardOnly(true);
    acknowledged.prepare(QStringLiteral("SELECT (extract(epoch FROM at) * 1000)::bigint, username,"
                                        " place FROM acknowledgements WHERE journal = ? AND"
                                        " frame = ? ORDER BY at IS NULL, id LIMIT 1"));
    acknowledged.addBindValue(journal);
    acknowledged.addBindValue(id);
    if (acknowledged.exec() && acknowledged.next()) {
        entry.m_awaited = true;
        if (!acknowledged.value(0).isNull()) {
            entry.m_acknowledgedAt
                = QDateTime::fromMSecsSinceEpoch(acknowledged.value(0).toLongLong(), Qt::UTC);
            entry.m_acknowledgedBy = acknowledged.value(1).toString();
            entry.m_acknowledgedFrom = AcknowledgedFrom(acknowledged.value(2).toInt());
        }
    }
    return entry;
}

QStringList CentralReader::Stations(QString *error)
{
    QStringList stations;
    if (!m_open)
        return stations;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT DISTINCT station FROM journals ORDER BY station"))) {
        if (error)
            *error = query.lastError().text();
        return stations;
    }
    while (query.next())
        stations << query.value(0).toString();
    return stations;
}

bool CentralReader::ExportCsv(const JournalFilter &filter,
                              const QString &station,
                              QIODevice &out,
                              CsvFor reader,
                              QString *error)
{
    if (!m_open) {
        *error = QStringLiteral("the central journal is not open");
        return false;
    }
    QVariantList values;
    const QString where = Conditions(filter, station, values);
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // A cursor: the rows come a few thousand at a time, not all into memory at once.
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    // A cursor cannot be a prepared statement: its values go in as the driver quotes them.
    QString inlined;
    qsizetype next = 0;
    for (const QChar c : where) {
        if (c != QLatin1Char('?') || next >= values.size()) {
            inlined += c;
            continue;
        }
        const QVariant &value = values[next++];
        QSqlField field(QString(), value.metaType());
        field.setValue(value);
        inlined += db.driver()->formatValue(field);
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const QString declare
        = QStringLiteral("DECLARE export NO SCROLL CURSOR FOR SELECT %1, acknowledged.awaited,"
                         " acknowledged.at, acknowledged.username, acknowledged.place FROM"
                         " frames%2%3 ORDER BY received, journal, id")
              .arg(QLatin1String(kColumns), QLatin1String(kAcknowledgement),
                   inlined.isEmpty() ? QString() : QStringLiteral(" WHERE ") + inlined);
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
    bool ok = query.exec(declare);
    if (!ok)
        *error = query.lastError().text();
    if (ok
        && !record({QStringLiteral("station"), QStringLiteral("received"), QStringLiteral("line"),
                    QStringLiteral("device"), QStringLiteral("fate"), QStringLiteral("detail"),
                    QStringLiteral("handling"), QStringLiteral("region"), QStringLiteral("source"),
                    QStringLiteral("header"), QStringLiteral("headline"),
                    QStringLiteral("acknowledged"), QStringLiteral("acknowledged by"),
                    QStringLiteral("acknowledged from")})) {
        *error = out.errorString();
        ok = false;
    }
    for (int fetched = 1; ok && fetched > 0;) {
        fetched = 0;
        if (!query.exec(QStringLiteral("FETCH 5000 FROM export"))) {
            *error = query.lastError().text();
            ok = false;
            break;
        }
        while (ok && query.next()) {
            ++fetched;
            const JournalListRow row = ListRow(query);
            // As the local export: "waiting" until acknowledged, then its time; empty for a
            // message that never waited.
            QString acknowledged;
            QString by;
            QString from;
            if (query.value(13).toBool() && query.value(14).isNull()) {
                acknowledged = QStringLiteral("waiting");
            } else if (query.value(13).toBool()) {
                acknowledged = JournalLocalTimeText(
                    QDateTime::fromMSecsSinceEpoch(query.value(14).toLongLong(), Qt::UTC));
                by = query.value(15).toString();
                from = AcknowledgedFromText(AcknowledgedFrom(query.value(16).toInt()));
            }
            ok = record({row.m_station, JournalLocalTimeText(row.m_received),
                         QStringLiteral("COM%1").arg(row.m_port), row.m_device,
                         JournalFateText(row.m_fate), row.m_detail, row.m_handling, row.m_region,
                         row.m_source, row.m_header, row.m_headline, acknowledged, by, from});
            if (!ok)
                *error = out.errorString();
        }
    }
    query.finish();
    db.rollback();
    return ok;
}
