#pragma once

#include <QObject>
#include <QString>
#include <QTextDocument>

// The single document: the log's rich text, its modified state and its title.
// GUI thread only.
class CAlvetraDoc : public QObject
{
    Q_OBJECT

public:
    CAlvetraDoc();

    QTextDocument *Document() { return &m_log; }
    const QTextDocument *Document() const { return &m_log; }

    QString Title() const { return m_title; }
    void SetTitle(const QString &title);

    bool IsModified() const { return m_log.isModified(); }
    void SetModified(bool modified) { m_log.setModified(modified); }

    // Closing the main window never asks: the log is discarded.
    bool CanCloseFrame() const { return true; }
    // Empties the log.
    bool OnNewDocument();

signals:
    void TitleChanged(const QString &title);

private:
    QTextDocument m_log;
    QString m_title;
};
