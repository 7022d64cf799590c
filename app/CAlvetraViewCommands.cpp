// The Settings menu's commands.
#include "CAlvetraView.h"

#include "dialogs/CFilterSettingsDlg.h"
#include "dialogs/CGeneralSettingsDlg.h"

// Both dialogs act on the settings themselves; their results tell the caller nothing.
void CAlvetraView::OnFilterSettings()
{
    CFilterSettingsDlg dialog;
    dialog.exec();
}

void CAlvetraView::OnGeneralSettings()
{
    CGeneralSettingsDlg dialog;
    dialog.exec();
}
