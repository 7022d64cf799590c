#include "CFindBar.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QToolButton>

namespace {

// A full log is searched in some tenths of a second: in steps of this long at most, with the
// window's other events between them. The clock is read every so many lines.
constexpr qint64 kStepMilliseconds = 40;
constexpr int kLinesPerClockRead = 64;

// Finds `text` in one line from `offset` on (backward: at or before it), as QTextDocument::find
// does: no-break spaces match spaces, and a whole word has no letter or digit on either side.
bool FindInLine(const QTextBlock &line,
                const QString &text,
                int offset,
                QTextDocument::FindFlags flags,
                QTextCursor *found)
{
    QString characters = line.text();
    characters.replace(QChar::Nbsp, u' ');
    const Qt::CaseSensitivity sensitivity
        = flags & QTextDocument::FindCaseSensitively ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const bool backward = flags & QTextDocument::FindBackward;
    while (offset >= 0 && offset <= characters.size()) {
        const qsizetype at = backward ? characters.lastIndexOf(text, offset, sensitivity)
                                      : characters.indexOf(text, offset, sensitivity);
        if (at < 0)
            return false;
        const qsizetype end = at + text.size();
        if (flags & QTextDocument::FindWholeWords
            && ((at > 0 && characters.at(at - 1).isLetterOrNumber())
                || (end < characters.size() && characters.at(end).isLetterOrNumber()))) {
            offset = int(backward ? at - 1 : end + 1);
            continue;
        }
        *found = QTextCursor(line);
        found->setPosition(line.position() + int(at));
        found->setPosition(line.position() + int(end), QTextCursor::KeepAnchor);
        return true;
    }
    return false;
}

} // namespace

CFindBar::CFindBar(QPlainTextEdit *log, QWidget *parent)
    : QWidget(parent)
    , m_log(log)
    , m_findEdit(new QLineEdit(this))
    , m_matchCase(new QCheckBox(QStringLiteral("Match &case"), this))
    , m_wholeWord(new QCheckBox(QStringLiteral("&Whole word"), this))
    , m_replaceRow(new QWidget(this))
    , m_searching(new QLabel(QStringLiteral("Searching the log\u2026"), this))
{
    setObjectName(QStringLiteral("findBar"));
    m_findEdit->setObjectName(QStringLiteral("findText"));
    auto *next = new QPushButton(QStringLiteral("Find &Next"), this);
    auto *previous = new QPushButton(QStringLiteral("&Previous"), this);
    auto *close = new QToolButton(this);
    close->setText(QStringLiteral("✕"));
    close->setToolTip(QStringLiteral("Close (Esc)"));
    close->setAutoRaise(true);

    auto *findRow = new QHBoxLayout;
    findRow->addWidget(new QLabel(QStringLiteral("Find what:"), this));
    findRow->addWidget(m_findEdit, 1);
    findRow->addWidget(next);
    findRow->addWidget(previous);
    findRow->addWidget(m_matchCase);
    findRow->addWidget(m_wholeWord);
    findRow->addWidget(m_searching);
    findRow->addWidget(close);
    m_searching->setObjectName(QStringLiteral("searching"));
    m_searching->hide();

    auto *replaceLayout = new QHBoxLayout(m_replaceRow);
    replaceLayout->setContentsMargins(0, 0, 0, 0);
    replaceLayout->addWidget(new QLabel(QStringLiteral("Replace with:"), m_replaceRow));
    auto *replaceEdit = new QLineEdit(m_replaceRow);
    replaceEdit->setPlaceholderText(
        QStringLiteral("The log is read-only: nothing can be replaced"));
    replaceLayout->addWidget(replaceEdit, 1);
    replaceLayout->addWidget(new QPushButton(QStringLiteral("&Replace"), m_replaceRow));
    replaceLayout->addWidget(new QPushButton(QStringLiteral("Replace &All"), m_replaceRow));
    m_replaceRow->setEnabled(false);
    m_replaceRow->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addLayout(findRow);
    layout->addWidget(m_replaceRow);

    connect(m_findEdit, &QLineEdit::returnPressed, this, [this] { FindNext(); });
    connect(next, &QPushButton::clicked, this, [this] { FindNext(); });
    connect(previous, &QPushButton::clicked, this, [this] { FindNext(true); });
    connect(close, &QToolButton::clicked, this, &QWidget::hide);
    // A search under way is for what the bar said when it began.
    connect(m_findEdit, &QLineEdit::textChanged, this, &CFindBar::StopSearch);
    connect(m_matchCase, &QCheckBox::toggled, this, &CFindBar::StopSearch);
    connect(m_wholeWord, &QCheckBox::toggled, this, &CFindBar::StopSearch);
    m_steps.setSingleShot(true);
    m_steps.setInterval(0);
    connect(&m_steps, &QTimer::timeout, this, [this] {
        const Outcome outcome = Step();
        if (outcome == Outcome::GoesOn) {
            StepLater();
            return;
        }
        m_searching->hide();
        if (!m_search.roundTheEnd)
            emit Notice(QString()); // nothing more to say than the selection does
        emit SearchFinished(outcome == Outcome::Found);
    });
}

