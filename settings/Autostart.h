#pragma once

#include <QString>

// The entry that starts Alvetra when the user logs in, where freedesktop desktops look for
// such entries: alvetra.desktop in the autostart folder of the user's configuration folder
// ($XDG_CONFIG_HOME/autostart). It starts the installed `alvetra --minimized` in the home
// folder, where the menu entry starts it too, so that both read the same flt.dat. The entry's
// presence is the setting; nothing else stores it. GUI thread only.
QString AutostartEntryPath();
bool IsAutostartOn();
// Writes or removes the entry. Empty on success, else the text of an error line.
QString SetAutostart(bool on);
// The entry's text.
QByteArray AutostartEntry(const QString &homeFolder);
