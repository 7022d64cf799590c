#pragma once

#include <QByteArray>

#include <functional>

// Cuts the byte stream of the input line into messages: SOH opens a message, every byte after
// it up to and including EOT is collected, and at the EOT the collected message is handed on.
// GUI thread only; fed one byte at a time in arrival order.
class MessageReceiver
{
public:
    // Called with the collected message (everything after the SOH, EOT included) before the
    // buffer is cleared. The application hands it to ProcessMessage (judge, log, dispatch).
    using MessageHandler = std::function<void(const QByteArray &message)>;

    // The longest message, closing EOT included. EDIS messages are a few kilobytes at most;
    // the bound only stops a line that opens a message and never closes it from eating the
    // memory. On reaching it the partial message is discarded with a warning line and the
    // receiver waits for the next SOH.
    static constexpr qsizetype kMaxMessageLength = 1024 * 1024;

    explicit MessageReceiver(MessageHandler handler = {});
    virtual ~MessageReceiver() = default;

    // `ch` is one received byte, 0 to 255. A SOH inside a message is data.
    void ProcessChar(int ch);

    void SetMessageHandler(MessageHandler handler) { m_handler = std::move(handler); }

private:
    enum class State : qint32 { Idle = 0, Collecting = 1 };

    void ProcessMessage();

    State m_state = State::Idle;
    QByteArray m_buffer;
    MessageHandler m_handler;
};
