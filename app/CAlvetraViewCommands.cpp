// The Settings menu's commands.
#include "CAlvetraView.h"

void CAlvetraView::OnFilterSettings() {}

void CAlvetraView::OnGeneralSettings() {}
