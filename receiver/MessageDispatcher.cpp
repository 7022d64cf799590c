#include "MessageDispatcher.h"

#include "EdisMessage.h"
#include "PrintText.h"
#include "doors/Doors.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <QThread>

#include <algorithm>

using namespace std::chrono_literals;

void MessageDispatcher::Dispatch()
{
    PlayPassedSound();
    // Read at each dispatch, so a switch changed in the dialog applies to the next message.
    const GeneralSettings &settings = GetGeneralSettings();
    if (settings.m_sendToFile != 0)
        WriteToFile();
    if (settings.m_sendToPort != 0)
        SendToPort();
    if (settings.m_sendToPrinter != 0)
        PrintMessage();
}

void MessageDispatcher::SendToPort()
{
    SerialPort &port = GetOutPort();
    const QByteArray &text = m_message->m_outputText;
    const std::vector<PortPiece> pieces = PlanPortPieces(
        text.size(), port.OutBufferSize(), BoundedRecoverTime(GetGeneralSettings().m_recoverTime));
    if (pieces.empty()) {
        LogError(
            QStringLiteral("Output buffer for OutSerialPort is too small. cannot send message"));
        return;
    }
    for (const PortPiece &piece : pieces) {
        // The piece goes with its length, so zero bytes of the message are forwarded too.
        port.QueueWrite(text.mid(piece.start, piece.length));
        // The port replaces its out buffer with the next piece, so the line must have sent
        // this one first. The pause holds the GUI thread on purpose: the input port's thread
        // waits for us, so no byte of the next message is lost meanwhile, and no later
        // message's pieces can overtake this one's on the output line.
        if (piece.pause > 0ms)
            QThread::msleep(static_cast<unsigned long>(piece.pause.count()));
    }
}

void MessageDispatcher::PrintMessage()
{
    const QByteArray text = MessagePrintText(*m_message);
    PrintText(text.constData(), text.size());
}

QByteArray MessagePrintText(const EdisMessage &message)
{
    return '\n' + MessageLines(message, "\n");
}

std::chrono::milliseconds BoundedRecoverTime(int storedMilliseconds)
{
    return std::clamp(std::chrono::milliseconds(storedMilliseconds), 0ms, kMaxRecoverTime);
}

std::vector<PortPiece>
PlanPortPieces(qsizetype total, int outBufferSize, std::chrono::milliseconds recoverTime)
{
    std::vector<PortPiece> pieces;
    // A port never set up has an out buffer of 0; it would not even hold the framing.
    if (outBufferSize < 5 || total < 0)
        return pieces;
    const qsizetype piece = outBufferSize - 2;
    pieces.reserve(static_cast<size_t>(total / piece + 1));
    qsizetype start = 0;
    while (start + piece <= total) {
        pieces.push_back({start, piece, recoverTime});
        start += piece;
    }
    // The rest goes even when empty: the peer has always seen a write after the last full
    // piece.
    pieces.push_back({start, total - start, 0ms});
    return pieces;
}
