#pragma once

#include "LineWatch.h"

#include <QMarginsF>
#include <QPlainTextEdit>

#include <functional>
#include <vector>

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
// It lays the log out a line at a time, only around what is in view (QPlainTextEdit keeps every
// character format): a layout of the whole log would have to place millions of lines again each
// time the oldest are removed. GUI thread only, but for AppendErrorLine/AppendWarningLine below.
class CAlvetraView : public QPlainTextEdit
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
    // The four lines of a passed message: headline, header, trailer, body. A trim they make
    // necessary comes after all four, and never removes any of them.
    void ShowMessage(const EdisMessage &message);

    // One byte from serial port `portNumber`: -1 (dropped) unless it is the input port.
    int OnSerialByte(int byte, int portNumber);
    // A run of bytes a serial port's thread read at once, at `readAt`, fed to OnSerialByte one
    // by one.
    Q_INVOKABLE void
    OnSerialBytes(const QByteArray &bytes, int portNumber, const QDateTime &readAt);
    // Serial port `portNumber` failed; a message it had begun is discarded.
    Q_INVOKABLE void OnSerialLineLost(int portNumber, const QDateTime &at);
    // The input queue dropped `count` bytes while the window could not keep up; the message
    // they cut is discarded.
    Q_INVOKABLE void OnSerialBytesDropped(int portNumber, qint64 count, const QDateTime &at);
    // Serial port `portNumber` came back, was lost (a line that reads nothing), stopped
    // draining or drained again (SerialPort::LineEvent): kept in the journal.
    Q_INVOKABLE void
    OnSerialLineEvent(int portNumber, int event, const QString &detail, const QDateTime &at);
    // What became of the forwarded message whose journal ticket is `tag`.
    Q_INVOKABLE void OnSerialMessageDone(
        int portNumber, quint64 tag, bool sent, const QString &result, const QDateTime &at);

    // While an opened file replaces the log, the lines to append wait, in order, and follow the
    // opened text once it is whole. Nothing else waits: a message's other outputs run at once.
    void HoldLines();
    void ReleaseLines();

    // The log keeps at most this many characters, the old rich-edit limit (some 36,000
    // messages); beyond it the oldest twentieth goes in one chunk, with a warning line. What a
    // trim costs grows with what it removes, not with what stays: a twentieth of a full log
    // holds a trim near a hundredth of a second, and still comes only every 1,800 messages.
    static constexpr int kDefaultCapacity = 16'777'215;
    static constexpr int kTrimShare = 20;
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

protected:
    // The selection as the clipboard gets it (copy, drag, X11's primary selection): rich text
    // up to SelectionCopy::kRichCopyLimit characters, plain text read in slices beyond
    // (CAlvetraViewCopy.cpp).
    QMimeData *createMimeDataFromSelection() const override;

private:
    // Configures, opens and starts the input port, and the output port when it is switched on.
    void SetUpPorts();
    void SetUpPort(SerialPort &port, int number, const QString &failure);

    // The user's selection before an append, as positions in the log.
    struct Selection
    {
        int anchor;
        int position;
    };

    // Where a line appended now begins: behind its line break, or at the start of the last line
    // that it continues.
    int StartOfNextLine(bool newLineFirst) const;
    // Inserts one line at the end of the log, without trimming it.
    void InsertLine(const QString &text,
                    bool newLineFirst,
                    int height,
                    Colour colour,
                    bool bold,
                    bool underline);
    // Removes the oldest lines when the log is over its capacity, but none from `keepFrom` on,
    // and writes the warning line; the user's view and selection stay on the lines they were
    // on. `user` is the user's selection before the append.
    void TrimToCapacity(int keepFrom, Selection user);

    CAlvetraDoc *m_document;
    int m_capacity = kDefaultCapacity;
    bool m_followEnd = true;
    // The format of the last append and the log's length behind it.
    QTextCharFormat m_lastFormat;
    int m_lastFormatEnd = -1;
    QMarginsF m_printMargins;
    LineWatch m_lineWatch;
    bool m_holding = false;
    std::vector<std::function<void()>> m_held;
};

// The one log view, or null while no main window exists.
CAlvetraView *GetLogView();

// An error or a warning line ("Error:->" / "Warning:->" and the text) at the end of the log.
// Callable from any thread: on the GUI thread the line is appended at once, from any other it
// is handed to the GUI thread and the caller goes on without waiting; the lines keep the order
// of the calls. On standard error while there is no log.
void AppendErrorLine(const QString &text);
void AppendWarningLine(const QString &text);
