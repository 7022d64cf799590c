#pragma once

// What the log-file tests share: answering the program's modal dialogs, LibreOffice headless,
// poppler's tools and a CUPS queue that prints into a PDF file.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <functional>

// Answers the modal dialogs that come up, in order, one answer each; remembers what it saw.
class DialogAnswers : public QObject
{
public:
    using Answer = std::function<void(QWidget *)>;

    explicit DialogAnswers(QList<Answer> answers)
        : m_answers(std::move(answers))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible() || modal == m_current)
                return;
            m_current = modal;
            m_seen.append(modal->metaObject()->className());
            if (m_answers.isEmpty()) {
                modal->close();
                return;
            }
            m_answers.takeFirst()(modal);
        });
        m_timer.start(20);
    }

    QStringList Seen() const { return m_seen; }

private:
    QList<Answer> m_answers;
    QTimer m_timer;
    QPointer<QWidget> m_current;
    QStringList m_seen;
};

namespace LogPeers {

inline bool Has(const char *program)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty();
}

// Runs a program to its end; its standard output, or a null string when it failed.
inline QByteArray Run(const QString &program, const QStringList &arguments, int seconds = 120)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(seconds * 1000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        return QByteArray();
    }
    const QByteArray out = process.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

// LibreOffice headless converting `file` into `folder` with a profile of the test's own, so
// runs side by side do not share one. The converted file's path, or empty when it failed.
inline QString Convert(const QString &file,
                       const QString &folder,
                       const QString &format,
                       const QString &extension,
                       const QStringList &extra = {})
{
    const QString profile
        = QUrl::fromLocalFile(QDir::current().absoluteFilePath("lo-profile")).toString();
    QStringList arguments{"-env:UserInstallation=" + profile, "--headless", "--norestore"};
    arguments << extra << "--convert-to" << format << "--outdir" << folder << file;
    Run("soffice", arguments, 240);
    const QString converted
        = QDir(folder).filePath(QFileInfo(file).completeBaseName() + "." + extension);
    return QFileInfo::exists(converted) ? converted : QString();
}

// The text without white space: what must come through line wrapping and page breaks.
inline QString Ink(const QString &text)
{
    QString ink;
    for (const QChar c : text) {
        if (!c.isSpace())
            ink.append(c);
    }
    return ink;
}

} // namespace LogPeers
