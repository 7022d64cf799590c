#include "SerialPort.h"

#include "SerialLine.h"
#include "settings/GeneralSettings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>

namespace {

using namespace std::chrono_literals;

// How long a stop waits for the thread before it delivers the hand-offs that piled up.
constexpr auto kStopSlice = 5ms;

} // namespace

SerialPort::SerialPort()
    : m_gate(std::make_unique<QObject>())
{}

SerialPort::~SerialPort()
{
    StopThread();
}

void SerialPort::Configure(QObject *owner,
                           int portNumber,
                           int baud,
                           char parity,
                           int dataBits,
                           int stopBits,
                           int eventMask,
                           int outBufferSize)
{
    m_owner = owner;
    m_handOff = QMetaMethod();
    m_lineLost = QMetaMethod();
    if (owner) {
        const QMetaObject *meta = owner->metaObject();
        const int index = meta->indexOfMethod("OnSerialBytes(QByteArray,int)");
        if (index >= 0)
            m_handOff = meta->method(index);
        const int lost = meta->indexOfMethod("OnSerialLineLost(int)");
        if (lost >= 0)
            m_lineLost = meta->method(lost);
    }
    m_settings = {portNumber, baud, parity, dataBits, stopBits, eventMask};
    m_outBufferSize = outBufferSize;
}

bool SerialPort::OpenPort()
{
    StopThread();
    auto line
        = std::make_unique<Line>(*this, SerialDeviceForPort(m_settings.portNumber), m_settings);
    line->start();
    if (!line->WaitForOpen())
        return false; // the thread has ended by itself
    m_thread = std::move(line);
    return true;
}

bool SerialPort::StartThread()
{
    if (!m_thread)
        return false;
    m_thread->Go();
    return true;
}

void SerialPort::QueueWrite(const QByteArray &text)
{
    if (m_thread)
        m_thread->Queue(text);
}

void SerialPort::StopThread()
{
    if (!m_thread)
        return;
    m_thread->RequestStop();
    // The thread may sit in a hand-off that only this thread can complete.
    while (!m_thread->wait(QDeadlineTimer(kStopSlice)))
        QCoreApplication::sendPostedEvents(m_gate.get(), QEvent::MetaCall);
    m_thread.reset();
}

bool SerialPort::IsRunning() const
{
    return m_thread && m_thread->isRunning();
}

bool SerialPort::IsDeviceOpen() const
{
    return m_thread && m_thread->IsDeviceOpen();
}

void SerialPort::Deliver(const QByteArray &bytes, int portNumber)
{
    if (m_owner && m_handOff.isValid())
        m_handOff.invoke(m_owner.data(), Qt::DirectConnection, Q_ARG(QByteArray, bytes),
                         Q_ARG(int, portNumber));
}

void SerialPort::DeliverLineLost(int portNumber)
{
    if (m_owner && m_lineLost.isValid())
        m_lineLost.invoke(m_owner.data(), Qt::DirectConnection, Q_ARG(int, portNumber));
}

QDateTime SerialPort::ReconnectingSince() const
{
    const qint64 since = m_thread ? m_thread->ReconnectingSince() : 0;
    return since != 0 ? QDateTime::fromMSecsSinceEpoch(since) : QDateTime();
}
