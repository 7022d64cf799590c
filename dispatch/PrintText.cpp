#include "PrintText.h"

#include "rtf/Cp1252.h"

#include <QFontMetricsF>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTextLayout>

#include <memory>

namespace {

constexpr qreal kPrintPointSize = 10;
constexpr int kTabStopCharacters = 8;
// About a page of 10-point text: where the search for a page's end starts.
constexpr qsizetype kFirstGuess = 2048;

QFont PrintFont()
{
    // The face the program has always printed in; font matching picks the nearest sans-serif
    // face where it is missing.
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(kPrintPointSize);
    // An alert is printed letter for letter: no ligatures that would merge "fi" into one
    // glyph, which also keeps the printout's text searchable as the line sent it.
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

} // namespace

QString PrintableText(const char *text, qsizetype length)
{
    const QString decoded = DecodeCp1252(QByteArray::fromRawData(text, length));
    QString result;
    result.reserve(decoded.size());
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const QChar c = decoded.at(i);
        if (c == u'\r') {
            result.append(QChar::LineSeparator);
            if (i + 1 < decoded.size() && decoded.at(i + 1) == u'\n')
                ++i;
        } else if (c == u'\n') {
            result.append(QChar::LineSeparator);
        } else {
            result.append(c);
        }
    }
    return result;
}

PrintLayout::PrintLayout(const QPaintDevice *device, qreal pageWidth)
    : m_device(device)
    , m_pageWidth(pageWidth)
    , m_font(PrintFont(), device)
{
    // A word wider than the page is broken across lines rather than run off the paper.
    m_option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // Tabs every eight average characters, as on screen. Qt 6.4 scales a tab stop by the
    // device's resolution a second time (a tab came out nearly a page wide at 1200 dpi), so
    // the distance is checked against what a laid-out tab really spans and corrected.
    const qreal wanted = kTabStopCharacters * QFontMetricsF(m_font, device).averageCharWidth();
    m_option.setTabStopDistance(wanted);
    const qreal measured = TabStopWidth();
    if (measured > 0 && qAbs(measured - wanted) > 0.5)
        m_option.setTabStopDistance(wanted * wanted / measured);
}

qreal PrintLayout::TabStopWidth() const
{
    QTextLayout layout(QStringLiteral("\tx"), m_font, m_device);
    layout.setTextOption(m_option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(1e9);
    layout.endLayout();
    return line.cursorToX(1);
}

template<typename LineHandler>
void PrintLayout::LayOut(const char *text,
                         qsizetype length,
                         qreal limit,
                         LineHandler &&handler) const
{
    QString characters = PrintableText(text, length);
    // A line break that closes the text starts no line of its own: a page may end right
    // after it without the next page beginning with an empty line.
    if (characters.endsWith(QChar::LineSeparator))
        characters.chop(1);
    QTextLayout layout(characters, m_font, m_device);
    layout.setTextOption(m_option);
    layout.beginLayout();
    qreal y = 0;
    while (y <= limit) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(m_pageWidth);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    handler(layout, y);
}

qreal PrintLayout::Height(const char *text, qsizetype length, qreal limit) const
{
    qreal height = 0;
    LayOut(text, length, limit, [&height](const QTextLayout &, qreal y) { height = y; });
    return height;
}

void PrintLayout::Draw(QPainter *painter, const char *text, qsizetype length) const
{
    LayOut(text, length, 1e12,
           [painter](const QTextLayout &layout, qreal) { layout.draw(painter, QPointF(0, 0)); });
}

std::vector<qsizetype> PaginateText(qsizetype length, qreal pageHeight, const MeasureText &measure)
{
    std::vector<qsizetype> pages;
    qsizetype printed = 0;
    while (printed < length) {
        const qsizetype remaining = length - printed;
        const auto fits
            = [&](qsizetype count) { return measure(printed, count, pageHeight) <= pageHeight; };
        // The run that fits lies between lo (fits) and hi (does not). Measuring all of the
        // rest for every page would cost time in the square of the text's length (half a
        // minute for a message of a megabyte), so the bracket grows from a page's worth by
        // doubling; as a longer run never measures shorter, the bisection inside it ends on
        // the same run as one over the whole rest.
        qsizetype lo = 0;
        qsizetype hi = std::min<qsizetype>(kFirstGuess, remaining);
        while (fits(hi)) {
            lo = hi;
            if (hi == remaining)
                break;
            hi = std::min(hi * 2, remaining);
        }
        qsizetype count = remaining;
        if (lo != remaining) {
            while (hi - lo > 1) {
                const qsizetype mid = lo + (hi - lo) / 2;
                if (fits(mid))
                    lo = mid;
                else
                    hi = mid;
            }
            // A single line taller than the page still goes out, one character a page.
            count = std::max<qsizetype>(lo, 1);
        }
        pages.push_back(count);
        printed += count;
    }
    return pages;
}

QString PrintText(const char *text, qsizetype length, QPrinter *printer)
{
    if (text == nullptr || length <= 0)
        return QStringLiteral("nothing to print");
    std::unique_ptr<QPrinter> defaultPrinter;
    if (printer == nullptr) {
        // Without a printer QPrinter quietly writes an unnamed PDF and still calls itself
        // valid, so the default printer is asked for first.
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull())
            return QStringLiteral("no default printer");
        defaultPrinter = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
        printer = defaultPrinter.get();
    }
    printer->setDocName(QStringLiteral("Alvetra"));
    // The whole printable area: margins no wider than the device needs.
    printer->setFullPage(false);
    const QPageLayout pageLayout = printer->pageLayout();
    printer->setPageMargins(pageLayout.minimumMargins(), pageLayout.units());

    QPainter painter;
    if (!painter.begin(printer))
        return QStringLiteral("the job could not be started on %1").arg(printer->printerName());
    const qreal pageWidth = printer->width();
    const qreal pageHeight = printer->height();
    const PrintLayout layout(printer, pageWidth);
    const std::vector<qsizetype> pages
        = PaginateText(length, pageHeight, [&](qsizetype start, qsizetype count, qreal limit) {
              return layout.Height(text + start, count, limit);
          });

    painter.setPen(Qt::black);
    qsizetype printed = 0;
    for (size_t page = 0; page < pages.size(); ++page) {
        if (page > 0 && !printer->newPage()) {
            printer->abort();
            painter.end();
            return QStringLiteral("a page could not be ended on %1").arg(printer->printerName());
        }
        layout.Draw(&painter, text + printed, pages[page]);
        printed += pages[page];
    }
    if (!painter.end())
        return QStringLiteral("the job could not be ended on %1").arg(printer->printerName());
    return {};
}
