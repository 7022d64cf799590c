#include "SerialPort.h"

#include "SerialLine.h"
#include "settings/GeneralSettings.h"

#include "doors/Doors.h"

#include <optional>

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
    const auto method = [owner](const char *signature) {
        const int index = owner ? owner->metaObject()->indexOfMethod(signature) : -1;
        return index >= 0 ? owner->metaObject()->method(index) : QMetaMethod();
    };
    m_handOff = method("OnSerialBytes(QByteArray,int,QDateTime)");
    m_lineLost = method("OnSerialLineLost(int,QDateTime)");
    m_dropped = method("OnSerialBytesDropped(int,qint64,QDateTime)");
    m_lineEvent = method("OnSerialLineEvent(int,int,QString,QDateTime)");
    m_messageDone = method("OnSerialMessageDone(int,quint64,bool,QString,QDateTime)");
    m_settings = {portNumber, baud, parity, dataBits, stopBits, eventMask};
    m_outBufferSize = outBufferSize;
}

bool SerialPort::OpenPort()
{
    StopThread();
    m_deviceName = SerialDeviceForPort(m_settings.portNumber);
    auto line = std::make_unique<Line>(*this, m_deviceName, m_settings);
    line->start();
    if (!line->WaitForOpen()) {
        m_setUpFailed = line->SetUpFailed();
        return false; // the thread has ended by itself
    }
    m_thread = std::move(line);
    return true;
}

void SerialPort::RetryOpen()
{
    StopThread();
    m_deviceName = SerialDeviceForPort(m_settings.portNumber);
    m_thread = std::make_unique<Line>(*this, m_deviceName, m_settings, Line::Start::Absent,
                                      m_setUpFailed);
    m_thread->start();
    m_thread->WaitForOpen();
    m_thread->Go();
}

bool SerialPort::StartThread()
{
    if (!m_thread)
        return false;
    m_thread->Go();
    return true;
}

bool SerialPort::QueueMessage(std::vector<Piece> pieces, quint64 tag)
{
    return m_thread && m_thread->Queue(std::move(pieces), tag);
}

void SerialPort::StopThread()
{
    if (!m_thread)
        return;
    m_thread->RequestStop();
    m_thread->wait();
    const int unsent = m_thread->UnsentMessages();
    for (const quint64 tag : m_thread->UnsentTags())
        MessageDone(tag, false, QStringLiteral("dropped: the port was closed"));
    m_thread.reset();
    // What the line brought before the stop belongs to the log it was read for.
    DeliverAll();
    if (unsent > 0) {
        LogWarning(QStringLiteral("%1 messages queued on the output line COM%2 had not gone out "
                                  "when the port was closed and were dropped.")
                       .arg(unsent)
                       .arg(m_settings.portNumber));
    }
}

bool SerialPort::IsRunning() const
{
    return m_thread && m_thread->isRunning();
}

bool SerialPort::IsDeviceOpen() const
{
    return m_thread && m_thread->IsDeviceOpen();
}

void SerialPort::Received(QByteArray bytes)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_bytesRead.fetch_add(quint64(bytes.size()), std::memory_order_relaxed);
    m_lastReadMSecs.store(now.toMSecsSinceEpoch(), std::memory_order_relaxed);
    if (m_input.PushBytes(std::move(bytes), now))
        Wake();
}

qint64 SerialPort::UnsentBytes() const
{
    return m_thread ? m_thread->UnsentBytes() : 0;
}

std::optional<quint64> SerialPort::Turns() const
{
    if (!m_turning.load(std::memory_order_acquire))
        return std::nullopt;
    return m_turns.load(std::memory_order_acquire);
}

void SerialPort::LineLost()
{
    if (m_input.PushLineLost(QDateTime::currentDateTimeUtc()))
        Wake();
}

void SerialPort::Notify(LineEvent event, const QString &detail)
{
    InputQueue::Run run;
    run.kind = InputQueue::Run::Kind::Event;
    run.at = QDateTime::currentDateTimeUtc();
    run.event = int(event);
    run.text = detail;
    if (m_input.PushNotice(std::move(run)))
        Wake();
}

