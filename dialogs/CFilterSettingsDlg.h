#pragma once

#include "CTemplateDlg.h"

#include <map>

class QPushButton;

// The Filter Settings dialog: the filter criteria as check boxes, one per handling level, target
// region and source network, and "Any Source". The criteria change only when OK or "Filter Info"
// is pressed, each as one step, so a message arriving meanwhile is judged against the complete
// old or the complete new criteria. GUI thread only.
class CFilterSettingsDlg : public CTemplateDlg
{
    Q_OBJECT

public:
    explicit CFilterSettingsDlg(QWidget *parent = nullptr);

    // The check state, 0 or 1, last exchanged with the box of this id.
    int CheckState(int id) const;

    // Esc and the close box cancel only while Cancel could: once "Filter Info" has stored the
    // criteria, closing must not look like an undo, so only OK closes the dialog.
    void reject() override;

protected:
    void OnInitDialog() override;

private:
    // Moves the check states into the boxes, or with `fromBoxes` the boxes into the states.
    void DoDataExchange(bool fromBoxes);
    void LoadFromSettings();
    // Ends with saving "flt.dat".
    void StoreToSettings();

    void OnOK();
    void OnFilterInfo();

    std::map<int, int> m_checkStates;
    QPushButton *m_cancelButton = nullptr;
};
