#pragma once

#include <QByteArray>

class QSettings;

// Whether passed messages wait for an operator's acknowledgement, and how the program reminds
// while they wait (group "Alerts"). Off by default: then a passed message plays its chime once,
// as it always did. GUI thread only.
struct AlertSettings
{
    static constexpr int kDefaultRepeatMinutes = 5;
    static constexpr int kDefaultEscalateMinutes = 15;
    static constexpr const char *kAllHandling = "abcde";

    bool m_acknowledge = false;
    // The handling letters whose passed messages wait; a level left out never does.
    QByteArray m_handling = kAllHandling;
    int m_repeatMinutes = kDefaultRepeatMinutes;     // 0 or less: the chime is not repeated
    int m_escalateMinutes = kDefaultEscalateMinutes; // 0 or less: waiting is never a trouble

    // Whether a message passed now with the handling letter `handling` waits.
    bool Waits(char handling) const { return m_acknowledge && m_handling.contains(handling); }

    // On the store GeneralSettings uses, which reads the system-wide file as its fallback. A
    // missing or unreadable entry yields its default; letters other than a to e are dropped.
    void Load(QSettings &store);
    void Save(QSettings &store) const;
};
