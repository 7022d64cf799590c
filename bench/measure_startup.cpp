// Start-up: how long after its process is started the main window is first painted, against a
// bare Qt window (an empty QMainWindow of the same size) in the same run, the two in turn. Each
// run is this program again as a child: the parent takes the time just before it starts the
// child, the child the time once its window's first paint is done, both on CLOCK_MONOTONIC.
// The real program's child has its lines on pseudo-terminals the parent holds, its settings
// and journal in a temporary folder. Prints each side's median and the ratio pair by pair.
//   xvfb-run -a build-bench/bench/measure_startup [runs]
#include "app/CAlvetraApp.h"
#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "tools/Pty.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

qint64 NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Once `watched` has had its first paint: the time it is done, on standard output, then the end.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, this, [] {
                std::printf("%lld\n", static_cast<long long>(NowNs()));
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

int Bare(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(800, 600);
    FirstPaint watch;
    window.installEventFilter(&watch);
    window.show();
    return app.exec();
}

int Program(int argc, char *argv[])
{
    CAlvetraApp app(argc, argv);
    if (!app.InitInstance({QStringLiteral("alvetra")}))
        return 1;
    FirstPaint watch;
    app.MainFrame()->View()->viewport()->installEventFilter(&watch);
    return app.exec();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds from the start to the child's first paint; negative on failure.
double TimeChild(const QString &mode)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 started = NowNs();
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), mode});
    if (!child.waitForFinished(60000))
        return -1;
    bool ok = false;
    const qint64 painted = child.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? double(painted - started) / 1e6 : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0)
        return qstrcmp(argv[2], "bare") == 0 ? Bare(argc, argv) : Program(argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 15;
    QTemporaryDir scratch;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("config"))));
    QDir::setCurrent(scratch.path());
    Pty input;
    Pty output;
    {
        QFile filter(QStringLiteral("flt.dat"));
        if (!filter.open(QIODevice::WriteOnly) || filter.write(QByteArray(8, char(0xA7))) != 8)
            return 1;
        QSettings store(scratch.filePath(QStringLiteral("config/Dorvane/Alvetra.conf")),
                        QSettings::IniFormat);
        store.setValue(QStringLiteral("Ports/COM2"), input.DevicePath());
        store.setValue(QStringLiteral("Ports/COM1"), output.DevicePath());
        store.setValue(QStringLiteral("Settings/Sendtoport"), 1);
        store.setValue(QStringLiteral("Journal/Path"),
                       scratch.filePath(QStringLiteral("j.sqlite")));
    }

    // One of each first, not counted: the file cache and the X server's first client.
    TimeChild(QStringLiteral("bare"));
    TimeChild(QStringLiteral("program"));
    std::vector<double> bare, program, ratio;
    for (int i = 0; i < runs; ++i) {
        const double b = TimeChild(QStringLiteral("bare"));
        const double p = TimeChild(QStringLiteral("program"));
        if (b <= 0 || p <= 0) {
            std::fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
        bare.push_back(b);
        program.push_back(p);
        ratio.push_back(p / b);
    }
    std::printf("runs %d: bare window %.1f ms (%.1f-%.1f), Alvetra %.1f ms (%.1f-%.1f), "
                "ratio median %.2f (%.2f-%.2f)\n",
                runs, Median(bare), *std::min_element(bare.begin(), bare.end()),
                *std::max_element(bare.begin(), bare.end()), Median(program),
                *std::min_element(program.begin(), program.end()),
                *std::max_element(program.begin(), program.end()), Median(ratio),
                *std::min_element(ratio.begin(), ratio.end()),
                *std::max_element(ratio.begin(), ratio.end()));
    return 0;
}
