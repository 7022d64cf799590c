#pragma once

#include <QByteArray>
#include <QDateTime>

#include <chrono>
#include <functional>
#include <memory>

// Cuts the byte stream of the input line into messages: SOH opens a message, every byte after
// it up to and including EOT is collected, and at the EOT the collected message is handed on.
// GUI thread only; fed one byte at a time in arrival order.
class MessageReceiver
{
public:
    // Called with the collected message (everything after the SOH, EOT included) before the
    // buffer is cleared, and the time its EOT was read. The application hands it to
    // ProcessMessage (judge, log, dispatch).
    using MessageHandler
        = std::function<void(const QByteArray &message, const QDateTime &receivedAt)>;

    // Why a message that had begun was given up before its EOT.
    enum class DropReason {
        TooLong,    // it reached kMaxMessageLength
        LineLost,   // the line broke
        InputBound, // bytes of it were dropped before they reached the receiver
        Silence,    // the line fell silent inside it
    };
    // Called with what had been collected of a message given up (everything after the SOH),
    // why, and when the last bytes fed were read. The application keeps it in the journal.
    using DropHandler
        = std::function<void(const QByteArray &partial, DropReason reason, const QDateTime &at)>;

    // The longest message, closing EOT included. EDIS messages are a few kilobytes at most;
    // the bound only stops a line that opens a message and never closes it from eating the
    // memory. On reaching it the partial message is discarded with a warning line and the
    // receiver waits for the next SOH.
    static constexpr qsizetype kMaxMessageLength = 1024 * 1024;

    explicit MessageReceiver(MessageHandler handler = {});
    virtual ~MessageReceiver() = default;
    Q_DISABLE_COPY_MOVE(MessageReceiver)

    // `ch` is one received byte, 0 to 255. A SOH inside a message is data.
    void ProcessChar(int ch)
    {
        // A byte inside a message is by far the most common case; it stays in the caller's
        // loop, one comparison and one store.
        if (m_state == State::Collecting && ch != kEot && m_length + 1 < m_storageSize) {
            m_storage[m_length++] = char(ch);
            return;
        }
        ProcessBoundary(ch);
    }

    void SetMessageHandler(MessageHandler handler) { m_handler = std::move(handler); }
    void SetDropHandler(DropHandler handler) { m_dropHandler = std::move(handler); }

    // When the bytes fed from now on were read from the line; the time a message is handed on
    // with. A message left open across a silence of kFragmentSilence (by these times) was cut
    // by a line that died quietly (a receiver switched off, a cable cut on a real UART, no
    // device error): it is dropped with one warning line, so that the next message's SOH is
    // not taken as data inside it.
    void SetArrivalTime(const QDateTime &readAt);
    static constexpr std::chrono::milliseconds kFragmentSilence{10000};
    // Replaces kFragmentSilence, so a test need not wait ten seconds.
    void SetFragmentSilence(std::chrono::milliseconds silence) { m_fragmentSilence = silence; }

    // What has been collected of a message will never be completed (the line broke, bytes
    // were lost, the line fell silent), and the next message's SOH would otherwise be taken as
    // data inside it. Hands a begun message to the drop handler and waits for the next SOH.
    void DiscardMessage(DropReason reason = DropReason::LineLost);

private:
    enum class State : qint32 { Idle = 0, Collecting = 1 };
    static constexpr int kSoh = 0x01;
    static constexpr int kEot = 0x04;

    // SOH and EOT, the bound, growth of the buffer, and a state that should not be.
    void ProcessBoundary(int ch);
    void Grow();
    void ProcessMessage();

    State m_state = State::Idle;
    // The message collected so far is the first m_length bytes of m_storage; the storage
    // grows by doubling up to the bound and is kept for the next message.
    std::unique_ptr<char[]> m_storage;
    qsizetype m_storageSize = 0;
    qsizetype m_length = 0;
    MessageHandler m_handler;
    DropHandler m_dropHandler;
    QDateTime m_arrival;
    std::chrono::milliseconds m_fragmentSilence = kFragmentSilence;
};
