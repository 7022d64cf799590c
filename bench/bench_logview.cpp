// The log's cost per passed message: ShowMessage on the shown view at growing log sizes, beside
// four plain cursor inserts of the same lines into a bare document, the floor any log must pay.
#include "app/CAlvetraApp.h"
#include "app/CAlvetraView.h"
#include "app/CMainFrame.h"
#include "receiver/EdisMessage.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <limits>

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
