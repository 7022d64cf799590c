// The doors between the floors. The lower libraries (receiver/, settings/, serial/) reach the
// application only through the free functions at the end of this header. They are defined in
// this library and go through the one Doors object installed at the time: the application
// installs its own at start-up (app/AppDoors.h), a test installs one that answers just the
// doors it uses. So no lower library needs a symbol that only the application defines, and
// nothing here includes a window class: the core stays free of QtWidgets.
#pragma once

class QDateTime;
class QString;
class MessageReceiver;
class FilterSettings;
class SerialPort;
class GeneralSettings;
class Journal;
struct EdisMessage;

// What the running program answers behind the doors. The base class is what answers while
// nothing is installed, and for every door a subclass leaves alone.
class Doors
{
public:
    virtual ~Doors();

    // No service objects exist without an application: reaching one before its doors are
    // installed is a fault of the program, so it ends with a fatal message naming the door.
    virtual MessageReceiver &GetReceiver();
    virtual FilterSettings &GetFilterSettings();
    virtual SerialPort &GetInPort();
    virtual SerialPort &GetOutPort();
    virtual GeneralSettings &GetGeneralSettings();
    // The journal, or null when none is kept (a test that installs none, a journal that
    // failed): then every output runs at once, as before there was one.
    virtual Journal *GetJournal();

    // The line ("Error:->" / "Warning:->" and the text) on standard error, from any thread.
    virtual void LogError(const QString &text);
    virtual void LogWarning(const QString &text);
    // Nothing: there is no log to show anything in.
    virtual void ShowMessage(const EdisMessage &message);
    // Nothing: nobody is there to acknowledge it.
    virtual void AwaitAcknowledgement(const EdisMessage &message,
                                      unsigned long long journalTicket,
                                      const QDateTime &receivedAt);
    virtual void AppendLogText(const QString &text,
                               bool newLineFirst,
                               int height,
                               unsigned int colour,
                               bool bold,
                               bool underline);
    // The folder of the running executable (QCoreApplication::applicationDirPath).
    virtual QString GetProgramFolder();
};

// Installs `doors` (null: the base class's answers again) and returns the doors installed
// before. Any thread; the doors go on answering calls that found them before, so they must
// outlive every thread that may still be inside one of them.
Doors *InstallDoors(Doors *doors);

// Installs `doors` for the lifetime of this object, then puts back what was installed before.
class ScopedDoors
{
public:
    explicit ScopedDoors(Doors &doors);
    ~ScopedDoors();
    ScopedDoors(const ScopedDoors &) = delete;
    ScopedDoors &operator=(const ScopedDoors &) = delete;

private:
    Doors *m_previous;
};

// The application's service objects. GUI thread only; valid while the application object lives.
MessageReceiver &GetReceiver();
FilterSettings &GetFilterSettings();
SerialPort &GetInPort();
SerialPort &GetOutPort();
GeneralSettings &GetGeneralSettings();
// Null when no journal is kept. GUI thread only.
Journal *GetJournal();

// One line in the log: "Error:->" / "Warning:->" directly followed by the text.
// Callable from any thread. On the GUI thread the line is appended at once; from any other
// thread it is handed to the GUI thread and the caller goes on without waiting.
void LogError(const QString &text);
void LogWarning(const QString &text);

// Shows a passed message in the log as its four lines. GUI thread only.
void ShowMessage(const EdisMessage &message);
// A passed message that waits for an operator's acknowledgement from now on, kept in the
// journal under `journalTicket` (0: not kept). Called before ShowMessage, so that the message's
// notification can offer to acknowledge it. GUI thread only.
void AwaitAcknowledgement(const EdisMessage &message,
                          unsigned long long journalTicket,
                          const QDateTime &receivedAt);

// The folder of the running executable, without a trailing separator.
QString GetProgramFolder();

// Appends `text` to the log in the given style: height in twips, colour with red in the low
// byte, then green, then blue. GUI thread only; nothing happens while there is no log.
void AppendLogText(const QString &text,
                   bool newLineFirst,
                   int height,
                   unsigned int colour,
                   bool bold,
                   bool underline);
