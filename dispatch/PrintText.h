#pragma once

#include <QFont>
#include <QString>
#include <QTextOption>

#include <functional>
#include <vector>

class QPainter;
class QPaintDevice;
class QPrinter;

// Prints `length` bytes of `text` (Windows-1252; LF, CR or CR LF ends a line) in 10-point
// "MS Sans Serif" over the whole printable area of the page, word-wrapped with tabs expanded,
// as one job named "Alvetra". Without `printer` it prints on the system's default printer and
// asks nothing; with no default printer it returns at once. A job that cannot be started, or a
// page that cannot be ended, is dropped without a word in the log. Returns an empty text once
// the job is handed to the printer, otherwise why it was not ("no default printer", ...). Any
// one thread at a time.
QString PrintText(const char *text, qsizetype length, QPrinter *printer = nullptr);

// How the print text lies on a page of `pageWidth` device pixels of `device`: measured and
// drawn with the device's own font metrics, so what is measured is what is printed.
class PrintLayout
{
public:
    PrintLayout(const QPaintDevice *device, qreal pageWidth);

    // The height of the text laid out in the page width. Stops counting once the height
    // passes `limit`, which is all a page break needs to know.
    qreal Height(const char *text, qsizetype length, qreal limit = 1e12) const;
    // Draws the text from the top-left corner of the page.
    void Draw(QPainter *painter, const char *text, qsizetype length) const;

    const QFont &Font() const { return m_font; }
    qreal TabStopWidth() const;

private:
    template<typename LineHandler>
    void LayOut(const char *text, qsizetype length, qreal limit, LineHandler &&handler) const;

    const QPaintDevice *m_device;
    qreal m_pageWidth;
    QFont m_font;
    QTextOption m_option;
};

// The characters of an 8-bit print text, with each CR LF, CR or LF as a line separator.
QString PrintableText(const char *text, qsizetype length);

// The number of characters on each page: from the first character not yet printed, the longest
// run whose measured height fits `pageHeight`, found by bisection, at least one character a
// page. `measure(start, count, limit)` gives the height of `count` characters from `start`;
// above `limit` it may stop early.
using MeasureText = std::function<qreal(qsizetype start, qsizetype count, qreal limit)>;
std::vector<qsizetype> PaginateText(qsizetype length, qreal pageHeight, const MeasureText &measure);
