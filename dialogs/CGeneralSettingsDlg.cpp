#include "CGeneralSettingsDlg.h"

#include "AlertSettingsGroup.h"

#include "doors/Doors.h"
#include "hooks/HookRunner.h"
#include "hooks/PassedMessageHook.h"
#include "hooks/TroubleHook.h"
#include "receiver/EdisMessage.h"
#include "settings/Autostart.h"
#include "settings/GeneralSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kInPortId = 1032;
constexpr int kOutPortId = 1035;
constexpr int kPortCount = 8;
constexpr int kSilenceMinutesId = 1036;
constexpr int kOnPassedId = 1037;
constexpr int kTryId = 1038;
constexpr int kTryResultId = 1039;
constexpr int kInDeviceId = 1040;
constexpr int kOutDeviceId = 1041;
// A day: a line silent for longer is not supervised in any useful sense.
constexpr int kMaxSilenceMinutes = 24 * 60;
constexpr int kAutostartId = 1042;
constexpr int kNotifyId = 1043;
constexpr int kPageId = 1044;
constexpr int kStationNameId = 1045;
constexpr int kFrameSilenceId = 1046;
constexpr int kOnTroubleId = 1047;
constexpr int kTroubleTryId = 1048;
constexpr int kTroubleTryResultId = 1049;
constexpr int kMonitorListenId = 1060;
constexpr int kCentralHostId = 1080;
constexpr int kCentralPortId = 1081;
constexpr int kCentralDatabaseId = 1082;
constexpr int kCentralUserId = 1083;
constexpr int kCentralSslModeId = 1084;
// The silence row, the desktop's two switches and the command rows sit between the output
// switches and the buttons.
constexpr int kCommandY = 142;
constexpr int kButtonsY = 182;
constexpr int kDialogHeight = 203;

