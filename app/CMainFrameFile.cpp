// The document commands of the main window: a new log, opening and saving the log as RTF,
// printing and previewing it.
#include "CMainFrame.h"

#include "CAlvetraApp.h"
#include "CAlvetraDoc.h"
#include "CAlvetraView.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPrintDialog>
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
bool DoSave(QWidget *parent, CAlvetraDoc &document, bool askName)
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
    if (!document.OnSaveDocument(path, &error)) {
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
bool SaveModified(QWidget *parent, CAlvetraDoc &document)
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
        return DoSave(parent, document, false) && !EndingMeanwhile();
    return true;
}

} // namespace

void CMainFrame::OnFileNew()
{
    if (!SaveModified(this, *m_document))
        return;
    m_document->OnNewDocument();
    // Title, read-only state, margins and the ports, with the settings of this moment.
    m_view->OnInitialUpdate();
}

void CMainFrame::OnFileOpen()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open"), QFileInfo(m_document->PathName()).path(), kRtfFilter);
    if (path.isEmpty() || EndingMeanwhile())
        return;
    if (!SaveModified(this, *m_document))
        return;
    QString error;
    if (!m_document->OnOpenDocument(path, &error)) {
        ShowError(this, error);
        return;
    }
    m_view->OnInitialUpdate();
}

void CMainFrame::OnFileSave()
{
    DoSave(this, *m_document, false);
}

void CMainFrame::OnFileSaveAs()
{
    DoSave(this, *m_document, true);
}

void CMainFrame::OnFilePrint()
{
    if (!PrinterInstalled(this))
        return;
    QPrinter &printer = m_document->Printer();
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (!m_document->Print(printer))
        ShowError(this,
                  QStringLiteral("The log could not be printed on %1.").arg(printer.printerName()));
}

void CMainFrame::OnFilePrintPreview()
{
    QPrintPreviewDialog preview(&m_document->Printer(), this);
    connect(&preview, &QPrintPreviewDialog::paintRequested, this,
            [this](QPrinter *printer) { m_document->Print(*printer); });
    preview.exec();
}

void CMainFrame::OnFilePrintSetup()
{
    if (!PrinterInstalled(this))
        return;
    QPageSetupDialog setup(&m_document->Printer(), this);
    setup.exec();
}
