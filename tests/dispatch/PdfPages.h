#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>

// Reading printed PDF files back with poppler's tools, as a person would check a printout.
namespace PdfPages {

inline bool ToolsPresent()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()
           && !QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty();
}

inline QString Run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

inline QString Info(const QString &pdf, const QString &field)
{
    const QString info = Run(QStringLiteral("pdfinfo"), {pdf});
    const QRegularExpression line(QStringLiteral("^%1:\\s*(.*)$").arg(field),
                                  QRegularExpression::MultilineOption);
    return line.match(info).captured(1).trimmed();
}

inline int Count(const QString &pdf)
{
    return Info(pdf, QStringLiteral("Pages")).toInt();
}

// The text of one page (from 1), or of all pages when `page` is 0.
inline QString Text(const QString &pdf, int page = 0)
{
    QStringList arguments{QStringLiteral("-enc"), QStringLiteral("UTF-8")};
    if (page > 0)
        arguments << QStringLiteral("-f") << QString::number(page) << QStringLiteral("-l")
                  << QString::number(page);
    arguments << pdf << QStringLiteral("-");
    return Run(QStringLiteral("pdftotext"), arguments);
}

// The characters without any white space: what must survive line and page breaks unchanged.
inline QString Ink(const QString &text)
{
    QString ink;
    for (const QChar c : text) {
        if (!c.isSpace())
            ink.append(c);
    }
    return ink;
}

} // namespace PdfPages
