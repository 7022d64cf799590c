#include "MsgReciever.h"

#include "doors/Doors.h"

#include <QString>

#include <algorithm>
#include <cstring>

MessageReceiver::MessageReceiver(MessageHandler handler)
    : m_handler(std::move(handler))
{}

void MessageReceiver::SetArrivalTime(const QDateTime &readAt)
{
    // Within a message on a live line nothing changes: a SOH inside it stays data.
    if (m_state == State::Collecting && m_arrival.isValid() && readAt.isValid()
        && m_arrival.msecsTo(readAt) >= m_fragmentSilence.count()) {
        LogWarning(QStringLiteral("No byte came on the input line for %1 seconds inside a "
                                  "message: it was cut off, and its %2 bytes were dropped.")
                       .arg(m_arrival.msecsTo(readAt) / 1000)
                       .arg(m_length + 1));
        DiscardMessage(DropReason::Silence);
    }
    m_arrival = readAt;
}

void MessageReceiver::ProcessBoundary(int ch)
{
    switch (m_state) {
    case State::Idle:
        if (ch == kSoh)
            m_state = State::Collecting;
        return;
    case State::Collecting:
        if (ch != kEot && m_length + 1 >= kMaxMessageLength) {
            LogWarning(QStringLiteral("Message longer than %1 bytes without EOT. Discarding it")
                           .arg(kMaxMessageLength));
            if (m_dropHandler)
                m_dropHandler(QByteArray(m_storage.get(), m_length), DropReason::TooLong,
                              m_arrival);
            // A line that never closes its message must not keep a mebibyte for ever.
            m_storage.reset();
            m_storageSize = 0;
            m_length = 0;
            m_state = State::Idle;
            return;
        }
        if (m_length + 1 >= m_storageSize)
            Grow();
        m_storage[m_length++] = char(ch);
        if (ch == kEot) {
            ProcessMessage();
            // Only now: the handler reads the message for the whole display and dispatch.
            m_length = 0;
            m_state = State::Idle;
        }
        return;
    }
    LogError(QStringLiteral("invalid state reached at %1 %2").arg("MsgReciever").arg(73));
    m_length = 0;
    m_state = State::Idle;
}

void MessageReceiver::DiscardMessage(DropReason reason)
{
    if (m_state == State::Collecting && m_dropHandler)
        m_dropHandler(QByteArray(m_storage.get(), m_length), reason, m_arrival);
    m_length = 0;
    m_state = State::Idle;
}

void MessageReceiver::Grow()
{
    constexpr qsizetype kFirstSize = 512;
    const qsizetype size = std::min(kMaxMessageLength, std::max(kFirstSize, 2 * m_storageSize));
    auto storage = std::make_unique<char[]>(size);
    if (m_length > 0)
        std::memcpy(storage.get(), m_storage.get(), size_t(m_length));
    m_storage = std::move(storage);
    m_storageSize = size;
}

void MessageReceiver::ProcessMessage()
{
    if (m_handler)
        m_handler(QByteArray(m_storage.get(), m_length), m_arrival);
}
