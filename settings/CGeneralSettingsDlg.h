#pragma once

#include "CTemplateDlg.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;

// The General Settings dialog: the input and output COM port numbers, the three output
// switches and the minutes of silence after which Alvetra warns. OK stores the switches and the
// numbers the user changed, tells the user which changes wait for a restart, and saves; Cancel
// stores nothing. GUI thread only.
class CGeneralSettingsDlg : public CTemplateDlg
{
    Q_OBJECT

public:
    explicit CGeneralSettingsDlg(QWidget *parent = nullptr);

protected:
    void OnInitDialog() override;

private:
    // Moves the check states into the boxes, or with `fromBoxes` the boxes into the states.
    void DoDataExchange(bool fromBoxes);
    void OnOK();
    // Shows beside each list the device its port number stands for on this machine.
    void UpdateDeviceLabels();

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
    // The station's desktop: the log-in entry and the passed-message notifications.
    QCheckBox *m_autostartBox = nullptr;
    QCheckBox *m_notifyBox = nullptr;
    QLabel *m_inDeviceLabel = nullptr;
    QLabel *m_outDeviceLabel = nullptr;
};
