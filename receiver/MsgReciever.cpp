#include "MsgReciever.h"

MessageReceiver::MessageReceiver(MessageHandler handler)
    : m_handler(std::move(handler))
{}

void MessageReceiver::ProcessChar(int ch)
{
    constexpr int kIdle = 0;
    constexpr int kCollecting = 1;
    constexpr char kSoh = 0x01;
    constexpr char kEot = 0x04;
    const char byte = static_cast<char>(ch);
    if (m_state == kIdle) {
        if (byte == kSoh)
            m_state = kCollecting;
        return;
    }
    m_buffer.append(byte);
    if (byte == kEot) {
        ProcessMessage();
        m_buffer.clear();
        m_state = kIdle;
    }
}

void MessageReceiver::ProcessMessage()
{
    if (m_handler)
        m_handler(m_buffer);
}
