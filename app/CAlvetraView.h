#pragma once

#include <QTextEdit>

class CAlvetraDoc;
class SerialPort;
struct EdisMessage;

// Colours as the log stores them: red in the low byte, then green, then blue.
using Colour = quint32;
constexpr Colour Rgb(int red, int green, int blue)
{
    return Colour(red) | (Colour(green) << 8) | (Colour(blue) << 16);
}

// The log: a read-only rich-text view of the document, to which passed messages, errors and
// warnings are appended. It is also where received bytes are handed to the receiver.
// GUI thread only, but for LogError/LogWarning (doors/Doors.h).
class CAlvetraView : public QTextEdit
{
    Q_OBJECT

public:
    explicit CAlvetraView(CAlvetraDoc *document, QWidget *parent = nullptr);
    ~CAlvetraView() override;

    CAlvetraDoc *GetDocument() const { return m_document; }

    // Runs at start-up and for every new or opened log: title, read-only, margins, ports.
    void OnInitialUpdate();

    // Appends `text` at the end of the log in the given style; height in twips.
    void AppendText(const QString &text,
                    bool newLineFirst,
                    int height,
                    Colour colour,
                    bool bold,
                    bool underline);
    // The four lines of a passed message: headline, header, trailer, body.
    void ShowMessage(const EdisMessage &message);

    // One byte from serial port `portNumber`: -1 (dropped) unless it is the input port.
    int OnSerialByte(int byte, int portNumber);
    // A run of bytes a serial port's thread read at once, fed to OnSerialByte one by one
    // while that thread waits.
    Q_INVOKABLE void OnSerialBytes(const QByteArray &bytes, int portNumber);

    void OnTestFile();
    void OnFilterSettings();
    void OnGeneralSettings();

private:
    // Configures, opens and starts the input port, and the output port when it is switched on.
    void SetUpPorts();
    void SetUpPort(SerialPort &port, int number, const QString &failure);

    CAlvetraDoc *m_document;
};

// The one log view, or null while no main window exists.
CAlvetraView *GetLogView();
