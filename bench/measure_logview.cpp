// What the operator waits for with a full log, on the real program: the log filled with 64,000
// passed messages of some 340 characters (ShowMessage, the receiver's own way into the log, at
// once rather than through the line, which would take an hour at its speed), then each command
// as the operator gives it: Find Next (F3) from the top to a line at the very end, and for a text
// that is not there; Select All and Copy (Ctrl+A, Ctrl+C); a paste by another program
// (`xclip -o` under X11, the clipboard's own conversion offscreen); under X11 the whole log
// selected with the keys, which makes it the primary selection, and a paste of that; Save
// (Ctrl+S), Open (Ctrl+O) of the saved full log; Print (Ctrl+P) to a PDF file; and appends of
// further passed messages. For each: the longest the window's event loop went without answering
// a 10 ms timer, the time to the first visible result and to the end, each seen from outside the
// command (the file written and closed, the clipboard set, the log shown, the text found), and
// the peak resident memory. The file dialogs and the print dialog are answered as an operator
// would.
//   xvfb-run -a build-bench/bench/measure_logview [--appends N] [--messages N]
// Print needs a printer queue; run as root with a CUPS scheduler (scripts/test-services.sh)
// the tool adds one of its own for the run and removes it again.
#include "app/CAlvetraApp.h"
#include "app/CAlvetraDoc.h"
#include "app/CAlvetraView.h"
#include "app/CFindBar.h"
#include "app/CMainFrame.h"
#include "receiver/EdisMessage.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The program's command ids.
constexpr int kOpen = 57601;
constexpr int kSave = 57603;
constexpr int kPrint = 57607;
constexpr int kCopy = 57634;
constexpr int kSelectAll = 57642;
constexpr int kFindNext = 57640;

constexpr char kPdfDriver[] = "/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd";
constexpr char kNeedle[] = "EARTHQUAKE NEAR THE END OF THE LOG";

CMainFrame *Frame()
{
    return CAlvetraApp::Instance()->MainFrame();
}

CAlvetraView *View()
{
    return CAlvetraApp::Instance()->View();
}

// A passed message of some 340 characters in its four lines, numbered so no two are alike.
EdisMessage Message(int number)
{
    EdisMessage message;
    message.m_headline = "FLASH FLOOD WARNING FOR LOS ANGELES COUNTY UNTIL 6 PM";
    message.m_header = QByteArray("ZCZC1a1bw ") + QByteArray::number(number);
    message.m_trailer = "NNNN";
    message.m_body = "The National Weather Service has issued a flash flood warning for the burn "
                     "areas of the county.\r\nMove to higher ground now. Do not drive through "
                     "flooded roads; turn around.\r\nThis warning replaces the advisory issued "
                     "earlier today and stays in force until 6 PM.";
    return message;
}

double Seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double ThreadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// A line of /proc/self/status in MB ("VmHWM", "VmRSS").
double StatusMb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            const QByteArray kb = line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0);
            return kb.toDouble() / 1024;
        }
    }
    return 0;
}

// Starts the resident high-water mark again from what is resident now.
void ResetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// Whether this process holds `path` open.
bool OpenHere(const QString &path)
{
    const QString target = QFileInfo(path).absoluteFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files)) {
        if (QFile::symLinkTarget(fds.filePath(fd)) == target)
            return true;
    }
    return false;
}

