#include "CAlvetraDoc.h"

#include "LogPages.h"
#include "LogSnapshot.h"
#include "files/WholeFileWriter.h"
#include "rtf/RtfReader.h"
#include "rtf/RtfWriter.h"

#include <QDir>
#include <QFile>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTextCursor>

#include <algorithm>

namespace {

// The log holds at most 16,777,215 characters; even written all as \uN it stays below this. A
// larger file is not a log, and reading it whole would only exhaust memory.
constexpr qint64 kMaxLogFileSize = 256 * 1024 * 1024;
QString NativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

CAlvetraDoc::CAlvetraDoc()
{
    // The log is read-only for the user; undo records would only grow without end.
    m_log.setUndoRedoEnabled(false);
}

CAlvetraDoc::~CAlvetraDoc() = default;

void CAlvetraDoc::SetTitle(const QString &title)
{
    m_title = title;
    emit TitleChanged(title);
}

bool CAlvetraDoc::OnNewDocument()
{
    m_log.clear();
    m_log.setModified(false);
    m_pathName.clear();
    return true;
}

RtfDocument CAlvetraDoc::ToRtf(const QTextDocument &log)
{
    return LogSnapshot::CopyNow(log).text;
}

void CAlvetraDoc::FromRtf(const RtfDocument &rtf, QTextDocument &log)
{
    log.clear();
    QTextCursor cursor(&log);
    cursor.beginEditBlock();
    bool first = true;
    for (const RtfParagraph &paragraph : rtf.paragraphs) {
        if (!first)
            cursor.insertBlock();
        first = false;
        for (const RtfRun &run : paragraph.runs)
            cursor.insertText(run.text, CharFormatOf(run.format));
    }
    cursor.endEditBlock();
}

bool CAlvetraDoc::Serialize(QIODevice &device, bool storing, QString *error)
{
    if (storing) {
        const QByteArray bytes = WriteRtf(ToRtf(m_log));
        if (device.write(bytes) != bytes.size()) {
            *error = device.errorString();
            return false;
        }
        return true;
    }

    const std::optional<RtfDocument> rtf = ReadLog(device, error);
    if (!rtf)
        return false;
    FromRtf(*rtf, m_log);
    m_log.setModified(false);
    return true;
}

std::optional<RtfDocument> CAlvetraDoc::ReadLog(QIODevice &device, QString *error)
{
    const QByteArray bytes = device.read(kMaxLogFileSize + 1);
    if (bytes.size() > kMaxLogFileSize) {
        *error = QStringLiteral("the file is too large for a log");
        return std::nullopt;
    }
    std::optional<RtfDocument> rtf = ReadRtf(bytes);
    if (!rtf)
        *error = QStringLiteral("it is not an RTF file");
    return rtf;
}

std::optional<RtfDocument> CAlvetraDoc::ReadLogFile(const QString &path, QString *error)
{
    QFile file(path);
    QString reason;
    std::optional<RtfDocument> rtf;
    if (!file.open(QIODevice::ReadOnly))
        reason = file.errorString();
    else
        rtf = ReadLog(file, &reason);
    if (!rtf)
        *error = OpenError(path, reason);
    return rtf;
}

QString CAlvetraDoc::OpenError(const QString &path, const QString &reason)
{
    return QStringLiteral("Cannot open the log file %1: %2.").arg(NativePath(path), reason);
}

QString CAlvetraDoc::SaveError(const QString &path, const QString &reason)
{
    return QStringLiteral("Cannot save the log to %1: %2.").arg(NativePath(path), reason);
}

void CAlvetraDoc::SetSaved(const QString &path, bool modified)
{
    m_pathName = path;
    m_log.setModified(modified);
}

bool CAlvetraDoc::OnOpenDocument(const QString &path, QString *error)
{
    QFile file(path);
    QString reason;
    bool read = file.open(QIODevice::ReadOnly);
    if (!read)
        reason = file.errorString();
    else
        read = Serialize(file, false, &reason);
    if (read) {
        m_pathName = path;
        return true;
    }
    *error = OpenError(path, reason);
    return false;
}

bool CAlvetraDoc::OnSaveDocument(const QString &path, QString *error)
{
    // The whole text first, then the file at once: a failed save leaves the previous file.
    WholeFileWriter writer(path);
    if (!writer.Write(WriteRtf(ToRtf(m_log)))) {
        *error = SaveError(path, writer.ErrorString());
        return false;
    }
    m_pathName = path;
    m_log.setModified(false);
    return true;
}

QPrinter &CAlvetraDoc::Printer()
{
    if (!m_printer) {
        m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        // The paper the print dialog offers first, so that the pages counted before it are the
        // pages printed after it.
        const QPageSize paper = QPrinterInfo(*m_printer).defaultPageSize();
        if (paper.isValid())
            m_printer->setPageSize(paper);
    }
    return *m_printer;
}

std::unique_ptr<QPrinter> CAlvetraDoc::TakePrinter()
{
    Printer();
    return std::move(m_printer);
}

void CAlvetraDoc::ReturnPrinter(std::unique_ptr<QPrinter> printer)
{
    m_printer = std::move(printer);
}

bool CAlvetraDoc::Print(QPrinter &printer) const
{
    const PageSetUp setUp = SetUpPrinter(printer, m_title);
    LogPages pages(std::make_shared<LogCopy>(LogSnapshot::CopyNow(m_log)), setUp);
    const std::atomic_bool never{false};
    return pages.Print(printer, 1, INT_MAX, never) == LogPages::Outcome::Printed;
}
