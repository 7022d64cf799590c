#include "Doors.h"

#include <QCoreApplication>
#include <QString>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<Doors *> g_installed{nullptr};

Doors &Installed()
{
    // Never destroyed: the destructors of static objects may still log on their way out.
    static Doors *const none = new Doors;
    Doors *doors = g_installed.load(std::memory_order_acquire);
    return doors ? *doors : *none;
}

[[noreturn]] void NotInstalled(const char *door)
{
    qFatal("%s() was called before the application installed its doors", door);
    std::abort(); // qFatal does not return, but is not declared so
}

} // namespace

Doors::~Doors() = default;

MessageReceiver &Doors::GetReceiver()
{
    NotInstalled("GetReceiver");
}

FilterSettings &Doors::GetFilterSettings()
{
    NotInstalled("GetFilterSettings");
}

SerialPort &Doors::GetInPort()
{
    NotInstalled("GetInPort");
}

SerialPort &Doors::GetOutPort()
{
    NotInstalled("GetOutPort");
}

GeneralSettings &Doors::GetGeneralSettings()
{
    NotInstalled("GetGeneralSettings");
}

Journal *Doors::GetJournal()
{
    return nullptr;
}

void Doors::LogError(const QString &text)
{
    std::fprintf(stderr, "Error:->%s\n", qPrintable(text));
}

void Doors::LogWarning(const QString &text)
{
    std::fprintf(stderr, "Warning:->%s\n", qPrintable(text));
}

void Doors::ShowMessage(const EdisMessage &) {}

void Doors::AwaitAcknowledgement(const EdisMessage &, unsigned long long, const QDateTime &) {}

void Doors::AppendLogText(const QString &, bool, int, unsigned int, bool, bool) {}

// Help/, sounds/ and Received/ sit beside the executable itself. On Linux Qt takes this path
// from /proc/self/exe, links resolved, so a start through /usr/bin/alvetra (a link into
// /opt/alvetra) still finds the real program folder.
QString Doors::GetProgramFolder()
{
    return QCoreApplication::applicationDirPath();
}

Doors *InstallDoors(Doors *doors)
{
    return g_installed.exchange(doors, std::memory_order_acq_rel);
}

ScopedDoors::ScopedDoors(Doors &doors)
    : m_previous(InstallDoors(&doors))
{}

ScopedDoors::~ScopedDoors()
{
    InstallDoors(m_previous);
}

MessageReceiver &GetReceiver()
{
    return Installed().GetReceiver();
}

FilterSettings &GetFilterSettings()
{
    return Installed().GetFilterSettings();
}

SerialPort &GetInPort()
{
    return Installed().GetInPort();
}

SerialPort &GetOutPort()
{
    return Installed().GetOutPort();
}

GeneralSettings &GetGeneralSettings()
{
    return Installed().GetGeneralSettings();
}

Journal *GetJournal()
{
    return Installed().GetJournal();
}

void LogError(const QString &text)
{
    Installed().LogError(text);
}

void LogWarning(const QString &text)
{
    Installed().LogWarning(text);
}

void ShowMessage(const EdisMessage &message)
{
    Installed().ShowMessage(message);
}

void AwaitAcknowledgement(const EdisMessage &message,
                          unsigned long long journalTicket,
                          const QDateTime &receivedAt)
{
    Installed().AwaitAcknowledgement(message, journalTicket, receivedAt);
}

QString GetProgramFolder()
{
    return Installed().GetProgramFolder();
}

void AppendLogText(const QString &text,
                   bool newLineFirst,
                   int height,
                   unsigned int colour,
                   bool bold,
                   bool underline)
{
    Installed().AppendLogText(text, newLineFirst, height, colour, bold, underline);
}