// Watches a file from a thread of its own, so that a window's thread that is held shows no
// later first byte than the file had: when its first bytes appeared, and when it was complete
// (present, not empty and no longer open in this process).
class FileWatch
{
public:
    explicit FileWatch(QString path)
        : m_path(std::move(path))
    {
        m_clock.start();
        m_thread = std::thread([this] {
            while (!m_stop) {
                const QFileInfo info(m_path);
                if (info.exists() && info.size() > 0) {
                    if (m_first < 0)
                        m_first = m_clock.nsecsElapsed();
                    if (!OpenHere(m_path)) {
                        m_done = m_clock.nsecsElapsed();
                        return;
                    }
                }
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    ~FileWatch()
    {
        m_stop = true;
        m_thread.join();
    }
    bool Done() const { return m_done >= 0; }
    double FirstSeconds() const { return m_first < 0 ? -1 : double(m_first) / 1e9; }
    double DoneSeconds() const { return m_done < 0 ? -1 : double(m_done) / 1e9; }

private:
    QString m_path;
    QElapsedTimer m_clock;
    std::atomic<qint64> m_first = -1;
    std::atomic<qint64> m_done = -1;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// The window's event loop answering a 10 ms timer: the longest gap since the last Reset.
class LoopWatch
{
public:
    LoopWatch()
    {
        m_tick.setInterval(10);
        m_tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_tick, &QTimer::timeout, &m_tick,
                         [this] { m_longest = std::max(m_longest, m_since.restart()); });
        m_since.start();
        m_tick.start();
    }
    void Reset()
    {
        m_longest = 0;
        m_since.restart();
    }
    qint64 LongestMs()
    {
        // A gap that has not ended yet counts too.
        return std::max(m_longest, m_since.elapsed());
    }

private:
    QTimer m_tick;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// Answers the dialogs a command opens as an operator would: the file dialogs with `path`, the
// print dialog with OK, "Save changes?" with No; any other box is kept as a failure.
class DialogAnswerer
{
public:
    DialogAnswerer()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { Answer(); });
        m_timer.start();
    }
    QString path;
    QString pdf;
    QString unexpected;

private:
    void Answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto *files = qobject_cast<QFileDialog *>(modal)) {
            // Typed, as selectFile() is lost now and then while the dialog reads the folder.
            if (auto *name = files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name->setText(path);
            else
                files->selectFile(path);
            QMetaObject::invokeMethod(files, "accept");
        } else if (auto *print = qobject_cast<QPrintDialog *>(modal)) {
            // The PDF file rather than the queue, whichever the dialog offers first.
            if (auto *printers = print->findChild<QComboBox *>(QStringLiteral("printers"))) {
                const int toFile = printers->findText(QStringLiteral("Print to File (PDF)"));
                if (toFile >= 0)
                    printers->setCurrentIndex(toFile);
            }
            if (auto *name = print->findChild<QLineEdit *>(QStringLiteral("filename")))
                name->setText(pdf);
            print->accept();
        } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            if (box->text().startsWith(QStringLiteral("Save changes"))) {
                box->button(QMessageBox::No)->click();
            } else {
                unexpected = box->text();
                box->done(0);
            }
        }
    }

    QTimer m_timer;
};

struct Figures
{
    explicit Figures(const char *name)
        : what(name)
    {}
    const char *what;
    qint64 longestMs = -1;
    double firstSeconds = -1;
    double doneSeconds = -1;
    double peakMb = 0;
    double startMb = 0;
    QString note;
};

void Print(const Figures &figures)
{
    std::printf("%-26s longest unanswered %6lld ms   first result %7.2f s   end %7.2f s   "
                "peak RSS %5.0f MB (%+5.0f)   %s\n",
                figures.what, static_cast<long long>(figures.longestMs), figures.firstSeconds,
                figures.doneSeconds, figures.peakMb, figures.peakMb - figures.startMb,
                qPrintable(figures.note));
    std::fflush(stdout);
}

// Runs the event loop until `done` holds, at most `limit`; the seconds it took, or -1.
double RunUntil(const std::function<bool()> &done, std::chrono::seconds limit = 300s)
{
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || timer.elapsed() > std::chrono::milliseconds(limit).count())
            loop.quit();
    });
    poll.start();
    if (!done())
        loop.exec();
    if (done())
        return Seconds(timer);
    QWidget *modal = QApplication::activeModalWidget();
    std::printf("gave up after %lld s; the window in front: %s\n",
                static_cast<long long>(limit.count()),
                modal ? modal->metaObject()->className() : "none");
    return -1;
}

