#pragma once

#include <QString>

class QSettings;

// What a station does about its own troubles: the command run as each begins and ends
// ("Hooks/OnTrouble"), and the minutes of bytes without a single message framed after which
// Alvetra warns ("Supervision/FrameSilenceMinutes"). Read like every setting from the user's
// file and then the system-wide one. GUI thread only.
struct TroubleSettings
{
    QString m_onTrouble;

    // A receiver sends a message every few minutes at the least (its tests and routine traffic);
    // an hour of bytes that frame none points to a wrong speed or a receiver gone astray, as the
    // silence alarm's hour points to a dead line.
    static constexpr int kDefaultFrameSilenceMinutes = 60;
    int m_frameSilenceMinutes = kDefaultFrameSilenceMinutes; // 0 or less: off

    // `store` is the program's settings store at its top level; a missing entry, or one that is
    // not a number, gives its default.
    void Load(const QSettings &store);
    void Save(QSettings &store) const;
};
