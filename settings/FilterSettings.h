#pragma once

#include <QByteArray>
#include <QList>

// The filter criteria: allowed handling letters, region codes and source letters, and the
// any-source flag. Kept scrambled in "flt.dat" in the current directory.
// GUI thread only.
class FilterSettings
{
public:
    virtual ~FilterSettings() = default;

    bool IsHandlingAllowed(char letter) const;
    bool IsRegionAllowed(const QByteArray &code) const;
    bool IsSourceAllowed(char letter) const;
    int FindRegion(const QByteArray &code) const;

    QByteArray m_handling;
    QList<QByteArray> m_regions;
    QByteArray m_sources;
    qint32 m_anySource = 0;
};