// On Linux the device lists stand right of the port lists, and the dialog grows to hold them;
// on Windows a COM number is the device itself.
#ifdef Q_OS_WIN
constexpr bool kDeviceLists = false;
#else
constexpr bool kDeviceLists = true;
#endif
constexpr int kDeviceListX = 121;
constexpr int kDeviceListWidth = 110;
// Without device lists the dialog widens by the page button's room.
constexpr int kDialogWidth = kDeviceLists ? kDeviceListX + kDeviceListWidth + 7 : 196;
constexpr int kPageButtonWidth = 50;
// As wide as a push button of the usual styles is at least, so it ends where the lists end.
constexpr int kTryWidth = 48;

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
    : CTemplateDlg(QStringLiteral("General Settings"), kDialogWidth, kDialogHeight, parent)
{
    AddGroupBox(QStringLiteral("Have passed messages:"), 7, 42, 110, 54);

    auto *ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    AddControl(ok, 1, 89, kButtonsY, 50, 14);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    AddControl(cancel, 2, 7, kButtonsY, 50, 14);
    m_inPortCombo = NewPortList();
    AddControl(m_inPortCombo, kInPortId, 69, 7, 48, 44);
    if (kDeviceLists) {
        m_inDeviceList = new QComboBox;
        AddControl(m_inDeviceList, kInDeviceId, kDeviceListX, 7, kDeviceListWidth, 44);
    }
    AddControl(new QLabel(QStringLiteral("Input COM port")), -1, 14, 11, 49, 8);
    AddControl(new QLabel(QStringLiteral("Output COM port")), -1, 13, 26, 54, 8);
    m_outPortCombo = NewPortList();
    AddControl(m_outPortCombo, kOutPortId, 69, 22, 48, 46);
    if (kDeviceLists) {
        m_outDeviceList = new QComboBox;
        AddControl(m_outDeviceList, kOutDeviceId, kDeviceListX, 22, kDeviceListWidth, 46);
    }
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
    m_autostartBox = new QCheckBox(QStringLiteral("Start Alvetra when I log in"));
    AddControl(m_autostartBox, kAutostartId, 7, 117, 130, 10);
    m_notifyBox = new QCheckBox(QStringLiteral("Notify me of passed messages"));
    AddControl(m_notifyBox, kNotifyId, 7, 128, 130, 10);

    AddControl(new QLabel(QStringLiteral("Command for each passed message")), -1, 14, kCommandY,
               120, 8);
    m_onPassedEdit = new QLineEdit;
    m_onPassedEdit->setToolTip(
        QStringLiteral("A program and its arguments, without a shell; the message's fields are "
                       "in ALVETRA_ variables and its text on standard input"));
    AddControl(m_onPassedEdit, kOnPassedId, 14, kCommandY + 10,
               kDialogWidth - 14 - 7 - kTryWidth - 4, 13);
    m_tryButton = new QPushButton(QStringLiteral("Try"));
    AddControl(m_tryButton, kTryId, kDialogWidth - 7 - kTryWidth, kCommandY + 10, kTryWidth, 13);
    m_tryResult = new QLabel;
    AddControl(m_tryResult, kTryResultId, 14, kCommandY + 26, kDialogWidth - 21, 8);
    connect(m_tryButton, &QPushButton::clicked, this, &CGeneralSettingsDlg::OnTry);

    connect(ok, &QPushButton::clicked, this, &CGeneralSettingsDlg::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    m_secondPage = new QWidget(this);
    m_secondPage->setObjectName(QStringLiteral("secondPage"));
    m_secondPage->setAutoFillBackground(true);
    new QVBoxLayout(m_secondPage);
    m_secondPage->hide();
    m_pageButton = new QPushButton(QStringLiteral("Station >>"));
    AddControl(m_pageButton, kPageId, kDialogWidth - 7 - kPageButtonWidth, kButtonsY,
               kPageButtonWidth, 14);
    connect(m_pageButton, &QPushButton::clicked, this,
            [this] { ShowSecondPage(!m_secondPage->isVisible()); });

    QFormLayout *station = AddSecondPageGroup(QStringLiteral("Station"));
    m_stationNameEdit = new QLineEdit;
    m_stationNameEdit->setObjectName(IdName(kStationNameId));
    m_stationNameEdit->setToolTip(
        QStringLiteral("The name the station's commands and its monitoring see; empty for the "
                       "host's name"));
    station->addRow(QStringLiteral("Name"), m_stationNameEdit);
    m_alertsGroup = new AlertSettingsGroup(AddSecondPageGroup(QStringLiteral("Alerts")), this);

    // Beside the silence alarm it would move the first page's controls.
    QFormLayout *supervision = AddSecondPageGroup(QStringLiteral("Supervision"));
    m_frameSilenceBox = new QSpinBox;
    m_frameSilenceBox->setObjectName(IdName(kFrameSilenceId));
    m_frameSilenceBox->setRange(0, kMaxSilenceMinutes);
    m_frameSilenceBox->setSpecialValueText(QStringLiteral("off"));
    m_frameSilenceBox->setSuffix(QStringLiteral(" min"));
    m_frameSilenceBox->setToolTip(
        QStringLiteral("Minutes of bytes on the input line without a single message framed "
                       "before Alvetra warns"));
    supervision->addRow(QStringLiteral("No message framed"), m_frameSilenceBox);
    m_onTroubleEdit = new QLineEdit;
    m_onTroubleEdit->setObjectName(IdName(kOnTroubleId));
    m_onTroubleEdit->setToolTip(
        QStringLiteral("A program and its arguments, without a shell, run as each trouble of the "
                       "station begins and ends; what happened is in ALVETRA_ variables"));
    m_troubleTryButton = new QPushButton(QStringLiteral("Try"));
    m_troubleTryButton->setObjectName(IdName(kTroubleTryId));
    auto *commandRow = new QHBoxLayout;
    commandRow->addWidget(m_onTroubleEdit, 1);
    commandRow->addWidget(m_troubleTryButton);
    supervision->addRow(QStringLiteral("Command for troubles"), commandRow);
    m_troubleTryResult = new QLabel;
    m_troubleTryResult->setObjectName(IdName(kTroubleTryResultId));
    supervision->addRow(QString(), m_troubleTryResult);
    connect(m_troubleTryButton, &QPushButton::clicked, this,
            &CGeneralSettingsDlg::OnTryTroubleCommand);

    QFormLayout *monitoring = AddSecondPageGroup(QStringLiteral("Monitoring"));
    m_monitorListenEdit = new QLineEdit;
    m_monitorListenEdit->setObjectName(IdName(kMonitorListenId));
    m_monitorListenEdit->setPlaceholderText(QStringLiteral("off; for instance 127.0.0.1:9466"));
    m_monitorListenEdit->setToolTip(
        QStringLiteral("The address and port where /metrics and /health are served over HTTP; "
                       "empty for none. Applies at once."));
    monitoring->addRow(QStringLiteral("Listen on"), m_monitorListenEdit);

    QFormLayout *central = AddSecondPageGroup(QStringLiteral("Central journal"));
    m_centralHostEdit = new QLineEdit;
    m_centralHostEdit->setObjectName(IdName(kCentralHostId));
    m_centralHostEdit->setToolTip(
        QStringLiteral("The PostgreSQL server the journal is shipped to; several, separated by "
                       "commas, for a primary and its standbys. Empty: the journal stays on this "
                       "station. The password comes from ~/.pgpass"));
    central->addRow(QStringLiteral("Server"), m_centralHostEdit);
    m_centralPortBox = new QSpinBox;
    m_centralPortBox->setObjectName(IdName(kCentralPortId));
    m_centralPortBox->setRange(1, 65535);
    central->addRow(QStringLiteral("Port"), m_centralPortBox);
    m_centralDatabaseEdit = new QLineEdit;
    m_centralDatabaseEdit->setObjectName(IdName(kCentralDatabaseId));
    central->addRow(QStringLiteral("Database"), m_centralDatabaseEdit);
    m_centralUserEdit = new QLineEdit;
    m_centralUserEdit->setObjectName(IdName(kCentralUserId));
    m_centralUserEdit->setToolTip(QStringLiteral("Empty: the name of the user logged in"));
    central->addRow(QStringLiteral("User"), m_centralUserEdit);
    m_centralSslCombo = new QComboBox;
    m_centralSslCombo->setObjectName(IdName(kCentralSslModeId));
    for (const char *mode : kCentralSslModes)
        m_centralSslCombo->addItem(QString::fromLatin1(mode));
    central->addRow(QStringLiteral("SSL mode"), m_centralSslCombo);

    if (kDeviceLists) {
        for (QComboBox *list : {m_inPortCombo, m_outPortCombo})
            connect(list, &QComboBox::currentIndexChanged, this,
                    &CGeneralSettingsDlg::UpdateDeviceLists);
        connect(m_inDeviceList, &QComboBox::activated, this, [this] {
            OnDevicePicked(m_inDeviceList, m_inPortCombo, m_shownInPort,
                           GetGeneralSettings().m_inSerialPort);
        });
        connect(m_outDeviceList, &QComboBox::activated, this, [this] {
            OnDevicePicked(m_outDeviceList, m_outPortCombo, m_shownOutPort,
                           GetGeneralSettings().m_outSerialPort);
        });
    }
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
    m_onPassedEdit->setText(settings.m_onPassed);
    m_autostartBox->setChecked(IsAutostartOn());
    m_notifyBox->setChecked(settings.m_notifyPassedMessages != 0);
    m_stationNameEdit->setText(settings.m_stationName);
    m_stationNameEdit->setPlaceholderText(GeneralSettings::DefaultStationName());
    m_frameSilenceBox->setValue(std::max(settings.m_troubles.m_frameSilenceMinutes, 0));
    m_shownFrameSilenceMinutes = m_frameSilenceBox->value();
    m_onTroubleEdit->setText(settings.m_troubles.m_onTrouble);
    m_alertsGroup->Show(settings.m_alerts);
    m_monitorListenEdit->setText(settings.m_monitor.m_listen);
    m_centralHostEdit->setText(settings.m_central.m_host);
    m_centralPortBox->setValue(settings.m_central.m_port);
    m_centralDatabaseEdit->setText(settings.m_central.m_database);
    m_centralUserEdit->setText(settings.m_central.m_user);
    m_centralSslCombo->setCurrentText(settings.m_central.m_sslMode);
    DoDataExchange(false);
    if (kDeviceLists) {
        // Once: the system's list of ports can take a moment, and it is not going to change
        // under the user's eyes in any way that matters.
        m_presentDevices = PresentSerialDevices();
        UpdateDeviceLists();
    }
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
    // Read at each passed message, so it applies from the next one.
    settings.m_onPassed = m_onPassedEdit->text();
    settings.m_notifyPassedMessages = m_notifyBox->isChecked() ? 1 : 0;
    if (m_frameSilenceBox->value() != m_shownFrameSilenceMinutes)
        settings.m_troubles.m_frameSilenceMinutes = m_frameSilenceBox->value();
    // Read at each trouble, so it applies from the next one.
    settings.m_troubles.m_onTrouble = m_onTroubleEdit->text();
    settings.m_stationName = m_stationNameEdit->text().trimmed();
    if (settings.m_stationName.isEmpty())
        settings.m_stationName = GeneralSettings::DefaultStationName();
    // Read as each message passes and as the waiting ones are looked at: in force at once.
    m_alertsGroup->Take(settings.m_alerts);
    // The monitoring follows it within a second; an address it cannot take is said in the log.
    settings.m_monitor.m_listen = m_monitorListenEdit->text().trimmed();
    // Looked at afresh: the entry may have been removed by hand while the dialog was open.
    if (m_autostartBox->isChecked() != IsAutostartOn()) {
        const QString failure = SetAutostart(m_autostartBox->isChecked());
        if (!failure.isEmpty())
            LogError(failure);
    }

    QList<int> changedDevices;
    for (auto picked = m_pickedDevices.cbegin(); picked != m_pickedDevices.cend(); ++picked) {
        if (picked.value() != m_storedDevices.value(picked.key()))
            changedDevices.append(picked.key());
    }
    const int inPort = SelectedPort(m_inPortCombo);
    const int outPort = SelectedPort(m_outPortCombo);
    if (inPort != m_shownInPort || outPort != m_shownOutPort || !changedDevices.isEmpty()) {
        ShowRestartNotice(this,
                          QStringLiteral("You changed a serial port setting. This will only take "
                                         "effect after you restart Alvetra"));
        if (inPort != m_shownInPort)
            settings.m_inSerialPort = inPort;
        if (outPort != m_shownOutPort)
            settings.m_outSerialPort = outPort;
        for (int number : std::as_const(changedDevices))
            SetSerialDeviceForPort(number, m_pickedDevices.value(number));
    }
    CentralSettings central = settings.m_central;
    central.m_host = m_centralHostEdit->text().trimmed();
    central.m_port = m_centralPortBox->value();
    central.m_database = m_centralDatabaseEdit->text().trimmed();
    if (central.m_database.isEmpty())
        central.m_database = CentralSettings().m_database;
    central.m_user = m_centralUserEdit->text().trimmed();
    central.m_sslMode = m_centralSslCombo->currentText();
    if (central.m_host != settings.m_central.m_host || central.m_port != settings.m_central.m_port
        || central.m_database != settings.m_central.m_database
        || central.m_user != settings.m_central.m_user
        || central.m_sslMode != settings.m_central.m_sslMode) {
        ShowRestartNotice(this, QStringLiteral("You changed the central journal. This will only "
                                               "take effect after you restart Alvetra"));
        settings.m_central = central;
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

CGeneralSettingsDlg::~CGeneralSettingsDlg()
{
    // A command being tried keeps its time limit after the dialog is gone.
    if (m_tryRunner)
        m_tryRunner.release()->FinishAlone();
    if (m_troubleTryRunner)
        m_troubleTryRunner.release()->FinishAlone();
}

QFormLayout *CGeneralSettingsDlg::AddSecondPageGroup(const QString &title)
{
    auto *group = new QGroupBox(title);
    auto *rows = new QFormLayout(group);
    rows->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    static_cast<QVBoxLayout *>(m_secondPage->layout())->addWidget(group);
    return rows;
}

void CGeneralSettingsDlg::ShowSecondPage(bool show)
{
    // The first page's size, and the buttons' row, as the template places them.
    const QRect first = ToPixels(0, 0, kDialogWidth, kDialogHeight);
    const QRect buttons = ToPixels(0, kButtonsY, kDialogWidth, kDialogHeight - kButtonsY);
    int pageHeight = buttons.top();
    if (show) {
        m_secondPage->layout()->activate();
        pageHeight = std::max(pageHeight, m_secondPage->sizeHint().height());
    }
    const int width = std::max(first.width(), show ? m_secondPage->sizeHint().width() : 0);
    const int shift = pageHeight - buttons.top();
    const int row = buttons.top() + shift;
    for (const int id : {1, 2})
        if (auto *button = findChild<QPushButton *>(IdName(id), Qt::FindDirectChildrenOnly))
            button->move(button->x(), row);
    // The page button keeps to the right edge, however wide the second page made the dialog.
    m_pageButton->move(width - ToPixels(0, 0, 7, 1).width() - m_pageButton->width(), row);
    m_secondPage->setGeometry(0, 0, width, pageHeight);
    m_secondPage->setVisible(show);
    if (show)
        m_secondPage->raise();
    m_pageButton->setText(show ? QStringLiteral("<< General") : QStringLiteral("Station >>"));
    setFixedSize(width, first.height() + shift);
}

int CGeneralSettingsDlg::EffectivePort(const QComboBox *list, int shown, int stored) const
{
    const int selected = SelectedPort(list);
    return selected == shown ? stored : selected;
}

void CGeneralSettingsDlg::UpdateDeviceLists()
{
    if (!kDeviceLists)
        return;
    const GeneralSettings &settings = GetGeneralSettings();
    const auto fill = [this](QComboBox *deviceList, int number) {
        if (!m_storedDevices.contains(number)) {
            const QString device = SerialDeviceForPort(number);
            m_storedDevices.insert(number,
                                   device == BuiltInSerialDevice(number) ? QString() : device);
        }
        const QString current = m_pickedDevices.value(number, m_storedDevices.value(number));
        const QSignalBlocker quiet(deviceList);
        deviceList->clear();
        deviceList->addItem(QStringLiteral("default (%1)").arg(BuiltInSerialDevice(number)),
                            QString());
        QList<SerialDeviceChoice> choices = m_presentDevices;
        const auto listed = std::find_if(choices.cbegin(), choices.cend(),
                                         [&](const auto &c) { return c.m_device == current; });
        // A device the settings name stays selected even when it is gone: the user sees that
        // it is absent instead of a silent switch to another one.
        if (!current.isEmpty() && listed == choices.cend())
            choices.append(NamedSerialDevice(current));
        for (const SerialDeviceChoice &choice : std::as_const(choices)) {
            deviceList->addItem(choice.m_text, choice.m_device);
            deviceList->setItemData(deviceList->count() - 1, choice.m_device, Qt::ToolTipRole);
        }
        deviceList->setCurrentIndex(std::max(0, deviceList->findData(current)));
        deviceList->setToolTip(deviceList->currentText());
    };
    fill(m_inDeviceList, EffectivePort(m_inPortCombo, m_shownInPort, settings.m_inSerialPort));
    fill(m_outDeviceList, EffectivePort(m_outPortCombo, m_shownOutPort, settings.m_outSerialPort));
}

void CGeneralSettingsDlg::OnDevicePicked(QComboBox *deviceList,
                                         const QComboBox *portList,
                                         int shown,
                                         int stored)
{
    m_pickedDevices.insert(EffectivePort(portList, shown, stored),
                           deviceList->currentData().toString());
    // Both lists may stand for the same number.
    UpdateDeviceLists();
}

void CGeneralSettingsDlg::OnTry()
{
    if (!m_tryRunner) {
        m_tryRunner = std::make_unique<HookRunner>(false);
        m_tryRunner->SetResultHandler(
            [this](const HookResult &result) { ShowTryResult(result, m_tryResult, m_tryButton); });
    }
    const GeneralSettings &settings = GetGeneralSettings();
    const PassedMessageFacts facts{
        QDateTime::currentDateTimeUtc(),
        EffectivePort(m_inPortCombo, m_shownInPort, settings.m_inSerialPort), QString()};
    const PassedMessageHook hook
        = MakePassedMessageHook(SampleHookMessage(), facts, m_onPassedEdit->text(),
                                HookTimeLimit(settings.m_hookTimeLimitSeconds));
    m_tryButton->setEnabled(false);
    m_tryResult->setText(QStringLiteral("Running..."));
    m_tryRunner->Run(hook.m_job);
}

void CGeneralSettingsDlg::OnTryTroubleCommand()
{
    if (!m_troubleTryRunner) {
        m_troubleTryRunner = std::make_unique<HookRunner>(false);
        m_troubleTryRunner->SetResultHandler([this](const HookResult &result) {
            ShowTryResult(result, m_troubleTryResult, m_troubleTryButton);
        });
    }
    const GeneralSettings &settings = GetGeneralSettings();
    const QString station = m_stationNameEdit->text().trimmed();
    const TroubleHookFacts facts = SampleTroubleHookFacts(
        station.isEmpty() ? GeneralSettings::DefaultStationName() : station,
        EffectivePort(m_inPortCombo, m_shownInPort, settings.m_inSerialPort));
    m_troubleTryButton->setEnabled(false);
    m_troubleTryResult->setText(QStringLiteral("Running..."));
    m_troubleTryRunner->Run(MakeTroubleHookJob(facts, m_onTroubleEdit->text(),
                                               HookTimeLimit(settings.m_hookTimeLimitSeconds)));
}

void CGeneralSettingsDlg::ShowTryResult(const HookResult &result,
                                        QLabel *label,
                                        QPushButton *button)
{
    QString text;
    if (result.m_outcome == HookOutcome::Succeeded || result.m_outcome == HookOutcome::Failed) {
        text = QStringLiteral("Exit code %1").arg(result.m_exitCode);
    } else {
        text = result.m_failure;
        if (!text.isEmpty())
            text[0] = text[0].toUpper();
    }
    if (!result.m_lastErrorLine.isEmpty())
        text += QStringLiteral(" - ") + result.m_lastErrorLine;
    label->setToolTip(text);
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->width()));
    button->setEnabled(true);
}
