// The document commands of the main window: a new log, opening and saving the log as RTF,
// printing and previewing it.
#include "CMainFrame.h"

#include "CAlvetraApp.h"
#include "CAlvetraDoc.h"
#include "CAlvetraView.h"
#include "LogWork.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QPrinterInfo>

namespace {

const QString kRtfFilter = QStringLiteral("Rich Text Format (*.rtf);;All files (*)");

void ShowError(QWidget *parent, const QString &text)
{
    QMessageBox::warning(parent, QStringLiteral("Alvetra"), text);
}

// Without a printer Qt would quietly make a PDF file that nobody asked for; say so instead.
bool PrinterInstalled(QWidget *parent)
{
    if (!QPrinterInfo::availablePrinterNames().isEmpty())
        return true;
    ShowError(parent, QStringLiteral("No printer is installed. Install a printer to print "
                                     "the log."));
    return false;
}

// Saves under the log's file, asking for one when it has none or when `askName` is set.
// False when the user cancels or the file cannot be written, which the user has been told.
bool DoSave(QWidget *parent, CAlvetraDoc &document, LogWork &work, bool askName)
{
    QString path = document.PathName();
    if (askName || path.isEmpty()) {
        const QString proposal = path.isEmpty() ? document.Title() + QStringLiteral(".rtf") : path;
        path
            = QFileDialog::getSaveFileName(parent, QStringLiteral("Save As"), proposal, kRtfFilter);
        if (path.isEmpty())
            return false;
        if (QFileInfo(path).suffix().isEmpty())
            path += QStringLiteral(".rtf");
    }
    QString error;
    if (!work.Save(path, &error)) {
        if (!error.isEmpty())
            ShowError(parent, error);
        return false;
    }
    return true;
}

// Whether the program's end began while a box was up: its loop ended with the program's, and
// nothing the box was for may run after the end stopped the ports.
bool EndingMeanwhile()
{
    return CAlvetraApp::Instance()->IsEnding();
}

// Before the log is replaced: false when the user cancels, or chose to save and it failed, or
// the program began to end while the box was up.
bool SaveModified(QWidget *parent, CAlvetraDoc &document, LogWork &work)
{
    if (!document.IsModified())
        return !EndingMeanwhile();
    const auto answer = QMessageBox::question(
        parent, QStringLiteral("Alvetra"),
        QStringLiteral("Save changes to %1?").arg(document.Title()),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    if (EndingMeanwhile() || answer == QMessageBox::Cancel)
        return false;
    if (answer == QMessageBox::Yes)
        return DoSave(parent, document, work, false) && !EndingMeanwhile();
    return true;
}

} // namespace

void CMainFrame::UpdateFileCommands()
{
    const bool fileBusy = m_work->FileBusy();
    for (const int id : {57600, 57601})
        Command(id)->setEnabled(!fileBusy && !m_work->PrintCopying());
    Command(57603)->setEnabled(!fileBusy);
    Command(57607)->setEnabled(!m_work->PrintBusy() && !m_work->Opening());
}

void CMainFrame::OnFileNew()
{
    if (m_work->FileBusy() || m_work->PrintCopying() || !SaveModified(this, *m_document, *m_work))
        return;
    m_document->OnNewDocument();
    // Title, read-only state, margins and the ports, with the settings of this moment.
    m_view->OnInitialUpdate();
}

void CMainFrame::OnFileOpen()
{
    if (m_work->FileBusy() || m_work->PrintCopying())
        return;
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open"), QFileInfo(m_document->PathName()).path(), kRtfFilter);
    if (path.isEmpty() || EndingMeanwhile())
        return;
    if (!SaveModified(this, *m_document, *m_work))
        return;
    QString error;
    if (!m_work->Open(path, &error)) {
        if (!error.isEmpty() && !EndingMeanwhile())
            ShowError(this, error);
        return;
    }
    if (EndingMeanwhile())
        return;
    m_view->OnInitialUpdate();
}

void CMainFrame::OnFileSave()
{
    if (!m_work->FileBusy())
        DoSave(this, *m_document, *m_work, false);
}

void CMainFrame::OnFileSaveAs()
{
    if (!m_work->FileBusy())
        DoSave(this, *m_document, *m_work, true);
}

void CMainFrame::OnFilePrint()
{
    if (m_work->PrintBusy() || m_work->Opening() || !PrinterInstalled(this))
        return;
    // The pages are counted first, so that the dialog's range can run to the last one.
    m_work->StartPrint(this);
}

// No menu and no key offers the preview: it lays out every page here, on the window's thread.
void CMainFrame::OnFilePrintPreview()
{
    QPrintPreviewDialog preview(&m_document->Printer(), this);
    connect(&preview, &QPrintPreviewDialog::paintRequested, this,
            [this](QPrinter *printer) { m_document->Print(*printer); });
    preview.exec();
}

void CMainFrame::OnFilePrintSetup()
{
    if (m_work->PrintBusy() || !PrinterInstalled(this))
        return;
    QPageSetupDialog setup(&m_document->Printer(), this);
    setup.exec();
}
