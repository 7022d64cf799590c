#include "LogPages.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QPrinter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>

namespace {

// Half an inch, 720 twips, on every side of a printed page.
constexpr qreal kPageMarginInches = 0.5;
// Qt's text layout counts positions in 1/64 of a device pixel in 32 bits: laid out at a
// printer's 1200 dpi, a long log would overrun it. The pages are laid out at this resolution
// and drawn scaled up to the printer's; the layout of a whole log at it stays within range, so
// the pages stay the ones such a layout makes.
constexpr int kLayoutDpi = 150;
// Characters laid out at once: some sixteen pages of the log's lines, so that one of them most
// likely begins with the first line of a paragraph.
constexpr int kCharsAtOnce = 32 * 1024;

QImage LayoutDevice(int dpi)
{
    QImage device(1, 1, QImage::Format_RGB32);
    device.setDotsPerMeterX(qRound(dpi / 0.0254));
    device.setDotsPerMeterY(qRound(dpi / 0.0254));
    return device;
}

} // namespace

PageSetUp SetUpPrinter(QPrinter &printer, const QString &title)
{
    printer.setFullPage(false);
    printer.setPageMargins(
        QMarginsF(kPageMarginInches, kPageMarginInches, kPageMarginInches, kPageMarginInches),
        QPageLayout::Inch);
    printer.setDocName(title.isEmpty() ? QStringLiteral("Alvetra") : title);

    PageSetUp setUp;
    setUp.dpi = std::min(kLayoutDpi, std::min(printer.logicalDpiX(), printer.logicalDpiY()));
    const QImage device = LayoutDevice(setUp.dpi);
    setUp.scaleX = qreal(printer.logicalDpiX()) / device.logicalDpiX();
    setUp.scaleY = qreal(printer.logicalDpiY()) / device.logicalDpiY();
    const QRectF printable = printer.pageRect(QPrinter::DevicePixel);
    setUp.page = QSizeF(printable.width() / setUp.scaleX, printable.height() / setUp.scaleY);
    return setUp;
}

LogPages::LogPages(std::shared_ptr<const LogCopy> log, const PageSetUp &setUp)
    : m_log(std::move(log))
    , m_setUp(setUp)
    , m_device(LayoutDevice(setUp.dpi))
{
    m_font.fromString(m_log->defaultFont);
}

LogPages::~LogPages() = default;

std::unique_ptr<QTextDocument> LogPages::MakePages(int first, int end) const
{
    auto pages = std::make_unique<QTextDocument>();
    pages->setUndoRedoEnabled(false);
    pages->setDefaultFont(m_font);
    pages->setDefaultTextOption(m_log->textOption);
    QTextCursor cursor(pages.get());
    // The log has a handful of formats: each made once.
    std::vector<std::pair<RtfCharFormat, QTextCharFormat>> formats;
    const auto formatOf = [&formats](const RtfCharFormat &rtf) {
        for (const auto &[known, format] : formats) {
            if (known == rtf)
                return format;
        }
        if (formats.size() >= 16)
            formats.erase(formats.begin());
        formats.emplace_back(rtf, CharFormatOf(rtf));
        return formats.back().second;
    };
    const QList<RtfParagraph> &paragraphs = m_log->text.paragraphs;
    for (int i = first; i < end; ++i) {
        if (i > first)
            cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
        const RtfParagraph &paragraph = paragraphs.at(i);
        if (paragraph.runs.isEmpty()) {
            const auto format = m_log->emptyLineFormats.constFind(i);
            cursor.setBlockCharFormat(format == m_log->emptyLineFormats.constEnd()
                                          ? QTextCharFormat()
                                          : formatOf(*format));
        }
        for (const RtfRun &run : paragraph.runs)
            cursor.insertText(run.text, formatOf(run.format));
    }
    // Laid out once, with the text in place: with a page size set first, each insert would lay
    // out again.
    pages->documentLayout()->setPaintDevice(const_cast<QImage *>(&m_device));
    pages->setDocumentMargin(0);
    pages->setPageSize(m_setUp.page);
    return pages;
}

