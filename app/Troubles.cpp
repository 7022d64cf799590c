#include "Troubles.h"

#include <algorithm>

void Troubles::Begin(const Trouble &trouble)
{
    if (IsOn(trouble.m_kind))
        return;
    m_current.append(trouble);
    emit Began(trouble);
}

void Troubles::End(TroubleKind kind, const QString &text, quint64 row)
{
    const auto on = std::find_if(m_current.begin(), m_current.end(),
                                 [kind](const Trouble &trouble) { return trouble.m_kind == kind; });
    if (on == m_current.end())
        return;
    Trouble ended = *on;
    ended.m_endRow = row;
    m_current.erase(on);
    emit Ended(ended, text);
}

bool Troubles::IsOn(TroubleKind kind) const
{
    return std::any_of(m_current.cbegin(), m_current.cend(),
                       [kind](const Trouble &trouble) { return trouble.m_kind == kind; });
}
