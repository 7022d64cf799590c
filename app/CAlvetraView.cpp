#include "CAlvetraView.h"

#include "CAlvetraApp.h"
#include "CAlvetraDoc.h"
#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"

#include <QFile>
#include <QMessageBox>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kErrorHeight = 200;
constexpr Colour kErrorColour = Rgb(255, 0, 0);
constexpr Colour kWarningColour = Rgb(105, 155, 0);

QColor ToQColor(Colour colour)
{
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

void AppendLogLine(const QString &line, Colour colour)
{
    if (CAlvetraView *view = GetLogView()) {
        view->AppendText(line, true, kErrorHeight, colour, true, false);
        return;
    }
    // No log yet (or no more): the line must not be lost.
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

void LogLine(const QString &line, Colour colour)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        AppendLogLine(line, colour);
        return;
    }
    // From another thread: hand the line over and go on; never wait on the GUI thread.
    QMetaObject::invokeMethod(
        app, [line, colour] { AppendLogLine(line, colour); }, Qt::QueuedConnection);
}

} // namespace

CAlvetraView::CAlvetraView(CAlvetraDoc *document, QWidget *parent)
    : QTextEdit(parent)
    , m_document(document)
{
    setDocument(document->Document());
    setUndoRedoEnabled(false);
}

CAlvetraView::~CAlvetraView() = default;

void CAlvetraView::OnInitialUpdate()
{
    SetUpPorts();
    m_document->SetTitle(QStringLiteral("DorvaneAtlas"));
    setReadOnly(true);
    // Page margins of 720 twips (half an inch) for printing the log.
    QTextFrameFormat frame = document()->rootFrame()->frameFormat();
    const qreal margin = 72.0 / 2.0;
    frame.setMargin(0);
    document()->rootFrame()->setFrameFormat(frame);
    document()->setDocumentMargin(margin);
}

void CAlvetraView::AppendText(
    const QString &text, bool newLineFirst, int height, Colour colour, bool bold, bool underline)
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (newLineFirst)
        cursor.insertBlock();
    QTextCharFormat format;
    format.setFontFamilies({QStringLiteral("MS Sans Serif")});
    format.setFontPointSize(height / 20.0);
    format.setForeground(ToQColor(colour));
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    format.setFontUnderline(underline);
    cursor.insertText(text, format);
    cursor.endEditBlock();
}

void CAlvetraView::ShowMessage(const EdisMessage &message)
{
    AppendText(DecodeCp1252(message.m_headline), true, 300, Rgb(0, 0, 255), true, true);
    AppendText(DecodeCp1252(message.m_header), true, 230, Rgb(0, 0, 255), false, false);
    AppendText(DecodeCp1252(message.m_trailer), true, 230, Rgb(255, 0, 0), false, false);
    AppendText(DecodeCp1252(message.m_body), true, 230, Rgb(0, 0, 0), false, false);
}

void CAlvetraView::OnTestFile()
{
    QFile file(QStringLiteral("test"));
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageBox::information(this, QStringLiteral("Alvetra"),
                                 QStringLiteral("Not able to open test file"));
        return;
    }
    const QByteArray bytes = file.readAll();
    for (const char c : bytes)
        GetReceiver().ProcessChar(static_cast<unsigned char>(c));
}

CAlvetraView *GetLogView()
{
    CAlvetraApp *app = CAlvetraApp::Instance();
    return app ? app->View() : nullptr;
}

void LogError(const QString &text)
{
    LogLine(QStringLiteral("Error:->") + text, kErrorColour);
}

void LogWarning(const QString &text)
{
    LogLine(QStringLiteral("Warning:->") + text, kWarningColour);
}

void ShowMessage(const EdisMessage &message)
{
    if (CAlvetraView *view = GetLogView())
        view->ShowMessage(message);
}
