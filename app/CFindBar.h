#pragma once

#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QPlainTextEdit;

// Find in the log: a bar below it with the text to find, case and whole-word switches and
// next/previous. The replace row shows with Ctrl+H but stays disabled, because the log is
// read-only. A search through a long log goes on in steps between the window's other events,
// and the bar says so while it does. GUI thread only.
class CFindBar : public QWidget
{
    Q_OBJECT

public:
    explicit CFindBar(QPlainTextEdit *log, QWidget *parent = nullptr);

    // Shows the bar with the log's selected text (if any) to find, and focuses it.
    void ShowFind();
    void ShowReplace();

    // Finds the next (or previous) occurrence and selects it, going round the end of the log.
    // False, and nothing changed, when the text does not occur or there is none to find, and
    // while the search goes on in steps (IsSearching); a search under way gives way to a new one.
    bool FindNext(bool backward = false);
    bool IsSearching() const { return m_steps.isActive(); }

    QString FindText() const;
    void SetFindText(const QString &text);
    void SetMatchCase(bool on);

signals:
    // A short text for the status bar: not found, passed the end.
    void Notice(const QString &text);
    // A search that went on in steps came to its end.
    void SearchFinished(bool found);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    // A search between the window's events: where it goes on (kept in place by the document
    // as lines come and go), and whether it already went round the end of the log.
    struct Search
    {
        QString text;
        QTextDocument::FindFlags flags;
        QTextCursor from;
        bool roundTheEnd = false;
    };
    enum class Outcome { Found, NotFound, GoesOn };

    void Open(bool withReplace);
    // Searches on for some tens of milliseconds at most.
    Outcome Step();
    void StepLater();
    void StopSearch();

    QPlainTextEdit *m_log;
    QLineEdit *m_findEdit;
    QCheckBox *m_matchCase;
    QCheckBox *m_wholeWord;
    QWidget *m_replaceRow;
    QLabel *m_searching;
    Search m_search;
    QTimer m_steps;
};