bool LogPages::LayOut(Restart from,
                      int lastPage,
                      const PageHandler &handler,
                      const std::atomic_bool &cancel)
{
    const QList<RtfParagraph> &paragraphs = m_log->text.paragraphs;
    const int count = int(paragraphs.size());
    // Page ends as the layout counts them, in its 1/64 of a pixel.
    const qint64 pageHeight = qRound64(m_setUp.page.height() * 64);
    int paragraph = from.paragraph;
    int page = from.page;
    qsizetype atOnce = kCharsAtOnce;
    while (paragraph < count && page <= lastPage) {
        if (cancel)
            return false;
        int end = paragraph;
        qsizetype characters = 0;
        while (end < count && characters < atOnce) {
            for (const RtfRun &run : paragraphs.at(end).runs)
                characters += run.text.size();
            ++characters;
            ++end;
        }
        const std::unique_ptr<QTextDocument> pages = MakePages(paragraph, end);
        int whole = pages->pageCount();
        int next = end;
        if (end < count) {
            // The pages before the last line that begins at the top of a page are whole, and
            // the next run of pages is laid out from that line as the layout of the whole log
            // would lay it out: on the same place of its page.
            whole = 0;
            int index = end - paragraph - 1;
            for (QTextBlock block = pages->lastBlock(); block.isValid() && index > 0;
                 block = block.previous(), --index) {
                const QTextLayout *layout = block.layout();
                if (!layout || layout->lineCount() == 0)
                    continue;
                const qint64 top = qRound64((layout->position().y() + layout->lineAt(0).y()) * 64);
                if (top > 0 && top % pageHeight == 0) {
                    whole = int(top / pageHeight);
                    next = paragraph + index;
                    break;
                }
            }
            if (whole == 0) {
                // One line longer than the pages laid out: more at once.
                atOnce *= 2;
                continue;
            }
        }
        for (int i = 0; i < whole && page + i <= lastPage; ++i) {
            if (cancel || !handler(*pages, i, page + i))
                return false;
        }
        page += whole;
        paragraph = next;
        atOnce = kCharsAtOnce;
        if (m_counting && paragraph < count)
            m_restarts.push_back({page, paragraph});
    }
    return true;
}

int LogPages::Count(const std::atomic_bool &cancel, std::atomic_int *progress)
{
    m_restarts.clear();
    m_counting = true;
    int pages = 0;
    const bool laid = LayOut(
        {0, 0}, INT_MAX,
        [&](QTextDocument &, int, int) {
            ++pages;
            if (progress)
                progress->store(pages);
            return true;
        },
        cancel);
    m_counting = false;
    return laid ? pages : -1;
}

LogPages::Outcome LogPages::Print(QPrinter &printer,
                                  int first,
                                  int last,
                                  const std::atomic_bool &cancel,
                                  std::atomic_int *progress)
{
    const int firstPage = std::max(first, 1) - 1;
    const int lastPage = last < 1 ? INT_MAX : last - 1;
    Restart from{0, 0};
    for (const Restart &restart : m_restarts) {
        if (restart.page > firstPage)
            break;
        from = restart;
    }

    QPainter painter;
    if (!painter.begin(&printer))
        return Outcome::Failed;
    bool firstDrawn = true;
    int drawn = 0;
    const QSizeF page = m_setUp.page;
    const bool laid = LayOut(
        from, lastPage,
        [&](QTextDocument &pages, int index, int number) {
            if (number < firstPage)
                return true;
            if (!firstDrawn && !printer.newPage())
                return false;
            firstDrawn = false;
            painter.save();
            painter.scale(m_setUp.scaleX, m_setUp.scaleY);
            const QRectF clip(0, index * page.height(), page.width(), page.height());
            painter.translate(0, -clip.top());
            painter.setClipRect(clip);
            QAbstractTextDocumentLayout::PaintContext context;
            context.clip = clip;
            pages.documentLayout()->draw(&painter, context);
            painter.restore();
            if (progress)
                progress->store(++drawn);
            return true;
        },
        cancel);
    if (cancel) {
        printer.abort();
        return Outcome::Cancelled;
    }
    if (!laid) {
        painter.end();
        return Outcome::Failed;
    }
    return painter.end() && printer.printerState() != QPrinter::Error ? Outcome::Printed
                                                                      : Outcome::Failed;
}
