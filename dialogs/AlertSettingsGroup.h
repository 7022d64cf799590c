#pragma once

#include <QList>
#include <QObject>

class QCheckBox;
class QFormLayout;
class QSpinBox;
struct AlertSettings;

// The "Alerts" group on General Settings' second page: whether passed messages wait for
// acknowledgement, for which handling levels, and the minutes of the repeated chime and of the
// trouble. Controls named by their template ids, 1070 on. GUI thread only.
class AlertSettingsGroup : public QObject
{
    Q_OBJECT

public:
    explicit AlertSettingsGroup(QFormLayout *rows, QObject *parent = nullptr);

    void Show(const AlertSettings &settings);
    void Take(AlertSettings &settings) const;

private:
    void UpdateEnabled();

    QCheckBox *m_acknowledge = nullptr;
    QList<QCheckBox *> m_handling; // a to e
    QSpinBox *m_repeatMinutes = nullptr;
    QSpinBox *m_escalateMinutes = nullptr;
};
