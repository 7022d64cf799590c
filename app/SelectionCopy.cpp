#include "SelectionCopy.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QPlainTextEdit>

#include <algorithm>
#include <chrono>
#include <utility>

using namespace std::chrono_literals;

namespace {

// A slice of a quarter of a million characters takes a few milliseconds to read; the window's
// other events come in after some 40 ms of slices.
constexpr int kSliceCharacters = 256 * 1024;
constexpr auto kSliceTime = 40ms;

const QString kPlainText = QStringLiteral("text/plain");

// A large selection on the clipboard that is read in slices from the moment it is made: on X11
// a selection made with the mouse or the keys becomes the primary selection at once, and a
// paste most often comes seconds later, when the text is whole.
class SelectionInSlices : public QMimeData
{
public:
    explicit SelectionInSlices(const QTextCursor &selection)
        : m_reading(selection)
    {
        m_slices.setSingleShot(true);
        m_slices.setInterval(0);
        QObject::connect(&m_slices, &QTimer::timeout, &m_slices, [this] {
            if (m_reading && !m_reading->Read(kSliceTime.count()))
                m_slices.start();
        });
        m_slices.start();
    }

    QStringList formats() const override { return {kPlainText}; }
    bool hasFormat(const QString &mimeType) const override { return mimeType == kPlainText; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType) const override
    {
        if (mimeType != kPlainText)
            return {};
        if (m_reading) {
            m_reading->Read(-1);
            m_text = m_reading->Take();
            m_reading.reset();
        }
        return m_text;
    }

private:
    mutable std::optional<SelectionText> m_reading;
    mutable QString m_text;
    QTimer m_slices;
};

} // namespace

SelectionText::SelectionText(const QTextCursor &selection)
    : m_start(selection.document())
    , m_readTo(selection.document())
    , m_text(selection.selectionEnd() - selection.selectionStart(), Qt::Uninitialized)
{
    m_start.setPosition(selection.selectionStart());
    m_readTo.setPosition(selection.selectionEnd());
    m_readTo.setKeepPositionOnInsert(true);
}

bool SelectionText::Read(qint64 milliseconds)
{
    QElapsedTimer spent;
    spent.start();
    QTextCursor slice(m_readTo.document());
    while (m_readTo.position() > m_start.position()) {
        if (milliseconds >= 0 && spent.elapsed() >= milliseconds)
            return false;
        const int to = m_readTo.position();
        const int from = std::max(m_start.position(), to - kSliceCharacters);
        slice.setPosition(from);
        slice.setPosition(to, QTextCursor::KeepAnchor);
        QString piece = slice.selectedText();
        SelectionCopy::MakePlain(piece);
        const qsizetype room = m_text.size() - m_filled;
        if (piece.size() <= room) {
            std::copy(piece.cbegin(), piece.cend(), m_text.begin() + (room - piece.size()));
            m_filled += piece.size();
        } else {
            // The log only grows at its end and loses its oldest lines, so the selection never
            // grows; should it all the same, the text still comes out whole.
            m_text = piece + m_text.right(m_filled);
            m_filled = m_text.size();
        }
        m_readTo.setPosition(from);
    }
    return true;
}

QString SelectionText::Take()
{
    // A trim meanwhile took the selection's oldest lines before they were read.
    if (m_filled < m_text.size())
        m_text.remove(0, m_text.size() - m_filled);
    m_filled = 0;
    return std::exchange(m_text, QString());
}

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
    m_reading.reset();
    const QTextCursor selection = m_log->textCursor();
    if (!selection.hasSelection())
        return;
    if (selection.selectionEnd() - selection.selectionStart() <= kRichCopyLimit) {
        m_log->copy();
        emit Finished();
        return;
    }
    m_reading.emplace(selection);
    Step();
}

void SelectionCopy::Step()
{
    if (!m_reading->Read(kSliceTime.count())) {
        m_slices.start();
        return;
    }
    auto *data = new QMimeData;
    data->setText(m_reading->Take());
    m_reading.reset();
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

QMimeData *SelectionCopy::PlainTextInSlices(const QTextCursor &selection)
{
    return new SelectionInSlices(selection);
}
