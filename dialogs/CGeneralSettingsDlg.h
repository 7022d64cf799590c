#pragma once

#include "CTemplateDlg.h"
#include "serial/SerialDevices.h"

#include <QMap>

#include <memory>

class AlertSettingsGroup;
class HookRunner;
struct HookResult;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The General Settings dialog: the input and output COM port numbers with, on Linux, the device
// each number opens, the three output switches, the minutes of silence after which Alvetra
// warns, and the command run for each passed message with a button that tries it. OK stores
// the switches and what the user changed, tells the user which changes wait for a restart, and
// saves; Cancel stores nothing. GUI thread only; a command being tried runs on its own and is
// left to finish when the dialog closes, within its time limit.
// What a station needs beyond the first page's controls sits on a second page, reached with the
// "Station >>" button, so that the first page stays as operators know it.
class CGeneralSettingsDlg : public CTemplateDlg
{
    Q_OBJECT

public:
    explicit CGeneralSettingsDlg(QWidget *parent = nullptr);
    ~CGeneralSettingsDlg() override;

protected:
    void OnInitDialog() override;

private:
    // Moves the check states into the boxes, or with `fromBoxes` the boxes into the states.
    void DoDataExchange(bool fromBoxes);
    void OnOK();
    // Fills the device list beside each port list for the number it selects.
    void UpdateDeviceLists();
    // The number a port list stands for: the stored one while it shows what it showed at
    // opening, which may be a number it does not offer.
    int EffectivePort(const QComboBox *list, int shown, int stored) const;
    void OnDevicePicked(QComboBox *deviceList, const QComboBox *portList, int shown, int stored);
    void OnTry();
    // In `label`, beside the Try `button` that started it.
    void ShowTryResult(const HookResult &result, QLabel *label, QPushButton *button);
    void OnTryTroubleCommand();
    // A titled group of labelled rows on the second page, below those made before it.
    QFormLayout *AddSecondPageGroup(const QString &title);
    // Shows the second page, or the first again: the dialog grows to hold the second and the
    // buttons move below it.
    void ShowSecondPage(bool show);

    QComboBox *m_outPortCombo = nullptr;
    QComboBox *m_inPortCombo = nullptr;
    int m_sendToFileCheck = 0;
    int m_sendToPortCheck = 0;
    int m_sendToPrinterCheck = 0;
    // As shown at opening: a list left at these numbers leaves its setting untouched.
    int m_shownInPort = 0;
    int m_shownOutPort = 0;
    int m_shownSendToPort = 0;
    int m_shownSilenceMinutes = 0;

    QCheckBox *m_sendToFileBox = nullptr;
    QCheckBox *m_sendToPrinterBox = nullptr;
    QCheckBox *m_sendToPortBox = nullptr;
    QSpinBox *m_silenceMinutesBox = nullptr;
    QComboBox *m_inDeviceList = nullptr;
    QComboBox *m_outDeviceList = nullptr;
    QList<SerialDeviceChoice> m_presentDevices;
    // By COM number: the device the settings name at opening ("" for the built-in one), and
    // the one picked since.
    QMap<int, QString> m_storedDevices;
    QMap<int, QString> m_pickedDevices;

    // The central journal's server ("Central journal" on the second page).
    QLineEdit *m_centralHostEdit = nullptr;
    QSpinBox *m_centralPortBox = nullptr;
    QLineEdit *m_centralDatabaseEdit = nullptr;
    QLineEdit *m_centralUserEdit = nullptr;
    QComboBox *m_centralSslCombo = nullptr;

    QLineEdit *m_onPassedEdit = nullptr;
    QPushButton *m_tryButton = nullptr;
    QLabel *m_tryResult = nullptr;
    std::unique_ptr<HookRunner> m_tryRunner;
    // The station's desktop: the log-in entry and the passed-message notifications.
    QCheckBox *m_autostartBox = nullptr;
    QCheckBox *m_notifyBox = nullptr;

    // The second page, over the first page's controls while shown, and its button.
    QWidget *m_secondPage = nullptr;
    QPushButton *m_pageButton = nullptr;
    QLineEdit *m_stationNameEdit = nullptr;
    // Supervision: the frame silence, and the command for the station's troubles with its Try.
    QSpinBox *m_frameSilenceBox = nullptr;
    int m_shownFrameSilenceMinutes = 0;
    QLineEdit *m_onTroubleEdit = nullptr;
    QPushButton *m_troubleTryButton = nullptr;
    QLabel *m_troubleTryResult = nullptr;
    std::unique_ptr<HookRunner> m_troubleTryRunner;
    AlertSettingsGroup *m_alertsGroup = nullptr;
    QLineEdit *m_monitorListenEdit = nullptr;
};
