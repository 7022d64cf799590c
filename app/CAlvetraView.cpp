#include "CAlvetraView.h"

#include "CAlvetraApp.h"
#include "CAlvetraDoc.h"
#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

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

// Error and warning lines wait here until the GUI thread appends them. One queue for every
// thread keeps the lines in the order of the calls: a line logged on the GUI thread first
// appends whatever other threads handed over before it.
struct PendingLine
{
    QString text;
    Colour colour;
};

std::mutex &PendingMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<PendingLine> &PendingLines()
{
    static std::vector<PendingLine> lines;
    return lines;
}

// GUI thread only.
void AppendPendingLines()
{
    std::vector<PendingLine> lines;
    {
        const std::lock_guard lock(PendingMutex());
        lines.swap(PendingLines());
    }
    for (const PendingLine &line : lines)
        AppendLogLine(line.text, line.colour);
}

void LogLine(const QString &line, Colour colour)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        std::fprintf(stderr, "%s\n", qPrintable(line));
        return;
    }
    bool firstPending = false;
    {
        const std::lock_guard lock(PendingMutex());
        firstPending = PendingLines().empty();
        PendingLines().push_back({line, colour});
    }
    if (QThread::currentThread() == app->thread()) {
        AppendPendingLines();
        return;
    }
    // From another thread: hand the line over and go on. Never wait on the GUI thread, which
    // may itself be waiting for this thread to stop. One wake-up serves every line queued
    // before it runs.
    if (firstPending)
        QMetaObject::invokeMethod(app, &AppendPendingLines, Qt::QueuedConnection);
}

} // namespace

CAlvetraView::CAlvetraView(CAlvetraDoc *document, QWidget *parent)
    : QTextEdit(parent)
    , m_document(document)
{
    setDocument(document->Document());
    setUndoRedoEnabled(false);
    // Follow new lines only while the user looks at the end of the log; a user reading older
    // lines keeps them in view.
    QScrollBar *bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { m_followEnd = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (m_followEnd)
            bar->setValue(maximum);
    });
}

CAlvetraView::~CAlvetraView() = default;

void CAlvetraView::OnInitialUpdate()
{
    SetUpPorts();
    m_document->SetTitle(QStringLiteral("DorvaneAtlas"));
    setReadOnly(true);
    // Selecting, copying and finding stay possible, with the mouse and with the keyboard.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // A log that was opened from a file must not start to collect undo records either.
    document()->setUndoRedoEnabled(false);
    m_printMargins
        = QMarginsF(kPrintMarginTwips, kPrintMarginTwips, kPrintMarginTwips, kPrintMarginTwips)
          / 20.0;
}

void CAlvetraView::AppendText(
    const QString &text, bool newLineFirst, int height, Colour colour, bool bold, bool underline)
{
    // Inserting at the user's caret would put the new line in the wrong place and replace a
    // selection; appends go to the end, and the user's selection stays as it was.
    const QTextCursor user = textCursor();
    const int userAnchor = user.anchor();
    const int userPosition = user.position();

    QTextCursor cursor(document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // The line break takes the format of the previous append, even of one without text,
    // as long as nothing else changed the log since.
    if (newLineFirst) {
        if (document()->characterCount() == m_lastFormatEnd)
            cursor.insertBlock(cursor.blockFormat(), m_lastFormat);
        else
            cursor.insertBlock();
    }
    QTextCharFormat format;
    format.setFontFamilies({QStringLiteral("MS Sans Serif")});
    format.setFontPointSize(height / 20.0);
    format.setForeground(ToQColor(colour));
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    format.setFontUnderline(underline);
    cursor.insertText(text, format);
    cursor.endEditBlock();
    m_lastFormat = format;
    m_lastFormatEnd = document()->characterCount();

    const bool trimmed = TrimToCapacity();

    // A selection that reached the old end would otherwise grow over the new lines.
    if (userAnchor != userPosition && !trimmed) {
        const QTextCursor moved = textCursor();
        if (moved.anchor() != userAnchor || moved.position() != userPosition) {
            // Putting the cursor back scrolls to it; the view stays as the user had it.
            QScrollBar *bar = verticalScrollBar();
            const int value = bar->value();
            const bool follow = m_followEnd;
            QTextCursor restored(document());
            restored.setPosition(std::min(userAnchor, document()->characterCount() - 1));
            restored.setPosition(std::min(userPosition, document()->characterCount() - 1),
                                 QTextCursor::KeepAnchor);
            setTextCursor(restored);
            bar->setValue(follow ? bar->maximum() : value);
            m_followEnd = follow;
        }
    }
}

bool CAlvetraView::TrimToCapacity()
{
    QTextDocument *log = document();
    if (m_trimming || log->characterCount() <= m_capacity)
        return false;
    m_trimming = true;
    QScrollBar *bar = verticalScrollBar();
    const bool follow = m_followEnd;
    const int value = bar->value();
    qreal removedHeight = 0;

    QTextCursor cursor(log);
    cursor.beginEditBlock();
    while (log->characterCount() > m_capacity) {
        // The oldest tenth in one chunk, up to the end of the line it reaches into: removing a
        // line at a time would make every further append pay for the trim.
        const int tenth = std::max(1, log->characterCount() / 10);
        const QTextBlock reached = log->findBlock(tenth);
        const QTextBlock firstKept = reached.next();
        const int cutEnd = firstKept.isValid() ? firstKept.position() : tenth;
        if (firstKept.isValid())
            removedHeight += log->documentLayout()->blockBoundingRect(firstKept).top();
        cursor.setPosition(0);
        cursor.setPosition(cutEnd, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.endEditBlock();

    AppendText(QStringLiteral("Warning:->The log reached its capacity of %1 characters; its "
                              "oldest lines were removed to make room for new ones.")
                   .arg(m_capacity),
               true, kErrorHeight, kWarningColour, true, false);
    // A user reading older lines keeps them in view, as far as they were not removed.
    if (!follow)
        bar->setValue(std::max(0, value - int(removedHeight)));
    m_trimming = false;
    return true;
}

void CAlvetraView::SetCapacity(int characters)
{
    m_capacity = std::max(characters, 1000);
    TrimToCapacity();
}

void CAlvetraView::ShowMessage(const EdisMessage &message)
{
    // One edit block: the four lines arrive as one change of the document.
    QTextCursor block(document());
    block.beginEditBlock();
    AppendText(DecodeCp1252(message.m_headline), true, 300, Rgb(0, 0, 255), true, true);
    AppendText(DecodeCp1252(message.m_header), true, 230, Rgb(0, 0, 255), false, false);
    AppendText(DecodeCp1252(message.m_trailer), true, 230, Rgb(255, 0, 0), false, false);
    AppendText(DecodeCp1252(message.m_body), true, 230, Rgb(0, 0, 0), false, false);
    block.endEditBlock();
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

void AppendErrorLine(const QString &text)
{
    LogLine(QStringLiteral("Error:->") + text, kErrorColour);
}

void AppendWarningLine(const QString &text)
{
    LogLine(QStringLiteral("Warning:->") + text, kWarningColour);
}
