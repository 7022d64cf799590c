#include "CMainFrame.h"

#include "CAlvetraDoc.h"
#include "CAlvetraView.h"
#include "doors/Doors.h"
#include "serial/SerialPort.h"

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
    if (!m_document->CanCloseFrame()) {
        event->ignore();
        return;
    }
    event->accept();
    // While the event loop still runs: a port thread may be waiting in a hand-off to the view.
    GetInPort().StopThread();
    GetOutPort().StopThread();
}