void CFindBar::ShowFind()
{
    Open(false);
}

void CFindBar::ShowReplace()
{
    Open(true);
}

void CFindBar::Open(bool withReplace)
{
    const QString selected = m_log->textCursor().selectedText();
    // A selection over several lines is no text to find.
    if (!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator))
        m_findEdit->setText(selected);
    m_replaceRow->setVisible(withReplace);
    show();
    m_findEdit->setFocus();
    m_findEdit->selectAll();
}

bool CFindBar::FindNext(bool backward)
{
    StopSearch();
    const QString text = m_findEdit->text();
    if (text.isEmpty())
        return false;
    QTextDocument::FindFlags flags;
    if (backward)
        flags |= QTextDocument::FindBackward;
    if (m_matchCase->isChecked())
        flags |= QTextDocument::FindCaseSensitively;
    if (m_wholeWord->isChecked())
        flags |= QTextDocument::FindWholeWords;

    const QTextCursor caret = m_log->textCursor();
    m_search = Search{text, flags, QTextCursor(m_log->document()), false};
    m_search.from.setPosition(backward ? caret.selectionStart() : caret.selectionEnd());
    // Lines appended at the end are still searched.
    m_search.from.setKeepPositionOnInsert(true);
    switch (Step()) {
    case Outcome::Found:
        return true;
    case Outcome::NotFound:
        return false;
    case Outcome::GoesOn:
        break;
    }
    // In the bar, and in the status bar for F3 with the bar closed.
    m_searching->show();
    emit Notice(m_searching->text());
    StepLater();
    return false;
}

CFindBar::Outcome CFindBar::Step()
{
    QTextDocument *log = m_log->document();
    const bool backward = m_search.flags & QTextDocument::FindBackward;
    QElapsedTimer spent;
    spent.start();
    for (;;) {
        // Backward, the character before the position is the first to look at.
        const int at = m_search.from.position() - (backward ? 1 : 0);
        QTextBlock line = at >= 0 ? log->findBlock(at) : QTextBlock();
        int offset = at - line.position();
        for (int lines = 1; line.isValid(); ++lines) {
            QTextCursor found;
            if (FindInLine(line, m_search.text, offset, m_search.flags, &found)) {
                if (m_search.roundTheEnd)
                    emit Notice(backward ? QStringLiteral("Passed the beginning of the log.")
                                         : QStringLiteral("Passed the end of the log."));
                m_log->setTextCursor(found);
                return Outcome::Found;
            }
            line = backward ? line.previous() : line.next();
            offset = backward ? line.length() - 2 : 0;
            if (line.isValid() && lines % kLinesPerClockRead == 0
                && spent.elapsed() >= kStepMilliseconds) {
                m_search.from.setPosition(backward ? line.position() + line.length() - 1
                                                   : line.position());
                return Outcome::GoesOn;
            }
        }
        if (m_search.roundTheEnd) {
            emit Notice(QStringLiteral("Cannot find the string '%1'.").arg(m_search.text));
            return Outcome::NotFound;
        }
        // Round the end (or the start) of the log once.
        m_search.roundTheEnd = true;
        m_search.from.setPosition(backward ? log->characterCount() - 1 : 0);
    }
}

void CFindBar::StepLater()
{
    m_steps.start();
}

void CFindBar::StopSearch()
{
    m_steps.stop();
    m_searching->hide();
}

QString CFindBar::FindText() const
{
    return m_findEdit->text();
}

void CFindBar::SetFindText(const QString &text)
{
    m_findEdit->setText(text);
}

void CFindBar::SetMatchCase(bool on)
{
    m_matchCase->setChecked(on);
}

void CFindBar::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        hide();
        m_log->setFocus();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CFindBar::hideEvent(QHideEvent *event)
{
    StopSearch();
    QWidget::hideEvent(event);
}
