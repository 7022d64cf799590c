// The Settings menu's commands, and the log door the settings dialogs write through.
#include "CAlvetraView.h"

#include "doors/Doors.h"

#include "settings/CFilterSettingsDlg.h"
#include "settings/CGeneralSettingsDlg.h"

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

void AppendLogText(const QString &text,
                   bool newLineFirst,
                   int height,
                   unsigned int colour,
                   bool bold,
                   bool underline)
{
    if (CAlvetraView *view = GetLogView())
        view->AppendText(text, newLineFirst, height, colour, bold, underline);
}
