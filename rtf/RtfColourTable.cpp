#include "RtfColourTable.h"

#include <QtGlobal>

void RtfColourTable::Begin()
{
    m_colours.clear();
    m_entry = RtfColour();
    m_entrySet = false;
}

void RtfColourTable::SetComponent(const QByteArray &word, int value)
{
    const auto component = quint8(qBound(0, value, 255));
    if (word == "red") {
        m_entry.red = component;
        m_entrySet = true;
    } else if (word == "green") {
        m_entry.green = component;
        m_entrySet = true;
    } else if (word == "blue") {
        m_entry.blue = component;
        m_entrySet = true;
    }
}

void RtfColourTable::EndEntry()
{
    m_colours.append(m_entrySet ? std::optional(m_entry) : std::nullopt);
    m_entry = RtfColour();
    m_entrySet = false;
}

std::optional<RtfColour> RtfColourTable::At(int index) const
{
    if (index >= 0 && index < m_colours.size())
        return m_colours.at(index);
    return std::nullopt;
}
