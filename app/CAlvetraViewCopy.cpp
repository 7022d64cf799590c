// The log's selection on the clipboard.
#include "CAlvetraView.h"

#include "SelectionCopy.h"

QMimeData *CAlvetraView::createMimeDataFromSelection() const
{
    const QTextCursor selection = textCursor();
    // Qt's own form copies the selection as a document and makes its HTML at the first paste:
    // seconds on the window's thread for a full log.
    if (selection.selectionEnd() - selection.selectionStart() <= SelectionCopy::kRichCopyLimit)
        return QPlainTextEdit::createMimeDataFromSelection();
    return SelectionCopy::PlainTextInSlices(selection);
}
