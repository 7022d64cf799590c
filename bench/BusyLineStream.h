// The traffic of a busy input line, shared by the benchmarks of the pipeline and the journal:
// messages of a set length, a third failing the filter, a tenth malformed, noise between them,
// and the journal's row of each frame as the pipeline hands it over.
#pragma once

#include "journal/JournalRecord.h"
#include "receiver/EdisMessage.h"
#include "settings/FilterSettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <iterator>

namespace busyline {

inline FilterSettings Criteria()
{
    FilterSettings settings;
    settings.m_handling = "abe";
    settings.m_regions = {"0-", "1a", "2a", "2b", "6c"};
    settings.m_sources = "lqw";
    return settings;
}

// One message of `length` bytes between SOH and EOT, both included.
inline QByteArray Message(int index, int length)
{
    const bool filtered = index % 3 == 1;
    const bool malformed = index % 10 == 7;
    QByteArray message = "\x01" + QByteArray::number(10000 + index).right(5) + '\x1f'
                         + (filtered ? "c2al9" : "e2al9") + "\x02" + "Earthquake near "
                         + QByteArray::number(index) + '\r' + "12345";
    const QByteArray tail = QByteArray(malformed ? "" : "\x03") + "0930\x04";
    message += QByteArray(qMax<qsizetype>(0, length - message.size() - tail.size()), 'b');
    return message + tail;
}

// A message like Message() but with the texts of a real alert: a headline and a body of words
// and numbers, so that the journal's text index gets as many distinct pieces as it would from
// a real line. `length` as in Message(); the same share fails the filter or is malformed.
inline QByteArray AlertMessage(int index, int length)
{
    static const char *const kWords[]
        = {"earthquake", "magnitude", "warning", "flood",     "tornado", "watch",   "county",
           "evacuate",   "shelter",   "north",   "south",     "river",   "coast",   "storm",
           "until",      "issued",    "weather", "service",   "police",  "highway", "closed",
           "residents",  "advised",   "avoid",   "area",      "near",    "miles",   "of",
           "the",        "and",       "at",      "for",       "from",    "fire",    "smoke",
           "wind",       "gusts",     "heavy",   "rain",      "snow",    "ice",     "roads",
           "power",      "outage",    "water",   "boil",      "notice",  "amber",   "alert",
           "child",      "missing",   "vehicle", "hazardous", "spill",   "tsunami", "surge"};
    static const char *const kPlaces[] = {"Santa Clara", "Kern",   "Fresno", "Marin",  "Alameda",
                                          "Sonoma",      "Tulare", "Napa",   "Solano", "Yolo"};
    quint32 seed = quint32(index) * 2654435761u + 12345u;
    const auto next = [&seed](quint32 n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    const bool filtered = index % 3 == 1;
    const bool malformed = index % 10 == 7;
    QByteArray headline = QByteArray(kWords[next(std::size(kWords))]).toUpper() + ' '
                          + QByteArray(kWords[next(std::size(kWords))]).toUpper() + " FOR "
                          + QByteArray(kPlaces[next(std::size(kPlaces))]).toUpper() + " COUNTY";
    QByteArray message = "\x01" + QByteArray::number(10000 + index % 90000).right(5) + '\x1f'
                         + (filtered ? "c2al9" : "e2al9") + "\x02" + headline + '\r'
                         + QByteArray::number(10000 + index % 90000).right(5);
    const QByteArray tail = QByteArray(malformed ? "" : "\x03") + "0930\x04";
    while (message.size() + tail.size() < length) {
        QByteArray word = next(8) == 0    ? QByteArray::number(next(10000))
                          : next(12) == 0 ? QByteArray(kPlaces[next(std::size(kPlaces))])
                                          : QByteArray(kWords[next(std::size(kWords))]);
        message += (next(10) == 0 ? ". " : " ") + word;
    }
    return message.left(length - tail.size()) + tail;
}

inline QByteArray Stream(int messageLength, int messages)
{
    QByteArray stream;
    for (int i = 0; i < messages; ++i)
        stream += "line noise\r\n" + Message(i, messageLength);
    return stream;
}

// The row the pipeline hands the journal for a judged frame (ProcessMessage's JudgedRow, with
// the input line's number and device given rather than asked of the application).
inline JournalFrame JudgedRow(const QByteArray &message,
                              const QDateTime &receivedAt,
                              const Judgement &j,
                              int port = 2,
                              const QString &device = QStringLiteral("/dev/ttyUSB0"))
{
    static const char *const kTests[] = {"", "handling", "region", "source"};
    JournalFrame row;
    row.m_received = receivedAt.isValid() ? receivedAt.toUTC() : QDateTime::currentDateTimeUtc();
    row.m_port = port;
    row.m_device = device;
    row.m_fate = j.m_verdict == MessageVerdict::Filtered    ? JournalFate::Filtered
                 : j.m_verdict == MessageVerdict::Malformed ? JournalFate::Malformed
                                                            : JournalFate::Passed;
    row.m_length = message.size();
    row.m_bytes = message.left(64 * 1024);
    if (row.m_fate == JournalFate::Filtered)
        row.m_detail = QString::fromLatin1(kTests[int(j.m_failedTest)]);
    else if (row.m_fate == JournalFate::Malformed)
        row.m_detail = QString::fromLatin1(j.m_warning);
    row.m_header = j.m_header;
    row.m_handling = j.m_header.mid(5, 1);
    row.m_region = j.m_header.mid(6, 2);
    row.m_source = j.m_header.mid(8, 1);
    if (row.m_fate == JournalFate::Passed) {
        row.m_headline = j.m_message.m_headline;
        row.m_trailer = j.m_message.m_trailer;
        row.m_body = j.m_message.m_body;
    }
    return row;
}

} // namespace busyline
