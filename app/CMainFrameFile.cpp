// The document commands of the main window: a new log, opening and saving the log as RTF,
// printing and previewing it.
#include "CMainFrame.h"

void CMainFrame::OnFileNew() {}

void CMainFrame::OnFileOpen() {}

void CMainFrame::OnFileSave() {}

void CMainFrame::OnFileSaveAs() {}

void CMainFrame::OnFilePrint() {}

void CMainFrame::OnFilePrintPreview() {}

void CMainFrame::OnFilePrintSetup() {}
