#include "CGeneralSettingsDlg.h"

#include "GeneralSettings.h"
#include "doors/Doors.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>

namespace {

constexpr int kInPortId = 1032;
constexpr int kOutPortId = 1035;
constexpr int kPortCount = 8;
constexpr int kSilenceMinutesId = 1036;
// A day: a line silent for longer is not supervised in any useful sense.
constexpr int kMaxSilenceMinutes = 24 * 60;
// The silence row sits between the switches and the buttons.
constexpr int kButtonsY = 118;
constexpr int kDialogHeight = 139;

// The device labels stand right of the lists; a long device path is cut in the middle, and the
// whole path is in the tool tip.
constexpr int kDeviceLabelX = 121;
constexpr int kDeviceLabelMaxWidth = 110;

QComboBox *NewPortList()
{
    auto *list = new QComboBox;
    for (int port = 1; port <= kPortCount; ++port)
        list->addItem(QString::number(port));
    return list;
}

int SelectedPort(const QComboBox *list)
{
    return list->currentText().toInt();
}

// Selects the entry that begins with the stored number, or the first entry when none does.
void SelectPort(QComboBox *list, int port)
{
    const int index = list->findText(QString::number(port), Qt::MatchStartsWith);
    list->setCurrentIndex(index == -1 ? 0 : index);
}

void ShowRestartNotice(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

CGeneralSettingsDlg::CGeneralSettingsDlg(QWidget *parent)
    : CTemplateDlg(QStringLiteral("General Settings"), 146, kDialogHeight, parent)
{
    AddGroupBox(QStringLiteral("Have passed messages:"), 7, 42, 110, 54);

    auto *ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    AddControl(ok, 1, 89, kButtonsY, 50, 14);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    AddControl(cancel, 2, 7, kButtonsY, 50, 14);
    m_inPortCombo = NewPortList();
    AddControl(m_inPortCombo, kInPortId, 69, 7, 48, 44);
    AddControl(new QLabel(QStringLiteral("Input COM port")), -1, 14, 11, 49, 8);
    AddControl(new QLabel(QStringLiteral("Output COM port")), -1, 13, 26, 54, 8);
    m_outPortCombo = NewPortList();
    AddControl(m_outPortCombo, kOutPortId, 69, 22, 48, 46);
    m_sendToFileBox = new QCheckBox(QStringLiteral("Sent to file"));
    AddControl(m_sendToFileBox, 1003, 15, 54, 49, 10);
    m_sendToPrinterBox = new QCheckBox(QStringLiteral("Sent to printer"));
    AddControl(m_sendToPrinterBox, 1004, 15, 65, 60, 10);
    m_sendToPortBox = new QCheckBox(QStringLiteral("Sent to COM port"));
    AddControl(m_sendToPortBox, 1005, 15, 76, 71, 10);
    AddControl(new QLabel(QStringLiteral("Silence alarm")), -1, 14, 103, 49, 8);
    m_silenceMinutesBox = new QSpinBox;
    m_silenceMinutesBox->setRange(0, kMaxSilenceMinutes);
    m_silenceMinutesBox->setSpecialValueText(QStringLiteral("off"));
    m_silenceMinutesBox->setSuffix(QStringLiteral(" min"));
    m_silenceMinutesBox->setToolTip(
        QStringLiteral("Minutes without any byte on the input line before Alvetra warns"));
    AddControl(m_silenceMinutesBox, kSilenceMinutesId, 69, 100, 48, 13);

    connect(ok, &QPushButton::clicked, this, &CGeneralSettingsDlg::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

#ifndef Q_OS_WIN
    // On Linux a COM number stands for a device of the "Ports" settings group; the user should
    // see which adapter a number means. The dialog grows to the right to hold the names.
    m_inDeviceLabel = new QLabel;
    m_inDeviceLabel->setObjectName(QStringLiteral("device%1").arg(kInPortId));
    m_outDeviceLabel = new QLabel;
    m_outDeviceLabel->setObjectName(QStringLiteral("device%1").arg(kOutPortId));
    const QRect inList = ToPixels(kDeviceLabelX, 7, kDeviceLabelMaxWidth, 12);
    const QRect outList = ToPixels(kDeviceLabelX, 22, kDeviceLabelMaxWidth, 12);
    for (auto [label, place] : {std::pair{m_inDeviceLabel, inList}, {m_outDeviceLabel, outList}}) {
        label->setParent(this);
        label->setGeometry(place.x(), place.y(), place.width(), m_inPortCombo->height());
    }
    setFixedSize(ToPixels(0, 0, kDeviceLabelX + kDeviceLabelMaxWidth + 7, kDialogHeight).size());
    connect(m_inPortCombo, &QComboBox::currentIndexChanged, this,
            &CGeneralSettingsDlg::UpdateDeviceLabels);
    connect(m_outPortCombo, &QComboBox::currentIndexChanged, this,
            &CGeneralSettingsDlg::UpdateDeviceLabels);
#endif
}

void CGeneralSettingsDlg::OnInitDialog()
{
    const GeneralSettings &settings = GetGeneralSettings();
    SelectPort(m_inPortCombo, settings.m_inSerialPort);
    SelectPort(m_outPortCombo, settings.m_outSerialPort);
    m_shownInPort = SelectedPort(m_inPortCombo);
    m_shownOutPort = SelectedPort(m_outPortCombo);

    m_sendToPrinterCheck = settings.m_sendToPrinter != 0 ? 1 : 0;
    m_sendToPortCheck = settings.m_sendToPort != 0 ? 1 : 0;
    m_sendToFileCheck = settings.m_sendToFile != 0 ? 1 : 0;
    m_shownSendToPort = m_sendToPortCheck;
    // Off is 0 or less; a stored value past the box's range shows as its end.
    m_silenceMinutesBox->setValue(std::max(settings.m_silenceMinutes, 0));
    m_shownSilenceMinutes = m_silenceMinutesBox->value();
    DoDataExchange(false);
    UpdateDeviceLabels();
    findChild<QPushButton *>(IdName(1))->setFocus();
}

void CGeneralSettingsDlg::DoDataExchange(bool fromBoxes)
{
    const std::pair<QCheckBox *, int *> boxes[] = {
        {m_sendToFileBox, &m_sendToFileCheck},
        {m_sendToPortBox, &m_sendToPortCheck},
        {m_sendToPrinterBox, &m_sendToPrinterCheck},
    };
    for (const auto &[box, state] : boxes) {
        if (fromBoxes)
            *state = box->isChecked() ? 1 : 0;
        else
            box->setChecked(*state != 0);
    }
}

void CGeneralSettingsDlg::OnOK()
{
    DoDataExchange(true);
    GeneralSettings &settings = GetGeneralSettings();
    settings.m_sendToPrinter = m_sendToPrinterCheck != 0 ? 1 : 0;
    settings.m_sendToFile = m_sendToFileCheck != 0 ? 1 : 0;
    settings.m_sendToPort = m_sendToPortCheck != 0 ? 1 : 0;
    // Like a port list, a box left as it showed keeps the stored value (say 5000 minutes). A
    // change applies at once: the silence watch reads the setting every time it looks.
    if (m_silenceMinutesBox->value() != m_shownSilenceMinutes)
        settings.m_silenceMinutes = m_silenceMinutesBox->value();

    const int inPort = SelectedPort(m_inPortCombo);
    const int outPort = SelectedPort(m_outPortCombo);
    if (inPort != m_shownInPort || outPort != m_shownOutPort) {
        ShowRestartNotice(this,
                          QStringLiteral("You changed a serial port setting. This will only take "
                                         "effect after you restart Alvetra"));
        if (inPort != m_shownInPort)
            settings.m_inSerialPort = inPort;
        if (outPort != m_shownOutPort)
            settings.m_outSerialPort = outPort;
    }
    if (m_sendToPortCheck != 0 && m_shownSendToPort == 0) {
        ShowRestartNotice(this,
                          QStringLiteral("You chose to have messages sent to a COM port. This "
                                         "will only take effect after you restart Alvetra"));
    }
    // The values are in force either way; the user must know they will not outlive this run.
    const QString failure = settings.Save();
    if (!failure.isEmpty())
        LogError(failure);
    accept();
}

void CGeneralSettingsDlg::UpdateDeviceLabels()
{
    if (!m_inDeviceLabel)
        return;
    const GeneralSettings &settings = GetGeneralSettings();
    // A list left at the number it showed keeps the stored number, which may be one the list
    // does not offer (say 9): name the device of the number that will be used.
    const auto update = [](QLabel *label, const QComboBox *list, int shown, int stored) {
        const int selected = SelectedPort(list);
        const QString device = SerialDeviceForPort(selected == shown ? stored : selected);
        label->setToolTip(device);
        label->setText(label->fontMetrics().elidedText(device, Qt::ElideMiddle, label->width()));
    };
    update(m_inDeviceLabel, m_inPortCombo, m_shownInPort, settings.m_inSerialPort);
    update(m_outDeviceLabel, m_outPortCombo, m_shownOutPort, settings.m_outSerialPort);
}
