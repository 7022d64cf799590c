#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// The filter criteria: the allowed handling letters, region codes and source letters, and the
// any-source flag. A file may bring anything (repeats, unknown letters, any flag value); every
// operation works with such contents. GUI thread only.
class FilterSettings
{
public:
    virtual ~FilterSettings() = default;

    // Replaces the fields from "flt.dat" in the current directory. On failure the fields read
    // so far are kept, the rest keep their values, and the failure text is returned (empty on
    // success); start-up shows it in a message box.
    QString Load();
    // Writes all fields to "flt.dat" in the current directory. A failure is written to the log
    // as an error line; the criteria in memory stay in force.
    void Save() const;

    // A zero byte is never allowed, whatever a file brought into the letters: a message with a
    // zero byte in its header is damaged, not a request for an odd code.
    bool IsHandlingAllowed(char letter) const;
    bool IsRegionAllowed(QByteArrayView code) const;
    bool IsSourceAllowed(char letter) const;
    // Index of the first region equal to `code` (whole, case-sensitive), or -1.
    int FindRegion(QByteArrayView code) const;

    void AllowRegion(const QByteArray &code);
    // Removes the first occurrence only.
    void DisallowRegion(const QByteArray &code);
    // Removes every occurrence of `letter` from `letters` (m_handling or m_sources).
    static void RemoveLetter(QByteArray &letters, char letter);

    // Three lines, each ended by '\n': handling, regions, sources.
    QByteArray Describe() const;

    QByteArray m_handling;
    QList<QByteArray> m_regions;
    QByteArray m_sources;
    qint32 m_anySource = 0;
};
