#include "CMainFrame.h"

#include "CAlvetraDoc.h"
#include "CAlvetraView.h"

#include <QCloseEvent>

CMainFrame::CMainFrame(CAlvetraDoc *document, QWidget *parent)
    : QMainWindow(parent)
    , m_document(document)
    , m_view(new CAlvetraView(document, this))
{
    setCentralWidget(m_view);
    resize(800, 600);
    connect(document, &CAlvetraDoc::TitleChanged, this, &CMainFrame::UpdateCaption);
    UpdateCaption(document->Title());
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::UpdateCaption(const QString &title)
{
    setWindowTitle(title.isEmpty() ? QStringLiteral("Alvetra")
                                   : title + QStringLiteral(" - Alvetra"));
}

void CMainFrame::closeEvent(QCloseEvent *event)
{
    if (m_document->CanCloseFrame())
        event->accept();
    else
        event->ignore();
}
