#include "CFindBar.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QToolButton>

CFindBar::CFindBar(QPlainTextEdit *log, QWidget *parent)
    : QWidget(parent)
    , m_log(log)
    , m_findEdit(new QLineEdit(this))
    , m_matchCase(new QCheckBox(QStringLiteral("Match &case"), this))
    , m_wholeWord(new QCheckBox(QStringLiteral("&Whole word"), this))
    , m_replaceRow(new QWidget(this))
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
    findRow->addWidget(close);

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

    QTextDocument *log = m_log->document();
    QTextCursor found = log->find(text, m_log->textCursor(), flags);
    if (found.isNull()) {
        // Round the end (or the start) of the log once.
        QTextCursor from(log);
        if (backward)
            from.movePosition(QTextCursor::End);
        found = log->find(text, from, flags);
        if (found.isNull()) {
            emit Notice(QStringLiteral("Cannot find the string '%1'.").arg(text));
            return false;
        }
        emit Notice(backward ? QStringLiteral("Passed the beginning of the log.")
                             : QStringLiteral("Passed the end of the log."));
    }
    m_log->setTextCursor(found);
    return true;
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
