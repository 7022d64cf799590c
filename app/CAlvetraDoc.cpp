#include "CAlvetraDoc.h"

CAlvetraDoc::CAlvetraDoc()
{
    // The log is read-only for the user; undo records would only grow without end.
    m_log.setUndoRedoEnabled(false);
}

void CAlvetraDoc::SetTitle(const QString &title)
{
    m_title = title;
    emit TitleChanged(title);
}

bool CAlvetraDoc::OnNewDocument()
{
    m_log.clear();
    m_log.setModified(false);
    return true;
}
