#pragma once

#include <QObject>
#include <QString>

// One Alvetra per settings folder: two would fight over the same ports and files. The first
// takes a name on the session bus derived from its settings folder and answers Raise there; a
// later start with the same folder asks it to show its window and ends. Without a session bus
// nothing is held back. GUI thread only.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "invalid.alvetra.Alvetra")

public:
    enum class Outcome {
        First,        // this one runs; the name is held until it ends
        Raised,       // another one runs and was asked to show its window: end with 0
        NotAnswering, // another one holds the name and did not answer: end with 1
        NoBus,        // no session bus: run
    };

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // The bus name for the settings folder `folder`: the same folder, however spelt, gives the
    // same name.
    static QString ServiceName(const QString &folder);
    // The folder of the per-user settings store.
    static QString SettingsFolder();

    // Takes the name or asks its holder to raise its window. On NotAnswering, `error` says why.
    Outcome Claim(QString *error);

public slots:
    // Called over the bus by a later start.
    Q_SCRIPTABLE void Raise();

signals:
    void RaiseRequested();

private:
    QString m_service;
};
