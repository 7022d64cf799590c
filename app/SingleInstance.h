#pragma once

#include <QObject>
#include <QString>

#include <optional>

// One Alvetra per settings folder: two would fight over the same ports and files. The first
// takes a name on the session bus derived from its settings folder and answers Raise there; a
// later start with the same folder asks it to show its window and ends. A holder that does not
// answer is given time to end and let the name go (a copy still ending); only one that keeps
// the name and never answers keeps the new start out. Without a session bus, or with one that
// fails, nothing is held back. GUI thread only.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "invalid.alvetra.Alvetra")

public:
    enum class Outcome {
        First,        // this one runs; the name is held until it ends
        Raised,       // another one runs and was asked to show its window: end with 0
        NotAnswering, // another one holds the name, never answered nor let it go: end with 1
        NoBus,        // no session bus, or one that fails: run
    };

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // The bus name for the settings folder `folder`: the same folder, however spelt, gives the
    // same name.
    static QString ServiceName(const QString &folder);
    // The folder of the per-user settings store.
    static QString SettingsFolder();

    // Takes the name or asks its holder to raise its window; a holder that does not answer is
    // waited for up to 20 seconds to let the name go. On NotAnswering, `error` says why.
    Outcome Claim(QString *error);

public slots:
    // Called over the bus by a later start.
    Q_SCRIPTABLE void Raise();

signals:
    void RaiseRequested();

private:
    // First once the name is ours, NoBus when the bus failed to answer, nothing while another
    // copy holds it.
    std::optional<Outcome> TakeName(const QString &service);

    QString m_service;
};
