#include "MessageDispatcher.h"

#include "PassedHook.h"
#include "PrintQueue.h"
#include "PrintText.h"
#include "doors/Doors.h"
#include "hooks/PassedMessageHook.h"
#include "journal/Journal.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <algorithm>

using namespace std::chrono_literals;

void MessageDispatcher::Dispatch()
{
    PlayPassedSound();
    RecordOutput(int(JournalOutputKind::Sound), true, QStringLiteral("played"));
    // Read at each dispatch, so a switch changed in the dialog applies to the next message.
    const GeneralSettings &settings = GetGeneralSettings();
    LaterOutputs later{settings.m_sendToPort != 0, settings.m_sendToPrinter != 0,
                       settings.m_onPassed};
    // A message fed without a line (the Test menu's file) arrives now, not once its file is in.
    const QDateTime arrival
        = m_receivedAt.isValid() ? m_receivedAt : QDateTime::currentDateTimeUtc();
    QString path;
    if (settings.m_sendToFile != 0)
        path = GetProgramFolder() + QStringLiteral("/Received/")
               + MessageFileName(m_message->m_header);
    // The output line, the printer and the command wait for the file and for every earlier
    // message's outputs: a slow disk delays them but never lets a later message's bytes out
    // first, nor the far end a message whose file is not there. The copy shares the message's
    // bytes.
    auto rest = [message = *m_message, arrival, ticket = m_journalTicket, later,
                 path](const ReceivedFileResult *filed) mutable {
        MessageDispatcher dispatcher(&message, arrival);
        dispatcher.SetJournalTicket(ticket);
        const QString file = filed != nullptr ? dispatcher.KeepFileResult(path, *filed) : QString();
        dispatcher.RunLaterOutputs(file, later);
    };
    if (path.isEmpty()) {
        AfterReceivedFiles([rest = std::move(rest)]() mutable { rest(nullptr); });
        return;
    }
    QueueReceivedFile(
        GetProgramFolder() + QStringLiteral("/Received"), path, MessageFileContent(*m_message),
        [rest = std::move(rest)](const ReceivedFileResult &filed) mutable { rest(&filed); });
}

void MessageDispatcher::RunLaterOutputs(const QString &file, const LaterOutputs &later)
{
    if (later.m_port) {
        const bool queued = SendToPort();
        RecordOutput(int(JournalOutputKind::OutputLine), queued,
                     queued ? QStringLiteral("queued") : QStringLiteral("refused"));
    }
    if (later.m_printer) {
        const bool queued = PrintMessage();
        RecordOutput(int(JournalOutputKind::Printer), queued,
                     queued ? QStringLiteral("queued for the default printer")
                            : QStringLiteral("refused: too many jobs waiting"));
    }
    if (!later.m_onPassed.isEmpty())
        RunPassedHook(*m_message, {m_receivedAt, GetInPort().PortNumber(), file, m_journalTicket});
}

void MessageDispatcher::RecordOutput(int kind,
                                     bool ok,
                                     const QString &result,
                                     const QDateTime &at) const
{
    if (m_journalTicket == 0)
        return;
    if (Journal *journal = GetJournal())
        journal->RecordOutput({m_journalTicket, JournalOutputKind(kind),
                               at.isValid() ? at : QDateTime::currentDateTimeUtc(), ok, result});
}

bool MessageDispatcher::SendToPort()
{
    SerialPort &port = GetOutPort();
    const QByteArray &text = m_message->m_outputText;
    const std::vector<PortPiece> pieces = PlanPortPieces(
        text.size(), port.OutBufferSize(), BoundedRecoverTime(GetGeneralSettings().m_recoverTime));
    if (pieces.empty()) {
        LogError(
            QStringLiteral("Output buffer for OutSerialPort is too small. cannot send message"));
        return false;
    }
    // The pieces go with their lengths, so zero bytes of the message are forwarded too. The
    // port's thread keeps the pauses: the far end's buffer takes one piece at a time.
    std::vector<SerialPort::Piece> writes;
    writes.reserve(pieces.size());
    for (const PortPiece &piece : pieces)
        writes.push_back({text.mid(piece.start, piece.length), piece.pause});
    return port.QueueMessage(std::move(writes), m_journalTicket);
}

bool MessageDispatcher::PrintMessage()
{
    return QueuePrint(MessagePrintText(*m_message), DecodeCp1252(m_message->m_header),
                      m_journalTicket);
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
