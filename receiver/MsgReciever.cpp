#include "MsgReciever.h"

#include "doors/Doors.h"

#include <QString>

namespace {

constexpr char kSoh = 0x01;
constexpr char kEot = 0x04;

} // namespace

MessageReceiver::MessageReceiver(MessageHandler handler)
    : m_handler(std::move(handler))
{}

void MessageReceiver::ProcessChar(int ch)
{
    const char byte = static_cast<char>(ch);
    switch (m_state) {
    case State::Idle:
        if (byte == kSoh)
            m_state = State::Collecting;
        return;
    case State::Collecting:
        if (byte == kEot) {
            m_buffer.append(byte);
            ProcessMessage();
            // Only now: the handler reads the buffer for the whole display and dispatch. The
            // capacity stays for the next message.
            m_buffer.resize(0);
            m_state = State::Idle;
            return;
        }
        if (m_buffer.size() + 1 >= kMaxMessageLength) {
            LogWarning(QStringLiteral("Message longer than %1 bytes without EOT. Discarding it")
                           .arg(kMaxMessageLength));
            m_buffer.clear();
            m_state = State::Idle;
            return;
        }
        m_buffer.append(byte);
        return;
    }
    LogError(QStringLiteral("invalid state reached at %1 %2").arg("MsgReciever").arg(73));
    m_buffer.clear();
    m_state = State::Idle;
}

void MessageReceiver::ProcessMessage()
{
    if (m_handler)
        m_handler(m_buffer);
}
