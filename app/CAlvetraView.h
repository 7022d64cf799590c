#pragma once

#include "LineWatch.h"

#include <QMarginsF>
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
// GUI thread only, but for AppendErrorLine/AppendWarningLine below.
class CAlvetraView : public QTextEdit
{
    Q_OBJECT

public:
    explicit CAlvetraView(CAlvetraDoc *document, QWidget *parent = nullptr);
    ~CAlvetraView() override;

    CAlvetraDoc *GetDocument() const { return m_document; }

    // Runs at start-up and for every new or opened log: title, read-only, margins, ports.
    void OnInitialUpdate();

    // Appends `text` at the end of the log in the given style; height in twips. The user's
    // selection stays; the view follows the new line only when it showed the end already.
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
    // Serial port `portNumber` failed; a message it had begun is discarded.
    Q_INVOKABLE void OnSerialLineLost(int portNumber);

    // The log keeps at most this many characters; beyond it the oldest lines go in one
    // chunk, with a warning line. Removing lines at the top makes the text layout place every
    // remaining line again, which holds the GUI thread for about a quarter of a second per
    // million characters left: a million characters (some two thousand messages) keeps that
    // pause short, where the old rich-edit limit of 16,777,215 would stall it for seconds.
    static constexpr int kDefaultCapacity = 1'000'000;
    int Capacity() const { return m_capacity; }
    void SetCapacity(int characters);

    // The silence alarm and the words of the status panes, for the lines SetUpPorts opened.
    LineWatch &Watch() { return m_lineWatch; }
    const LineWatch &Watch() const { return m_lineWatch; }

    // Page margins for printing the log, in points: 720 twips on each side.
    static constexpr int kPrintMarginTwips = 720;
    QMarginsF PrintMargins() const { return m_printMargins; }

    void OnTestFile();
    void OnFilterSettings();
    void OnGeneralSettings();

private:
    // Configures, opens and starts the input port, and the output port when it is switched on.
    void SetUpPorts();
    void SetUpPort(SerialPort &port, int number, const QString &failure);

    // True when lines had to be removed.
    bool TrimToCapacity();

    CAlvetraDoc *m_document;
    int m_capacity = kDefaultCapacity;
    bool m_trimming = false;
    bool m_followEnd = true;
    // The format of the last append and the log's length behind it.
    QTextCharFormat m_lastFormat;
    int m_lastFormatEnd = -1;
    QMarginsF m_printMargins;
    LineWatch m_lineWatch;
};

// The one log view, or null while no main window exists.
CAlvetraView *GetLogView();

// An error or a warning line ("Error:->" / "Warning:->" and the text) at the end of the log.
// Callable from any thread: on the GUI thread the line is appended at once, from any other it
// is handed to the GUI thread and the caller goes on without waiting; the lines keep the order
// of the calls. On standard error while there is no log.
void AppendErrorLine(const QString &text);
void AppendWarningLine(const QString &text);
