#include "CAlvetraDoc.h"

#include "files/WholeFileWriter.h"
#include "rtf/RtfReader.h"
#include "rtf/RtfWriter.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPrinter>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>

namespace {

// The log holds at most 16,777,215 characters; even written all as \uN it stays below this. A
// larger file is not a log, and reading it whole would only exhaust memory.
constexpr qint64 kMaxLogFileSize = 256 * 1024 * 1024;
// Half an inch, 720 twips, on every side of a printed page.
constexpr qreal kPageMarginInches = 0.5;
// Qt's text layout counts positions in 1/64 of a device pixel in 32 bits: laid out at a
// printer's 1200 dpi, a log of more than some 2,500 pages (a full log has about 4,000) would
// overrun it and print as a single page. The copy to print is laid out at this resolution and
// drawn scaled up to the printer's.
constexpr int kLayoutDpi = 150;

QString NativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

RtfCharFormat FormatFrom(const QTextCharFormat &format, const QFont &defaultFont)
{
    RtfCharFormat rtf;
    const QStringList families = format.fontFamilies().toStringList();
    rtf.face = families.isEmpty() ? defaultFont.family() : families.first();
    const qreal points
        = format.fontPointSize() > 0 ? format.fontPointSize() : defaultFont.pointSizeF();
    rtf.halfPoints = qMax(1, qRound(points * 2));
    if (format.foreground().style() != Qt::NoBrush) {
        const QColor colour = format.foreground().color();
        rtf.colour = RtfColour{quint8(colour.red()), quint8(colour.green()), quint8(colour.blue())};
    }
    rtf.bold = format.fontWeight() >= QFont::DemiBold;
    rtf.italic = format.fontItalic();
    rtf.underline = format.fontUnderline();
    rtf.strike = format.fontStrikeOut();
    return rtf;
}

QTextCharFormat FormatTo(const RtfCharFormat &rtf)
{
    QTextCharFormat format;
    if (!rtf.face.isEmpty())
        format.setFontFamilies({rtf.face});
    format.setFontPointSize(rtf.halfPoints / 2.0);
    if (rtf.colour)
        format.setForeground(QColor(rtf.colour->red, rtf.colour->green, rtf.colour->blue));
    format.setFontWeight(rtf.bold ? QFont::Bold : QFont::Normal);
    format.setFontItalic(rtf.italic);
    format.setFontUnderline(rtf.underline);
    format.setFontStrikeOut(rtf.strike);
    return format;
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
    RtfDocument rtf;
    for (QTextBlock block = log.begin(); block.isValid(); block = block.next()) {
        RtfParagraph paragraph;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid())
                continue;
            QString text = fragment.text();
            // Images and other objects in the text have no place in the log's file.
            text.remove(QChar::ObjectReplacementCharacter);
            if (text.isEmpty())
                continue;
            const RtfCharFormat format = FormatFrom(fragment.charFormat(), log.defaultFont());
            if (!paragraph.runs.isEmpty() && paragraph.runs.last().format == format)
                paragraph.runs.last().text += text;
            else
                paragraph.runs.append(RtfRun{text, format});
        }
        rtf.paragraphs.append(paragraph);
    }
    return rtf;
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
            cursor.insertText(run.text, FormatTo(run.format));
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

    const QByteArray bytes = device.read(kMaxLogFileSize + 1);
    if (bytes.size() > kMaxLogFileSize) {
        *error = QStringLiteral("the file is too large for a log");
        return false;
    }
    const std::optional<RtfDocument> rtf = ReadRtf(bytes);
    if (!rtf) {
        *error = QStringLiteral("it is not an RTF file");
        return false;
    }
    FromRtf(*rtf, m_log);
    m_log.setModified(false);
    return true;
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
    *error = QStringLiteral("Cannot open the log file %1: %2.").arg(NativePath(path), reason);
    return false;
}

bool CAlvetraDoc::OnSaveDocument(const QString &path, QString *error)
{
    // The whole text first, then the file at once: a failed save leaves the previous file.
    WholeFileWriter writer(path);
    if (!writer.Write(WriteRtf(ToRtf(m_log)))) {
        *error = QStringLiteral("Cannot save the log to %1: %2.")
                     .arg(NativePath(path), writer.ErrorString());
        return false;
    }
    m_pathName = path;
    m_log.setModified(false);
    return true;
}

QPrinter &CAlvetraDoc::Printer()
{
    if (!m_printer)
        m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    return *m_printer;
}

bool CAlvetraDoc::Print(QPrinter &printer) const
{
    printer.setFullPage(false);
    printer.setPageMargins(
        QMarginsF(kPageMarginInches, kPageMarginInches, kPageMarginInches, kPageMarginInches),
        QPageLayout::Inch);
    printer.setDocName(m_title.isEmpty() ? QStringLiteral("Alvetra") : m_title);

    // A copy laid out in pages of the printer, so the view's own layout stays as it is. Lines
    // are never cut by a page end: the paginated layout moves them to the next page.
    QImage layoutDevice(1, 1, QImage::Format_RGB32);
    const int dpi = std::min(kLayoutDpi, std::min(printer.logicalDpiX(), printer.logicalDpiY()));
    layoutDevice.setDotsPerMeterX(qRound(dpi / 0.0254));
    layoutDevice.setDotsPerMeterY(qRound(dpi / 0.0254));
    const qreal scaleX = qreal(printer.logicalDpiX()) / layoutDevice.logicalDpiX();
    const qreal scaleY = qreal(printer.logicalDpiY()) / layoutDevice.logicalDpiY();
    const std::unique_ptr<QTextDocument> copy(m_log.clone());
    copy->documentLayout()->setPaintDevice(&layoutDevice);
    copy->setDocumentMargin(0);
    const QRectF printable = printer.pageRect(QPrinter::DevicePixel);
    const QSizeF page(printable.width() / scaleX, printable.height() / scaleY);
    copy->setPageSize(page);

    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    const int pages = copy->pageCount();
    for (int i = 0; i < pages; ++i) {
        if (i > 0 && !printer.newPage())
            return false;
        painter.save();
        painter.scale(scaleX, scaleY);
        const QRectF clip(0, i * page.height(), page.width(), page.height());
        painter.translate(0, -clip.top());
        painter.setClipRect(clip);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = clip;
        copy->documentLayout()->draw(&painter, context);
        painter.restore();
    }
    return painter.end() && printer.printerState() != QPrinter::Error;
}
