#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QPlainTextEdit;

// Find in the log: a bar below it with the text to find, case and whole-word switches and
// next/previous. The replace row shows with Ctrl+H but stays disabled, because the log is
// read-only. GUI thread only.
class CFindBar : public QWidget
{
    Q_OBJECT

public:
    explicit CFindBar(QPlainTextEdit *log, QWidget *parent = nullptr);

    // Shows the bar with the log's selected text (if any) to find, and focuses it.
    void ShowFind();
    void ShowReplace();

    // Finds the next (or previous) occurrence and selects it, going round the end of the log.
    // False, and nothing changed, when the text does not occur or there is none to find.
    bool FindNext(bool backward = false);

    QString FindText() const;
    void SetFindText(const QString &text);
    void SetMatchCase(bool on);

signals:
    // A short text for the status bar: not found, passed the end.
    void Notice(const QString &text);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void Open(bool withReplace);

    QPlainTextEdit *m_log;
    QLineEdit *m_findEdit;
    QCheckBox *m_matchCase;
    QCheckBox *m_wholeWord;
    QWidget *m_replaceRow;
};
