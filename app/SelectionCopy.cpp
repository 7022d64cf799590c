#include "SelectionCopy.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QPlainTextEdit>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;

namespace {

// A slice of a quarter of a million characters takes a few milliseconds to read; the window's
// other events come in after some 40 ms of slices.
constexpr int kSliceCharacters = 256 * 1024;
constexpr auto kSliceTime = 40ms;

const QString kPlainText = QStringLiteral("text/plain");

// A large selection on the clipboard without its text made yet: on X11 a selection made with
// the mouse or the keys becomes the primary selection at once, and most are never pasted. The
// text is made, once, when a paste asks for it.
class DeferredSelection : public QMimeData
{
public:
    explicit DeferredSelection(const QTextCursor &selection)
        : m_selection(selection)
    {
        // New lines at the end of the log are not part of it.
        m_selection.setKeepPositionOnInsert(true);
    }

    QStringList formats() const override { return {kPlainText}; }
    bool hasFormat(const QString &mimeType) const override { return mimeType == kPlainText; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType) const override
    {
        if (mimeType != kPlainText)
            return {};
        if (!m_made) {
            m_text = SelectionCopy::PlainText(m_selection);
            m_made = true;
        }
        return m_text;
    }

private:
    QTextCursor m_selection;
    mutable QString m_text;
    mutable bool m_made = false;
};

} // namespace

SelectionCopy::SelectionCopy(QPlainTextEdit *log, QObject *parent)
    : QObject(parent)
    , m_log(log)
{
    m_slices.setSingleShot(true);
    m_slices.setInterval(0);
    connect(&m_slices, &QTimer::timeout, this, &SelectionCopy::Step);
}

void SelectionCopy::Start()
{
    m_slices.stop();
    m_pieces.clear();
    const QTextCursor selection = m_log->textCursor();
    if (!selection.hasSelection())
        return;
    if (selection.selectionEnd() - selection.selectionStart() <= kRichCopyLimit) {
        m_log->copy();
        emit Finished();
        return;
    }
    m_start = QTextCursor(m_log->document());
    m_start.setPosition(selection.selectionStart());
    m_readTo = QTextCursor(m_log->document());
    m_readTo.setPosition(selection.selectionEnd());
    m_readTo.setKeepPositionOnInsert(true);
    Step();
}

void SelectionCopy::Step()
{
    QElapsedTimer spent;
    spent.start();
    QTextCursor slice(m_log->document());
    while (m_readTo.position() > m_start.position()) {
        const int to = m_readTo.position();
        const int from = std::max(m_start.position(), to - kSliceCharacters);
        slice.setPosition(from);
        slice.setPosition(to, QTextCursor::KeepAnchor);
        m_pieces.append(slice.selectedText());
        m_readTo.setPosition(from);
        if (spent.elapsed() >= kSliceTime.count()) {
            m_slices.start();
            return;
        }
    }
    qsizetype size = 0;
    for (const QString &piece : std::as_const(m_pieces))
        size += piece.size();
    QString text;
    text.reserve(size);
    for (auto piece = m_pieces.crbegin(); piece != m_pieces.crend(); ++piece)
        text += *piece;
    m_pieces.clear();
    MakePlain(text);
    auto *data = new QMimeData;
    data->setText(text);
    QGuiApplication::clipboard()->setMimeData(data);
    emit Finished();
}

QString SelectionCopy::PlainText(const QTextCursor &selection)
{
    QString text = selection.selectedText();
    MakePlain(text);
    return text;
}

void SelectionCopy::MakePlain(QString &text)
{
    for (QChar &c : text) {
        switch (c.unicode()) {
        case QChar::ParagraphSeparator:
        case QChar::LineSeparator:
        case 0xFDD0: // the start and end of a frame, which the log has none of
        case 0xFDD1:
            c = u'\n';
            break;
        case QChar::Nbsp:
            c = u' ';
            break;
        default:
            break;
        }
    }
}

QMimeData *SelectionCopy::DeferredPlainText(const QTextCursor &selection)
{
    return new DeferredSelection(selection);
}
