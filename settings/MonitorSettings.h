#pragma once

#include <QString>

class QSettings;

// Where the station's monitoring is served over HTTP (group "Monitor"): "127.0.0.1:9466", or
// "0.0.0.0:9466" for every address; empty, the default, for nowhere. GUI thread only.
struct MonitorSettings
{
    QString m_listen;

    // On the store GeneralSettings uses, which falls back to the system-wide file.
    void Load(const QSettings &store);
    void Save(QSettings &store) const;
};
