// The log's cost per passed message: ShowMessage on the shown view at growing log sizes and from
// an empty log through several trims at its capacity, beside the same lines written into a bare
// document, the floor any log must pay. Also what a user waits for with a full log: saving and
// opening it, and the first page of its print preview; and how long the window's event loop goes
// unanswered while the same work runs beside it.
#include "app/CAlvetraApp.h"
#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CFindBar.h"
#include "app/CMainFrame.h"
#include "app/LogPages.h"
#include "app/LogSnapshot.h"
#include "app/LogWork.h"
#include "receiver/EdisMessage.h"

#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <numeric>
#include <vector>

#ifdef Q_OS_UNIX
#include <ctime>
#endif

namespace {

EdisMessage Message()
{
    EdisMessage message;
    message.m_headline = "FLASH FLOOD WARNING FOR LOS ANGELES COUNTY UNTIL 6 PM";
    message.m_header = "ZCZC1a1bw ";
    message.m_trailer = "NNNN";
    message.m_body = QByteArray("The National Weather Service has issued a flash flood warning "
                                "for the burn areas. Move to higher ground now.\r\n")
                         .repeated(3);
    return message;
}

CAlvetraView *View()
{
    return CAlvetraApp::Instance()->View();
}

CAlvetraDoc *Doc()
{
    return CAlvetraApp::Instance()->Document();
}

// Resident memory of the process in MB; 0 where it cannot be read.
double RssMb()
{
#ifdef Q_OS_LINUX
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * 4096 / 1e6 : 0;
#else
    return 0;
#endif
}

// CPU time of the calling thread in ms: the machine is shared, so wall time alone would also
// count other programs. Wall time where the platform has no thread clock.
double ThreadCpuMs()
{
#ifdef Q_OS_UNIX
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
#else
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return double(clock.nsecsElapsed()) / 1e6;
#endif
}

// Cuts the oldest share of `log` up to the end of the line it reaches into, as often as it
// takes to be within `capacity`: the floor of any trim.
void CutOldestShares(QTextDocument &log, int capacity)
{
    QTextCursor cursor(&log);
    while (log.characterCount() > capacity) {
        const QTextBlock firstKept
            = log.findBlock(log.characterCount() / CAlvetraView::kTrimShare).next();
        if (!firstKept.isValid())
            return;
        cursor.setPosition(0);
        cursor.setPosition(firstKept.position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
}

// Appends messages one at a time through `append` until `log` has been trimmed `trims` times
// and another 500 messages came after the last trim, so the last thousand hold a trim.
void AppendThroughTrims(benchmark::State &state,
                        QTextDocument &log,
                        int trims,
                        const std::function<void()> &append)
{
    constexpr int kCounted = 1000;
    const double emptyRss = RssMb();
    std::vector<double> wall, cpu;
    int seen = 0;
    int afterLastTrim = -1;
    int fullChars = 0;
    double fullRss = 0;
    double worstWall = 0, worstCpu = 0, trimWall = 0, worstTrimCpu = 0, worstOtherCpu = 0;
    double worstOtherAt = 0;
    while (afterLastTrim < 500) {
        const int before = log.characterCount();
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = ThreadCpuMs();
        append();
        QCoreApplication::processEvents();
        wall.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpu.push_back(ThreadCpuMs() - cpuStart);
        worstWall = std::max(worstWall, wall.back());
        worstCpu = std::max(worstCpu, cpu.back());
        const bool trimmed = log.characterCount() < before;
        if (!trimmed && cpu.back() > worstOtherCpu)
            worstOtherAt = double(log.characterCount());
        (trimmed ? worstTrimCpu : worstOtherCpu)
            = std::max(trimmed ? worstTrimCpu : worstOtherCpu, cpu.back());
        if (trimmed) {
            if (seen++ == 0) {
                fullChars = before;
                fullRss = RssMb();
            }
            trimWall += wall.back();
            if (seen == trims)
                afterLastTrim = 0;
        }
        if (afterLastTrim >= 0)
            ++afterLastTrim;
    }
    const auto mean = [](auto first, auto last) {
        return std::accumulate(first, last, 0.0) / double(std::distance(first, last));
    };
    state.counters["messages"] = double(wall.size());
    state.counters["first_1000_ms"] = mean(wall.begin(), wall.begin() + kCounted);
    state.counters["last_1000_ms"] = mean(wall.end() - kCounted, wall.end());
    state.counters["last_vs_first"]
        = state.counters["last_1000_ms"] / state.counters["first_1000_ms"];
    state.counters["first_1000_cpu_ms"] = mean(cpu.begin(), cpu.begin() + kCounted);
    state.counters["last_1000_cpu_ms"] = mean(cpu.end() - kCounted, cpu.end());
    state.counters["worst_ms"] = worstWall;
    state.counters["worst_cpu_ms"] = worstCpu;
    // A trim, and the slowest other append (the document compacts its text now and then).
    state.counters["worst_trim_cpu_ms"] = worstTrimCpu;
    state.counters["worst_other_cpu_ms"] = worstOtherCpu;
    state.counters["worst_other_at_chars"] = worstOtherAt;
    state.counters["trim_mean_ms"] = trimWall / seen;
    state.counters["full_chars"] = fullChars;
    state.counters["rss_mb_per_mchar"] = (fullRss - emptyRss) / (fullChars / 1e6);
    // Once full, memory must stay where it was at the first trim.
    state.counters["rss_growth_full_mb"] = RssMb() - fullRss;
}

// Messages already in the log before the measured ones: range(0); no trim in the way.
void ShowMessageOnTheShownLog(benchmark::State &state)
{
    CAlvetraView *view = View();
    view->SetCapacity(std::numeric_limits<int>::max());
    view->document()->clear();
    const EdisMessage message = Message();
    for (int i = 0; i < state.range(0); ++i) {
        view->ShowMessage(message);
        if (i % 100 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    for (auto _ : state) {
        view->ShowMessage(message);
        QCoreApplication::processEvents();
    }
    state.counters["log_chars"] = view->document()->characterCount();
}
BENCHMARK(ShowMessageOnTheShownLog)
    ->Arg(0)
    ->Arg(10'000)
    ->Arg(50'000)
    ->Unit(benchmark::kMicrosecond);

void PlainInsertsIntoABareDocument(benchmark::State &state)
{
    QTextDocument document;
    const EdisMessage message = Message();
    const QString lines[]
        = {QString::fromLatin1(message.m_headline), QString::fromLatin1(message.m_header),
           QString::fromLatin1(message.m_trailer), QString::fromLatin1(message.m_body)};
    QTextCharFormat format;
    format.setFontPointSize(11.5);
    for (auto _ : state) {
        QTextCursor cursor(&document);
        cursor.beginEditBlock();
        cursor.movePosition(QTextCursor::End);
        for (const QString &line : lines) {
            cursor.insertBlock();
            cursor.insertText(line, format);
        }
        cursor.endEditBlock();
    }
}
BENCHMARK(PlainInsertsIntoABareDocument)->Unit(benchmark::kMicrosecond);

// From an empty log through twenty trims (the document compacts its text about every sixteenth) at
// the log's own capacity, one message at a time with events processed after each, as messages
// arrive from the line.
void ShowMessageThroughTrimsAtFullCapacity(benchmark::State &state)
{
    CAlvetraView *view = View();
    const EdisMessage message = Message();
    for (auto _ : state) {
        view->SetCapacity(CAlvetraView::kDefaultCapacity);
        view->document()->clear();
        QCoreApplication::processEvents();
        AppendThroughTrims(state, *view->document(), 20, [&] { view->ShowMessage(message); });
    }
    state.counters["log_chars"] = view->document()->characterCount();
}
BENCHMARK(ShowMessageThroughTrimsAtFullCapacity)->Iterations(1)->Unit(benchmark::kSecond);

// The same messages into a bare document with no view, cut in the same tenths.
void PlainDocumentThroughTrimsAtFullCapacity(benchmark::State &state)
{
    const EdisMessage message = Message();
    const QString lines[]
        = {QString::fromLatin1(message.m_headline), QString::fromLatin1(message.m_header),
           QString::fromLatin1(message.m_trailer), QString::fromLatin1(message.m_body)};
    QTextCharFormat format;
    format.setFontPointSize(11.5);
    for (auto _ : state) {
        QTextDocument document;
        document.setUndoRedoEnabled(false);
        AppendThroughTrims(state, document, 20, [&] {
            QTextCursor cursor(&document);
            cursor.beginEditBlock();
            cursor.movePosition(QTextCursor::End);
            for (const QString &line : lines) {
                cursor.insertBlock();
                cursor.insertText(line, format);
            }
            cursor.endEditBlock();
            CutOldestShares(document, CAlvetraView::kDefaultCapacity);
        });
    }
}
BENCHMARK(PlainDocumentThroughTrimsAtFullCapacity)->Iterations(1)->Unit(benchmark::kSecond);

// Fills the shown log up to its capacity with passed messages.
void FillTheLog()
{
    CAlvetraView *view = View();
    view->SetCapacity(CAlvetraView::kDefaultCapacity);
    Doc()->OnNewDocument();
    const EdisMessage message = Message();
    const int messageChars = 4 + message.m_headline.size() + message.m_header.size()
                             + message.m_trailer.size() + message.m_body.size();
    while (view->document()->characterCount() + messageChars < view->Capacity()) {
        view->ShowMessage(message);
        if (view->document()->blockCount() % 4000 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
}

// Ctrl+S and Ctrl+O of a full log: the document's save and open, and the view taking the opened
// log, without the file dialogs.
void SaveAndOpenAFullLog(benchmark::State &state)
{
    FillTheLog();
    const QString path = QDir::current().filePath(QStringLiteral("full.rtf"));
    for (auto _ : state) {
        QString error;
        QElapsedTimer timer;
        timer.start();
        if (!Doc()->OnSaveDocument(path, &error))
            state.SkipWithError(qPrintable(error));
        state.counters["save_s"] = double(timer.nsecsElapsed()) / 1e9;
        timer.restart();
        if (!Doc()->OnOpenDocument(path, &error))
            state.SkipWithError(qPrintable(error));
        View()->OnInitialUpdate();
        QCoreApplication::processEvents();
        state.counters["open_s"] = double(timer.nsecsElapsed()) / 1e9;
    }
    state.counters["file_mb"] = double(QFileInfo(path).size()) / 1e6;
    state.counters["log_chars"] = View()->document()->characterCount();
}
BENCHMARK(SaveAndOpenAFullLog)->Iterations(1)->Unit(benchmark::kSecond);

// What a user does with a full log: Find from the top to a line at its very end, F3 round the
// end, select all and copy, read older lines while new ones arrive and trims remove the oldest,
// and follow the end again. Each step is checked; a wrong result fails the benchmark.
void UsingAFullLog(benchmark::State &state)
{
    FillTheLog();
    CAlvetraView *view = View();
    EdisMessage newest = Message();
    newest.m_headline = "EARTHQUAKE NEAR THE END OF THE LOG";
    view->ShowMessage(newest);
    QCoreApplication::processEvents();
    CFindBar *find = CAlvetraApp::Instance()->MainFrame()->FindBar();
    QScrollBar *bar = view->verticalScrollBar();
    const auto seconds
        = [](const QElapsedTimer &timer) { return double(timer.nsecsElapsed()) / 1e9; };
    const auto topLine = [view] { return view->cursorForPosition(QPoint(0, 0)).block().text(); };
    const auto appendUntilTrimmed = [view] {
        int last = view->document()->characterCount();
        while (view->document()->characterCount() >= last) {
            last = view->document()->characterCount();
            view->ShowMessage(Message());
            QCoreApplication::processEvents();
        }
    };
    for (auto _ : state) {
        view->setTextCursor(QTextCursor(view->document()));
        find->SetFindText(QStringLiteral("EARTHQUAKE"));
        QElapsedTimer timer;
        timer.start();
        if (!find->FindNext() || view->textCursor().selectedText() != "EARTHQUAKE")
            state.SkipWithError("Find did not reach the end of the log");
        state.counters["find_s"] = seconds(timer);
        timer.restart();
        if (!find->FindNext() || view->textCursor().selectedText() != "EARTHQUAKE")
            state.SkipWithError("F3 did not go round the end of the log");
        state.counters["find_again_s"] = seconds(timer);

        timer.restart();
        view->selectAll();
        view->copy();
        const qsizetype copied = QGuiApplication::clipboard()->text().size();
        state.counters["select_copy_s"] = seconds(timer);
        if (copied != view->document()->characterCount() - 1)
            state.SkipWithError("Copy did not take the whole log");
        view->setTextCursor(QTextCursor(view->document()));

        bar->setValue(bar->maximum() / 2);
        QCoreApplication::processEvents();
        const QString reading = topLine();
        timer.restart();
        appendUntilTrimmed();
        state.counters["trim_while_reading_s"] = seconds(timer);
        if (topLine() != reading || bar->value() == bar->maximum())
            state.SkipWithError("A trim moved the lines the reader had in view");

        bar->setValue(bar->maximum());
        appendUntilTrimmed();
        view->ShowMessage(Message());
        QCoreApplication::processEvents();
        if (bar->value() != bar->maximum())
            state.SkipWithError("The view stopped following the end after a trim");
    }
    state.counters["log_chars"] = view->document()->characterCount();
}
BENCHMARK(UsingAFullLog)->Iterations(1)->Unit(benchmark::kSecond);

// Print Preview of a full log: the preview shows its first page once every page is drawn.
void PrintPreviewOfAFullLog(benchmark::State &state)
{
    FillTheLog();
    // A PDF printer: a machine without printers still has that one.
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setPageSize(QPageSize(QPageSize::A4));
    for (auto _ : state) {
        QPrintPreviewWidget preview(&printer);
        QObject::connect(&preview, &QPrintPreviewWidget::paintRequested, &preview,
                         [](QPrinter *shown) { Doc()->Print(*shown); });
        preview.resize(800, 1000);
        preview.show();
        preview.updatePreview();
        QCoreApplication::processEvents();
        state.counters["pages"] = preview.pageCount();
        // A full log is some thousands of pages; a layout that overran its coordinates would
        // show them all as one.
        if (preview.pageCount() < 1000)
            state.SkipWithError("The preview lost pages of the log");
    }
    state.counters["rss_mb"] = RssMb();
}
BENCHMARK(PrintPreviewOfAFullLog)->Iterations(1)->Unit(benchmark::kSecond);

// The window's event loop while the log's long work runs: the longest it went without running a
// timer's tick, and the most memory the process held meanwhile.
class LoopWatch : public QObject
{
public:
    LoopWatch()
    {
        m_clock.start();
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_longest = std::max(m_longest, m_clock.restart());
            m_peakRss = std::max(m_peakRss, RssMb());
        });
        m_timer.start(5);
    }
    // The longest gap in ms and the peak memory in MB since the last call.
    std::pair<double, double> Take()
    {
        m_longest = std::max(m_longest, m_clock.restart());
        const std::pair<double, double> taken{double(m_longest), std::max(m_peakRss, RssMb())};
        m_longest = 0;
        m_peakRss = RssMb();
        return taken;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
    double m_peakRss = 0;
};

// Runs the event loop until `done` holds.
void Spin(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// Ctrl+S, Ctrl+O and Ctrl+P of a full log as LogWork runs them, without the dialogs: the copy in
// slices on the window's thread, then the file or the pages on a thread of their own. For each,
// the longest gap of the window's event loop, the time to the first result (the file written,
// the log shown, the first page drawn) and the peak memory above the full log's.
void BackgroundWorkOnAFullLog(benchmark::State &state)
{
    FillTheLog();
    CMainFrame *frame = CAlvetraApp::Instance()->MainFrame();
    const QString path = QDir::current().filePath(QStringLiteral("background.rtf"));
    for (auto _ : state) {
        QCoreApplication::processEvents();
        const double fullRss = RssMb();
        LoopWatch watch;
        QElapsedTimer timer;
        QString error;

        timer.start();
        if (!frame->Work()->Save(path, &error))
            state.SkipWithError(qPrintable(error));
        state.counters["save_s"] = double(timer.nsecsElapsed()) / 1e9;
        auto [gap, peak] = watch.Take();
        state.counters["save_gap_ms"] = gap;
        state.counters["save_peak_mb"] = peak - fullRss;

        timer.restart();
        if (!frame->Work()->Open(path, &error))
            state.SkipWithError(qPrintable(error));
        View()->OnInitialUpdate();
        state.counters["open_s"] = double(timer.nsecsElapsed()) / 1e9;
        std::tie(gap, peak) = watch.Take();
        state.counters["open_gap_ms"] = gap;
        state.counters["open_peak_mb"] = peak - fullRss;

        // The print: the copy, the count, then every page into a PDF file.
        timer.restart();
        LogSnapshot copy(Doc()->Document());
        copy.Start();
        Spin([&] { return copy.IsDone(); });
        state.counters["print_copy_s"] = double(timer.nsecsElapsed()) / 1e9;
        state.counters["print_copy_gap_ms"] = watch.Take().first;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setOutputFileName(QDir::current().filePath(QStringLiteral("background.pdf")));
        const PageSetUp setUp = SetUpPrinter(printer, QStringLiteral("bench"));
        LogPages pages(copy.Copy(), setUp);
        const std::atomic_bool never{false};
        std::atomic_int drawn{0};
        int counted = 0;
        std::unique_ptr<QThread> counting(QThread::create([&] { counted = pages.Count(never); }));
        counting->start();
        Spin([&] { return counting->isFinished(); });
        state.counters["print_count_s"] = double(timer.nsecsElapsed()) / 1e9;
        state.counters["pages"] = counted;
        state.counters["print_count_gap_ms"] = watch.Take().first;
        std::unique_ptr<QThread> printing(
            QThread::create([&] { pages.Print(printer, 1, INT_MAX, never, &drawn); }));
        printing->start();
        Spin([&] { return drawn.load() > 0; });
        state.counters["print_first_page_s"] = double(timer.nsecsElapsed()) / 1e9;
        Spin([&] { return printing->isFinished(); });
        state.counters["print_s"] = double(timer.nsecsElapsed()) / 1e9;
        std::tie(gap, peak) = watch.Take();
        state.counters["print_gap_ms"] = gap;
        state.counters["print_peak_mb"] = peak - fullRss;

        // The last three pages only: laid out from the line that begins the page before them.
        printer.setOutputFileName(QDir::current().filePath(QStringLiteral("last.pdf")));
        timer.restart();
        std::unique_ptr<QThread> last(
            QThread::create([&] { pages.Print(printer, counted - 2, counted, never); }));
        last->start();
        Spin([&] { return last->isFinished(); });
        state.counters["print_last_3_s"] = double(timer.nsecsElapsed()) / 1e9;
    }
}
BENCHMARK(BackgroundWorkOnAFullLog)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath("config")));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QDir::setCurrent(scratch.path());
    QFile filter("flt.dat");
    if (!filter.open(QIODevice::WriteOnly))
        return 1;
    filter.write(QByteArray(8, char(0xA7)));
    filter.close();
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/Sendtoport", 0);
        store.setValue("Ports/COM2", "/dev/alvetra-bench-none");
    }

    CAlvetraApp app(argc, argv);
    if (!app.InitInstance({"alvetra"}))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
