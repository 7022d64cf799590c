#pragma once

#include "LogSnapshot.h"

#include <QFont>
#include <QImage>
#include <QSizeF>

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <vector>

class QPrinter;
class QTextDocument;

// How the log's pages are laid out for one printer.
struct PageSetUp
{
    // The printable part of a page, in pixels of the layout.
    QSizeF page;
    // The layout's resolution, and printer pixels per layout pixel.
    int dpi = 0;
    qreal scaleX = 1;
    qreal scaleY = 1;

    bool operator==(const PageSetUp &) const = default;
};

// Sets `printer` up for the log: half an inch of margin on every side, `title` as the job's
// name. Returns how the log's pages are laid out on it. On the thread that uses the printer.
PageSetUp SetUpPrinter(QPrinter &printer, const QString &title);

// The log laid out in a printer's pages from a copy, a few pages at a time: memory stays with a
// few pages however long the log. The pages are the ones a layout of the whole log would make:
// a line is never cut by a page end but moved to the next page, and a run of pages is laid out
// again only from a line that begins at the top of its page. Any thread, one at a time.
class LogPages
{
public:
    LogPages(std::shared_ptr<const LogCopy> log, const PageSetUp &setUp);
    ~LogPages();

    const PageSetUp &SetUp() const { return m_setUp; }

    // Lays the whole log out and returns its number of pages, or -1 once `cancel` is set;
    // `progress`, when given, counts the pages so far. Remembers where later pages can be laid
    // out from, so that a print of the last pages lays out only those.
    int Count(const std::atomic_bool &cancel, std::atomic_int *progress = nullptr);

    enum class Outcome { Printed, Failed, Cancelled };
    // Prints pages `first` to `last` (counted from 1; a `last` past the end prints to the end)
    // on `printer`, which SetUpPrinter prepared. Once `cancel` is set the print run is aborted
    // before the next page. `progress`, when given, counts the pages drawn.
    Outcome Print(QPrinter &printer,
                  int first,
                  int last,
                  const std::atomic_bool &cancel,
                  std::atomic_int *progress = nullptr);

private:
    struct Restart
    {
        int page;
        int paragraph;
    };
    // Called with each whole page in order: the document it is in, its index there and its
    // index in the log (both from 0). False stops the layout.
    using PageHandler = std::function<bool(QTextDocument &pages, int index, int page)>;
    bool
    LayOut(Restart from, int lastPage, const PageHandler &handler, const std::atomic_bool &cancel);
    std::unique_ptr<QTextDocument> MakePages(int first, int end) const;

    std::shared_ptr<const LogCopy> m_log;
    PageSetUp m_setUp;
    QFont m_font;
    QImage m_device;
    // Lines that begin at the top of a page, in the order of their pages.
    std::vector<Restart> m_restarts;
    bool m_counting = false;
};