// Measures one command: `start` gives it, `first` and `end` tell its results from outside.
Figures Measure(const char *what,
                LoopWatch &watch,
                const std::function<void()> &start,
                const std::function<bool()> &first,
                const std::function<bool()> &end)
{
    Figures figures(what);
    QCoreApplication::processEvents();
    figures.startMb = StatusMb("VmRSS");
    ResetPeakRss();
    watch.Reset();
    QElapsedTimer timer;
    timer.start();
    double firstAt = -1;
    start();
    figures.doneSeconds = RunUntil([&] {
        if (firstAt < 0 && first())
            firstAt = Seconds(timer);
        return end();
    });
    if (figures.doneSeconds >= 0)
        figures.doneSeconds = Seconds(timer);
    figures.firstSeconds = firstAt;
    figures.longestMs = watch.LongestMs();
    figures.peakMb = StatusMb("VmHWM");
    return figures;
}

QString Run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(30000);
    return QString::fromLocal8Bit(process.readAll()).trimmed();
}

// A printer queue of the tool's own when the machine has none, so Print gets past its check.
QString AddQueueIfNone(const QString &folder)
{
    if (!QPrinterInfo::availablePrinterNames().isEmpty() || geteuid() != 0
        || QStandardPaths::findExecutable(QStringLiteral("lpadmin")).isEmpty()
        || !QFile::exists(QString::fromLatin1(kPdfDriver)))
        return {};
    const QString queue = QStringLiteral("alvetra-measure-%1").arg(getpid());
    Run(QStringLiteral("lpadmin"),
        {QStringLiteral("-p"), queue, QStringLiteral("-E"), QStringLiteral("-v"),
         QStringLiteral("file://") + folder + QStringLiteral("/queue.pdf"), QStringLiteral("-P"),
         QString::fromLatin1(kPdfDriver)});
    return QPrinterInfo::availablePrinterNames().contains(queue) ? queue : QString();
}

