// The doors between the floors. The lower libraries (receiver/, settings/, serial/) reach the
// application only through these functions; app/ defines them. Nothing here includes a window
// class, so the core stays free of QtWidgets.
#pragma once

class QString;
class MessageReceiver;
class FilterSettings;
class SerialPort;
class GeneralSettings;
struct EdisMessage;

// The application's service objects. GUI thread only; valid while the application object lives.
MessageReceiver &GetReceiver();
FilterSettings &GetFilterSettings();
SerialPort &GetInPort();
SerialPort &GetOutPort();
GeneralSettings &GetGeneralSettings();

// One line in the log: "Error:->" / "Warning:->" directly followed by the text.
// Callable from any thread. On the GUI thread the line is appended at once; from any other
// thread it is handed to the GUI thread and the caller goes on without waiting.
void LogError(const QString &text);
void LogWarning(const QString &text);

// Shows a passed message in the log as its four lines. GUI thread only.
void ShowMessage(const EdisMessage &message);

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
