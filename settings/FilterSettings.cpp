#include "FilterSettings.h"

bool FilterSettings::IsHandlingAllowed(char letter) const
{
    return letter != '\0' && m_handling.contains(letter);
}

bool FilterSettings::IsRegionAllowed(QByteArrayView code) const
{
    return FindRegion(code) != -1;
}

bool FilterSettings::IsSourceAllowed(char letter) const
{
    return letter != '\0' && m_sources.contains(letter);
}

int FilterSettings::FindRegion(QByteArrayView code) const
{
    for (qsizetype i = 0; i < m_regions.size(); ++i) {
        if (m_regions[i] == code)
            return int(i);
    }
    return -1;
}

void FilterSettings::AllowRegion(const QByteArray &code)
{
    if (FindRegion(code) == -1)
        m_regions.append(code);
}

void FilterSettings::DisallowRegion(const QByteArray &code)
{
    const int index = FindRegion(code);
    if (index != -1)
        m_regions.removeAt(index);
}

void FilterSettings::RemoveLetter(QByteArray &letters, char letter)
{
    letters.removeIf([letter](char c) { return c == letter; });
}

QByteArray FilterSettings::Describe() const
{
    QByteArray text = "Allowed Handling:" + m_handling + '\n';
    text += "Allowed Region and sub region:";
    for (const QByteArray &region : m_regions)
        text += region + ';';
    text += '\n';
    if (m_anySource != 0)
        text += "Allowed Source:Any source is allowed\n";
    else
        text += "Allowed Source:" + m_sources + '\n';
    return text;
}