int Argument(int argc, char *argv[], const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], name) == 0)
            return QByteArray(argv[i + 1]).toInt();
    }
    return fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    const int messages = Argument(argc, argv, "--messages", 64'000);
    const int appends = Argument(argc, argv, "--appends", 30'000);
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath("config")));
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", x11 ? "xcb" : "offscreen");
    QDir::setCurrent(scratch.path());
    {
        QFile filter("flt.dat");
        if (!filter.open(QIODevice::WriteOnly))
            return 1;
        filter.write(QByteArray(8, char(0xA7)));
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "Dorvane", "Alvetra");
        store.setValue("Settings/Sendtoport", 0);
        store.setValue("Ports/COM2", "/dev/alvetra-measure-none");
        store.setValue("Journal/Enabled", false);
    }

    CAlvetraApp app(argc, argv);
    if (!app.InitInstance({"alvetra"}))
        return 1;
    const QString queue = AddQueueIfNone(scratch.path());
    CAlvetraView *view = View();
    CAlvetraDoc *document = app.Document();
    LoopWatch watch;
    DialogAnswerer answerer;
    const bool offscreen = QGuiApplication::platformName() == QLatin1String("offscreen");
    std::printf("platform %s, log capacity %d characters\n",
                qPrintable(QGuiApplication::platformName()), view->Capacity());

    // The log filled as passed messages fill it.
    QElapsedTimer timer;
    timer.start();
    int number = 0;
    for (; number < messages; ++number) {
        view->ShowMessage(Message(number));
        if (number % 100 == 0)
            QCoreApplication::processEvents();
    }
    EdisMessage newest = Message(number++);
    newest.m_headline = kNeedle;
    view->ShowMessage(newest);
    QCoreApplication::processEvents();
    std::printf("filled: %d messages in %.1f s, the log holds %d characters, %.0f MB resident\n",
                messages + 1, Seconds(timer), view->document()->characterCount(),
                StatusMb("VmRSS"));

    // Appends at full size, one message a turn of the event loop as they come from the line.
    {
        Figures figures("append a passed message");
        figures.startMb = StatusMb("VmRSS");
        ResetPeakRss();
        watch.Reset();
        double worstWall = 0, worstCpu = 0;
        int done = 0;
        QTimer feed;
        QObject::connect(&feed, &QTimer::timeout, &feed, [&] {
            QElapsedTimer wall;
            wall.start();
            const double cpu = ThreadCpuMs();
            view->ShowMessage(Message(number++));
            worstCpu = std::max(worstCpu, ThreadCpuMs() - cpu);
            worstWall = std::max(worstWall, double(wall.nsecsElapsed()) / 1e6);
            ++done;
        });
        feed.start(0);
        figures.doneSeconds = RunUntil([&] { return done >= appends; });
        feed.stop();
        figures.longestMs = watch.LongestMs();
        figures.peakMb = StatusMb("VmHWM");
        figures.note = QStringLiteral("%1 appends, worst %2 ms wall, %3 ms CPU")
                           .arg(appends)
                           .arg(worstWall, 0, 'f', 1)
                           .arg(worstCpu, 0, 'f', 1);
        Print(figures);
    }
    // The needle again at the very end, after the appends.
    view->ShowMessage(newest);
    QCoreApplication::processEvents();

    // Find Next from the top to the last message, then a text the log does not hold.
    CFindBar *find = Frame()->FindBar();
    QAction *findNext = Frame()->Command(kFindNext);
    view->setTextCursor(QTextCursor(view->document()));
    find->SetFindText(QString::fromLatin1(kNeedle));
    {
        const auto found
            = [view] { return view->textCursor().selectedText() == QLatin1String(kNeedle); };
        Figures figures = Measure(
            "find next (F3), to the end", watch, [&] { findNext->trigger(); }, found, found);
        Print(figures);
    }
    find->SetFindText(QStringLiteral("TSUNAMI WARNING"));
    {
        const auto said = [] {
            return Frame()->statusBar()->currentMessage().startsWith(
                QStringLiteral("Cannot find the string"));
        };
        Figures figures = Measure(
            "find next, not there", watch, [&] { findNext->trigger(); }, said, said);
        Print(figures);
    }

    // Select All and Copy: the clipboard ready, then the paste of another program.
    bool copied = false;
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, view,
                     [&] { copied = true; });
    QGuiApplication::clipboard()->setText(QStringLiteral("from elsewhere"));
    QCoreApplication::processEvents();
    copied = false;
    {
        Figures figures = Measure(
            "select all and copy", watch,
            [&] {
                Frame()->Command(kSelectAll)->trigger();
                Frame()->Command(kCopy)->trigger();
            },
            [&] { return copied; }, [&] { return copied; });
        Print(figures);
    }
    const QByteArray expected = view->document()->toPlainText().toUtf8();
    view->setTextCursor(QTextCursor(view->document()));
    // A paste of the clipboard, and under X11 of the primary selection that Select All set.
    const auto paste = [&](const char *what, const QString &selection) {
        const QString pasted = scratch.filePath(QStringLiteral("pasted.txt"));
        QProcess xclip;
        qsizetype converted = -1;
        const bool xclipThere = !QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty();
        Figures figures = Measure(
            what, watch,
            [&] {
                if (offscreen || !xclipThere) {
                    converted = QGuiApplication::clipboard()->mimeData()->data("text/plain").size();
                    return;
                }
                xclip.setStandardOutputFile(pasted);
                xclip.start(QStringLiteral("xclip"),
                            {QStringLiteral("-o"), QStringLiteral("-selection"), selection});
            },
            [&] { return converted >= 0 || xclip.state() == QProcess::NotRunning; },
            [&] { return converted >= 0 || xclip.state() == QProcess::NotRunning; });
        if (converted < 0)
            converted = QFileInfo(pasted).size();
        figures.note = QStringLiteral("%1 of %2 bytes%3")
                           .arg(converted)
                           .arg(expected.size())
                           .arg(!offscreen && !xclipThere      ? QStringLiteral(" (no xclip)")
                                : converted == expected.size() ? QString()
                                                               : QStringLiteral(" WRONG"));
        Print(figures);
    };
    paste(offscreen ? "paste (the conversion)" : "paste by xclip -o", QStringLiteral("clipboard"));
    if (!offscreen) {
        // A selection made with the keys (or the mouse) goes to the primary selection at once.
        view->setFocus();
        view->moveCursor(QTextCursor::Start);
        Figures figures = Measure(
            "select to the end (keys)", watch,
            [&] {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_End,
                                Qt::ControlModifier | Qt::ShiftModifier);
                QCoreApplication::sendEvent(view, &press);
            },
            [&] { return QGuiApplication::clipboard()->ownsSelection(); },
            [&] { return QGuiApplication::clipboard()->ownsSelection(); });
        Print(figures);
        // The operator goes to the other window to paste there.
        QElapsedTimer moving;
        moving.start();
        RunUntil([&] { return moving.elapsed() >= 1000; });
        paste("paste of the primary, 1 s later", QStringLiteral("primary"));
    }

    // Save (Ctrl+S) under a new name, then Open (Ctrl+O) of that full log.
    const QString saved = scratch.filePath(QStringLiteral("full.rtf"));
    answerer.path = saved;
    {
        const FileWatch file(saved);
        Figures figures = Measure(
            "save (Ctrl+S)", watch, [&] { Frame()->Command(kSave)->trigger(); },
            [&] { return file.Done(); }, [&] { return file.Done(); });
        figures.firstSeconds = file.FirstSeconds();
        figures.doneSeconds = file.DoneSeconds();
        figures.note = QStringLiteral("%1 MB of RTF").arg(QFileInfo(saved).size() / 1e6, 0, 'f', 1);
        Print(figures);
    }
    const int savedChars = view->document()->characterCount();
    const QString marker = QStringLiteral("after the save");
    view->AppendText(marker, true, 200, Rgb(0, 0, 0), false, false);
    {
        const auto shown = [&] {
            return !QApplication::activeModalWidget()
                   && view->document()->lastBlock().text() != marker
                   && view->document()->characterCount() >= savedChars - 1000;
        };
        Figures figures = Measure(
            "open (Ctrl+O)", watch, [&] { Frame()->Command(kOpen)->trigger(); }, shown, shown);
        Print(figures);
    }

    // Print to a PDF file, through the print dialog.
    if (QPrinterInfo::availablePrinterNames().isEmpty()) {
        std::printf("print: skipped, no printer queue (run as root with a CUPS scheduler)\n");
    } else {
        const QString pdf = scratch.filePath(QStringLiteral("printed.pdf"));
        answerer.pdf = pdf;
        QPrinter &printer = document->Printer();
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        printer.setPageSize(QPageSize(QPageSize::A4));
        const FileWatch file(pdf);
        Figures figures = Measure(
            "print (Ctrl+P) to PDF", watch, [&] { Frame()->Command(kPrint)->trigger(); },
            [&] { return file.FirstSeconds() >= 0; }, [&] { return file.Done(); });
        figures.firstSeconds = file.FirstSeconds();
        figures.doneSeconds = file.DoneSeconds();
        figures.note = QStringLiteral("%1 MB of PDF").arg(QFileInfo(pdf).size() / 1e6, 0, 'f', 1);
        Print(figures);
    }
    if (!answerer.unexpected.isEmpty())
        std::printf("a box the tool did not expect: %s\n", qPrintable(answerer.unexpected));
    if (!queue.isEmpty())
        Run(QStringLiteral("lpadmin"), {QStringLiteral("-x"), queue});
    return 0;
}
