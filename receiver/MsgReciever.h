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

    explicit MessageReceiver(MessageHandler handler = {});
    virtual ~MessageReceiver() = default;

    void ProcessChar(int ch);

    void SetMessageHandler(MessageHandler handler) { m_handler = std::move(handler); }

private:
    void ProcessMessage();

    int m_state = 0;
    QByteArray m_buffer;
    MessageHandler m_handler;
};
