#include "CAlvetraView.h"

#include "CAlvetraApp.h"
#include "CAlvetraDoc.h"
#include "doors/Doors.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"

#include <QFile>
#include <QMessageBox>
#include <QPlainTextDocumentLayout>
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
    : QPlainTextEdit(parent)
    , m_document(document)
{
    QTextDocument *log = document->Document();
    log->setDocumentLayout(new QPlainTextDocumentLayout(log));
    setDocument(log);
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

int CAlvetraView::StartOfNextLine(bool newLineFirst) const
{
    return newLineFirst ? document()->characterCount() : document()->lastBlock().position();
}

void CAlvetraView::AppendText(
    const QString &text, bool newLineFirst, int height, Colour colour, bool bold, bool underline)
{
    if (m_holding) {
        m_held.push_back(
            [=, this] { AppendText(text, newLineFirst, height, colour, bold, underline); });
        return;
    }
    const QTextCursor user = textCursor();
    const int keepFrom = StartOfNextLine(newLineFirst);
    const Selection selection{user.anchor(), user.position()};
    InsertLine(text, newLineFirst, height, colour, bold, underline);
    TrimToCapacity(keepFrom, selection);
}

void CAlvetraView::ShowMessage(const EdisMessage &message)
{
    if (m_holding) {
        m_held.push_back([this, held = message] { ShowMessage(held); });
        return;
    }
    const QTextCursor user = textCursor();
    const int keepFrom = StartOfNextLine(true);
    const Selection selection{user.anchor(), user.position()};
    // One edit block: the four lines arrive as one change of the document. The trim waits for
    // all four, so that its warning never comes between the lines of one message.
    QTextCursor block(document());
    block.beginEditBlock();
    InsertLine(DecodeCp1252(message.m_headline), true, 300, Rgb(0, 0, 255), true, true);
    InsertLine(DecodeCp1252(message.m_header), true, 230, Rgb(0, 0, 255), false, false);
    InsertLine(DecodeCp1252(message.m_trailer), true, 230, Rgb(255, 0, 0), false, false);
    InsertLine(DecodeCp1252(message.m_body), true, 230, Rgb(0, 0, 0), false, false);
    block.endEditBlock();
    TrimToCapacity(keepFrom, selection);
}

void CAlvetraView::InsertLine(
    const QString &text, bool newLineFirst, int height, Colour colour, bool bold, bool underline)
{
    // Inserting at the user's caret would put the new line in the wrong place and replace a
    // selection; appends go to the end.
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
}

void CAlvetraView::TrimToCapacity(int keepFrom, Selection user)
{
    QTextDocument *log = document();
    QScrollBar *bar = verticalScrollBar();
    const bool follow = m_followEnd;
    const int charactersBefore = log->characterCount();

    // The oldest share up to the end of the line it reaches into, again until the log is within
    // its capacity, all cut in one removal: removing a line at a time would make every further
    // append pay for the trim. The arriving lines stay whole even when they alone are over the
    // capacity; the next trim takes them.
    int cutEnd = 0;
    while (charactersBefore - cutEnd > m_capacity && cutEnd < keepFrom) {
        const int share = std::max(1, (charactersBefore - cutEnd) / kTrimShare);
        const QTextBlock firstKept = log->findBlock(cutEnd + share).next();
        cutEnd = firstKept.isValid() ? std::min(firstKept.position(), keepFrom) : keepFrom;
    }

    if (cutEnd > 0) {
        const int value = bar->value();
        const int linesBefore = log->lineCount();
        QTextCursor cursor(log);
        cursor.setPosition(cutEnd, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        // The scroll bar counts lines: a reader keeps the lines in view that were not removed.
        const int removedLines = linesBefore - log->lineCount();
        InsertLine(QStringLiteral("Warning:->The log reached its capacity of %1 characters; its "
                                  "oldest lines were removed to make room for new ones.")
                       .arg(m_capacity),
                   true, kErrorHeight, kWarningColour, true, false);
        bar->setValue(follow ? bar->maximum() : std::max(0, value - removedLines));
        m_followEnd = follow;
    }

    // The document moves the view's cursor along with the text, so a selection that reached
    // the old end has grown over the new lines; it goes back to the text it held.
    if (user.anchor == user.position)
        return;
    const int last = log->characterCount() - 1;
    const int anchor = std::clamp(user.anchor - cutEnd, 0, last);
    const int position = std::clamp(user.position - cutEnd, 0, last);
    const QTextCursor moved = textCursor();
    if (moved.anchor() == anchor && moved.position() == position)
        return;
    // Putting the cursor back scrolls to it; the view stays as the user had it.
    const int value = bar->value();
    QTextCursor restored(log);
    restored.setPosition(anchor);
    restored.setPosition(position, QTextCursor::KeepAnchor);
    setTextCursor(restored);
    bar->setValue(follow ? bar->maximum() : value);
    m_followEnd = follow;
}

void CAlvetraView::HoldLines()
{
    m_holding = true;
}

void CAlvetraView::ReleaseLines()
{
    m_holding = false;
    const std::vector<std::function<void()>> held = std::exchange(m_held, {});
    for (const std::function<void()> &line : held)
        line();
}

void CAlvetraView::SetCapacity(int characters)
{
    m_capacity = std::max(characters, 1000);
    const QTextCursor user = textCursor();
    TrimToCapacity(document()->lastBlock().position(), {user.anchor(), user.position()});
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
