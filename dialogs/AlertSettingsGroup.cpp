#include "AlertSettingsGroup.h"

#include "settings/AlertSettings.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QSpinBox>

namespace {

constexpr int kAcknowledgeId = 1070;
constexpr int kFirstHandlingId = 1071; // 1071 to 1075, a to e
constexpr int kRepeatId = 1076;
constexpr int kEscalateId = 1077;
// A day: a reminder less often than that reminds nobody.
constexpr int kMaxMinutes = 24 * 60;

// The handling levels as Filter Settings names them.
constexpr const char *kHandlingNames[] = {"Flash - EAS", "Urgent", "News", "Test", "Information"};

QSpinBox *MinutesBox(int id, const QString &tip)
{
    auto *box = new QSpinBox;
    box->setObjectName(QString::number(id));
    box->setRange(0, kMaxMinutes);
    box->setSpecialValueText(QStringLiteral("never"));
    box->setSuffix(QStringLiteral(" min"));
    box->setToolTip(tip);
    return box;
}

} // namespace

AlertSettingsGroup::AlertSettingsGroup(QFormLayout *rows, QObject *parent)
    : QObject(parent)
{
    m_acknowledge = new QCheckBox(QStringLiteral("Passed messages wait for acknowledgement"));
    m_acknowledge->setObjectName(QString::number(kAcknowledgeId));
    m_acknowledge->setToolTip(QStringLiteral(
        "Until an operator acknowledges them (Ctrl+K), passed messages show in the status bar "
        "and the tray, and the chime comes back"));
    rows->addRow(m_acknowledge);

    auto *levels = new QHBoxLayout;
    for (int i = 0; i < 5; ++i) {
        auto *box = new QCheckBox(QLatin1String(kHandlingNames[i]));
        box->setObjectName(QString::number(kFirstHandlingId + i));
        levels->addWidget(box);
        m_handling << box;
    }
    rows->addRow(QStringLiteral("Handling levels"), levels);

    m_repeatMinutes = MinutesBox(kRepeatId, QStringLiteral("0: the chime sounds once"));
    rows->addRow(QStringLiteral("Repeat the chime every N minutes while any waits"),
                 m_repeatMinutes);
    m_escalateMinutes = MinutesBox(
        kEscalateId,
        QStringLiteral("A message waiting longer is a trouble of the station; 0: never"));
    rows->addRow(QStringLiteral("A trouble when one waits longer than N minutes"),
                 m_escalateMinutes);
    connect(m_acknowledge, &QCheckBox::toggled, this, &AlertSettingsGroup::UpdateEnabled);
    UpdateEnabled();
}

void AlertSettingsGroup::UpdateEnabled()
{
    const bool on = m_acknowledge->isChecked();
    for (QCheckBox *box : std::as_const(m_handling))
        box->setEnabled(on);
    m_repeatMinutes->setEnabled(on);
    m_escalateMinutes->setEnabled(on);
}

void AlertSettingsGroup::Show(const AlertSettings &settings)
{
    m_acknowledge->setChecked(settings.m_acknowledge);
    for (int i = 0; i < m_handling.size(); ++i)
        m_handling[i]->setChecked(settings.m_handling.contains(AlertSettings::kAllHandling[i]));
    m_repeatMinutes->setValue(settings.m_repeatMinutes);
    m_escalateMinutes->setValue(settings.m_escalateMinutes);
    UpdateEnabled();
}

void AlertSettingsGroup::Take(AlertSettings &settings) const
{
    settings.m_acknowledge = m_acknowledge->isChecked();
    settings.m_handling.clear();
    for (int i = 0; i < m_handling.size(); ++i) {
        if (m_handling[i]->isChecked())
            settings.m_handling += AlertSettings::kAllHandling[i];
    }
    settings.m_repeatMinutes = m_repeatMinutes->value();
    settings.m_escalateMinutes = m_escalateMinutes->value();
}
