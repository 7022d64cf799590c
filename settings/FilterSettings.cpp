#include "FilterSettings.h"

bool FilterSettings::IsHandlingAllowed(char letter) const
{
    return m_handling.contains(letter);
}

bool FilterSettings::IsRegionAllowed(const QByteArray &code) const
{
    return FindRegion(code) != -1;
}

bool FilterSettings::IsSourceAllowed(char letter) const
{
    return m_sources.contains(letter);
}

int FilterSettings::FindRegion(const QByteArray &code) const
{
    return int(m_regions.indexOf(code));
}