void SerialPort::MessageDone(quint64 tag, bool sent, const QString &result)
{
    if (tag == 0)
        return;
    InputQueue::Run run;
    run.kind = InputQueue::Run::Kind::MessageDone;
    run.at = QDateTime::currentDateTimeUtc();
    run.tag = tag;
    run.sent = sent;
    run.text = result;
    if (m_input.PushNotice(std::move(run)))
        Wake();
}

void SerialPort::Log(bool error, const QString &text)
{
    InputQueue::Run run;
    run.kind = InputQueue::Run::Kind::Log;
    run.at = QDateTime::currentDateTimeUtc();
    run.event = error ? 1 : 0;
    run.text = text;
    if (m_input.PushNotice(std::move(run)))
        Wake();
}

void SerialPort::Wake()
{
    QMetaObject::invokeMethod(
        m_gate.get(), [this] { DeliverNext(); }, Qt::QueuedConnection);
}

void SerialPort::DeliverNext()
{
    // A nested event loop inside a hand-off (a dialog, say) finds this event too; the outer
    // hand-off goes on with the next run once it has returned.
    if (m_delivering)
        return;
    std::optional<InputQueue::Run> run = m_input.Take();
    if (!run)
        return;
    Deliver(*run);
    // One run an event: whatever else the window has to do comes between.
    Wake();
}

void SerialPort::DeliverAll()
{
    while (std::optional<InputQueue::Run> run = m_input.Take())
        Deliver(*run);
}

void SerialPort::Deliver(const InputQueue::Run &run)
{
    // The log is no hand-off to the owner: its lines are written owner or not.
    if (run.kind == InputQueue::Run::Kind::Log) {
        if (run.event != 0)
            LogError(run.text);
        else
            LogWarning(run.text);
        return;
    }
    if (!m_owner)
        return;
    m_delivering = true;
    const int number = m_settings.portNumber;
    switch (run.kind) {
    case InputQueue::Run::Kind::Bytes:
        if (m_handOff.isValid())
            m_handOff.invoke(m_owner.data(), Qt::DirectConnection, Q_ARG(QByteArray, run.bytes),
                             Q_ARG(int, number), Q_ARG(QDateTime, run.at));
        break;
    case InputQueue::Run::Kind::LineLost:
        if (m_lineLost.isValid())
            m_lineLost.invoke(m_owner.data(), Qt::DirectConnection, Q_ARG(int, number),
                              Q_ARG(QDateTime, run.at));
        break;
    case InputQueue::Run::Kind::Dropped:
        if (m_dropped.isValid())
            m_dropped.invoke(m_owner.data(), Qt::DirectConnection, Q_ARG(int, number),
                             Q_ARG(qint64, run.dropped), Q_ARG(QDateTime, run.at));
        break;
    case InputQueue::Run::Kind::Event:
        if (m_lineEvent.isValid())
            m_lineEvent.invoke(m_owner.data(), Qt::DirectConnection, Q_ARG(int, number),
                               Q_ARG(int, run.event), Q_ARG(QString, run.text),
                               Q_ARG(QDateTime, run.at));
        break;
    case InputQueue::Run::Kind::MessageDone:
        if (m_messageDone.isValid())
            m_messageDone.invoke(m_owner.data(), Qt::DirectConnection, Q_ARG(int, number),
                                 Q_ARG(quint64, run.tag), Q_ARG(bool, run.sent),
                                 Q_ARG(QString, run.text), Q_ARG(QDateTime, run.at));
        break;
    case InputQueue::Run::Kind::Log:
        break;
    }
    m_delivering = false;
}

QDateTime SerialPort::ReconnectingSince() const
{
    const qint64 since = m_thread ? m_thread->ReconnectingSince() : 0;
    return since != 0 ? QDateTime::fromMSecsSinceEpoch(since) : QDateTime();
}

QDateTime SerialPort::RefusingSince() const
{
    const qint64 since = m_thread ? m_thread->RefusingSince() : 0;
    return since != 0 ? QDateTime::fromMSecsSinceEpoch(since) : QDateTime();
}

int SerialPort::NotForwarded() const
{
    return m_thread ? m_thread->NotForwarded() : 0;
}
