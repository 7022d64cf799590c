#include "SerialPort.h"

#include "LineSetUp.h"
#include "doors/Doors.h"
#include "settings/GeneralSettings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace {

using namespace std::chrono_literals;

constexpr int kReceivedCharacter = 0x0001;
// How long a stop waits for the thread before it delivers the hand-offs that piled up.
constexpr auto kStopSlice = 5ms;

} // namespace

// The monitoring thread of one opened device. It opens the device itself, so the QSerialPort
// and its notifiers belong to it, then waits for the go of StartThread. When the device fails
// later, the thread lets it go and opens it again by itself (see the header).
class SerialPort::Line : public QThread
{
public:
    Line(SerialPort &port, const QString &deviceName, const LineSettings &settings)
        : m_port(port)
        , m_deviceName(deviceName)
        , m_settings(settings)
    {}

    ~Line() override
    {
        RequestStop();
        wait();
    }

    // GUI thread: whether the device opened and was set up; the failure line is written here
    // so that it comes before the caller's own line.
    bool WaitForOpen()
    {
        m_openDone.acquire();
        if (m_failedCall)
            ReportFailure(m_failedCall, m_failureText, m_settings.portNumber);
        return m_opened;
    }

    // GUI thread: lets the thread read and write, and returns once it has purged what came
    // in since the open, so that every byte arriving afterwards is handed over. A second go
    // would wait for a purge that never comes again.
    void Go()
    {
        if (m_goGiven)
            return;
        m_goGiven = true;
        m_go.release();
        m_started.acquire();
    }

    void RequestStop()
    {
        m_stop = true;
        m_go.release();
        quit();
    }

    // GUI thread.
    void Queue(const QByteArray &text)
    {
        QString stuck;
        {
            QMutexLocker locker(&m_writeLock);
            if (!m_device)
                return;
            if (!m_deviceOpen) {
                ++m_lostWhileGone;
                return;
            }
            if (m_refusing) {
                ++m_refused;
                return;
            }
            // A text alone over the bound still goes on an idle line: the bound is against
            // piling up, and only a line with something unsent can drain again.
            const qint64 unsent = m_queuedBytes + m_deviceUnsent;
            if (unsent > 0 && unsent + text.size() > kMaxUnsentBytes) {
                // Everything is refused until the line has drained, not just what does not
                // fit: pieces let through now and then would reach the far end as fragments.
                m_refusing = true;
                m_refused = 1;
                stuck = QStringLiteral("The output line is not draining: %1 bytes wait unsent. "
                                       "A message was not forwarded, and none will be until "
                                       "the line drains.")
                            .arg(unsent);
            } else {
                m_writes.push_back(text);
                m_queuedBytes += text.size();
                QMetaObject::invokeMethod(
                    m_device, [this] { SendNext(); }, Qt::QueuedConnection);
            }
        }
        if (!stuck.isEmpty())
            ReportFailure("WriteFile()", stuck, m_settings.portNumber);
    }

    bool IsDeviceOpen() const { return m_deviceOpen; }

    // Milliseconds since the epoch, 0 while the device is not being reopened.
    qint64 ReconnectingSince() const { return m_reconnectingSince; }

protected:
    void run() override
    {
        QSerialPort device;
        m_opened = OpenLine(device, m_deviceName, m_settings, &m_failedCall, &m_failureText);
        if (m_opened) {
            QMutexLocker locker(&m_writeLock);
            m_device = &device;
        }
        m_deviceOpen = m_opened;
        m_openDone.release();
        if (!m_opened)
            return;

        m_go.acquire();
        if (!m_stop) {
            Monitor(device);
        } else {
            m_started.release();
        }

        QMutexLocker locker(&m_writeLock);
        m_device = nullptr;
        m_writes.clear();
        m_deviceOpen = false;
        m_reconnectingSince = 0;
    }

private:
    bool HandsOverBytes() const { return m_settings.eventMask & kReceivedCharacter; }

    void Monitor(QSerialPort &device)
    {
        // Whatever arrived between the open and the go is as stale as what came before.
        device.clear(QSerialPort::AllDirections);
        m_started.release();
        connect(&device, &QSerialPort::readyRead, &device, [this, &device] {
            if (HandsOverBytes())
                Drain(device);
            else
                device.readAll(); // see the header: nobody wants them
        });
        connect(&device, &QSerialPort::errorOccurred, &device,
                [this, &device](QSerialPort::SerialPortError error) { OnError(device, error); });
        connect(&device, &QSerialPort::bytesWritten, &device, [this, &device] {
            CountUnsent(device);
            if (device.bytesToWrite() == 0)
                AwaitDrained(device);
        });
        QTimer retry;
        retry.setInterval(kReconnectPeriod);
        connect(&retry, &QTimer::timeout, &device, [this, &device] { TryReopen(device); });
        m_retry = &retry;
        SendNext();
        if (!m_stop)
            exec();
        m_retry = nullptr;
    }

    // Hands each run of bytes that one read brought over in a single blocking call, and
    // reads nothing more until the owner has handled it: a whole message, with its dispatch,
    // holds the line, as the receiver expects. Bytes that arrive meanwhile wait in the driver.
    void Drain(QSerialPort &device)
    {
        while (!m_stop) {
            const QByteArray bytes = device.readAll();
            if (bytes.isEmpty())
                return;
            SerialPort *port = &m_port;
            const int number = m_settings.portNumber;
            QMetaObject::invokeMethod(
                port->m_gate.get(), [port, bytes, number] { port->Deliver(bytes, number); },
                Qt::BlockingQueuedConnection);
        }
    }

    void OnError(QSerialPort &device, QSerialPort::SerialPortError error)
    {
        switch (error) {
        case QSerialPort::ReadError:
        case QSerialPort::ResourceError:
            // A device that hung up keeps its read notifier firing at full speed; let it go at
            // once and say so one time.
            if (!m_failed) {
                m_failed = true;
                ReportFailure("ReadFile()", DescribeError(device), m_settings.portNumber);
                QMetaObject::invokeMethod(
                    &device, [this, &device] { LetGo(device); }, Qt::QueuedConnection);
            }
            break;
        case QSerialPort::WriteError:
            if (!m_failed) {
                ReportFailure("WriteFile()", DescribeError(device), m_settings.portNumber);
                // The text is not retried; what is left of it would only come out cut.
                device.clear(QSerialPort::Output);
                CountUnsent(device);
                m_writing = false;
                QMetaObject::invokeMethod(
                    &device, [this] { SendNext(); }, Qt::QueuedConnection);
            }
            break;
        default:
            break;
        }
    }

    void LetGo(QSerialPort &device)
    {
        if (!device.isOpen())
            return;
        // What was read before the failure still goes to the owner, then the news that the
        // message it belonged to will never be completed.
        if (HandsOverBytes())
            Drain(device);
        device.close();
        m_deviceOpen = false;
        m_writing = false;
        {
            QMutexLocker locker(&m_writeLock);
            m_lostWhileGone = int(m_writes.size());
            m_writes.clear();
            m_queuedBytes = 0;
            m_deviceUnsent = 0;
            m_refusing = false;
        }
        if (HandsOverBytes() && !m_stop) {
            SerialPort *port = &m_port;
            const int number = m_settings.portNumber;
            QMetaObject::invokeMethod(
                port->m_gate.get(), [port, number] { port->DeliverLineLost(number); },
                Qt::BlockingQueuedConnection);
        }
        m_reconnectingSince = QDateTime::currentMSecsSinceEpoch();
        if (m_retry)
            m_retry->start();
    }

    // Tries the configured name afresh each time: a stable name from /dev/serial/by-id is a
    // link that goes on unplug and comes back on replug, perhaps to another device. Silent
    // while the device stays missing or busy; the failure line has been written.
    void TryReopen(QSerialPort &device)
    {
        if (m_stop)
            return;
        const QString name = SerialDeviceForPort(m_settings.portNumber);
        const char *failedCall = nullptr;
        QString failureText;
        if (!OpenLine(device, name, m_settings, &failedCall, &failureText)) {
            // A device that is back but cannot take the settings says so once per outage.
            if (failedCall && !m_setUpReported) {
                m_setUpReported = true;
                ReportFailure(failedCall, failureText, m_settings.portNumber);
            }
            return;
        }
        m_retry->stop();
        m_failed = false;
        m_setUpReported = false;
        m_deviceOpen = true;
        m_reconnectingSince = 0;
        int lost = 0;
        {
            QMutexLocker locker(&m_writeLock);
            std::swap(lost, m_lostWhileGone);
        }
        const QString target = QFileInfo(name).canonicalFilePath();
        const QString shown = target.isEmpty() || target == name
                                  ? name
                                  : QStringLiteral("%1 -> %2").arg(name, target);
        QString back = QStringLiteral("The serial line COM%1 (%2) is back and works again.")
                           .arg(m_settings.portNumber)
                           .arg(shown);
        if (lost > 0)
            back += QStringLiteral(" %1 texts queued on it while it was gone were not sent.")
                        .arg(lost);
        LogWarning(back);
        SendNext();
    }

    // GUI thread reads it in Queue; kept under the lock with the queue so that the sum is
    // consistent.
    void CountUnsent(const QSerialPort &device)
    {
        QMutexLocker locker(&m_writeLock);
        m_deviceUnsent = device.bytesToWrite();
    }

    // The next text goes out only after the previous one has left the device entirely. The
    // purge before it clears the input only: flushing the output would cut what the driver,
    // the UART's FIFO or a pseudo-terminal's far end has not passed on yet.
    void SendNext()
    {
        QSerialPort *device = m_device;
        while (device && device->isOpen() && !m_writing) {
            QByteArray text;
            {
                QMutexLocker locker(&m_writeLock);
                if (m_writes.empty()) {
                    if (m_refusing)
                        ReportDrained(locker);
                    return;
                }
                text = std::move(m_writes.front());
                m_writes.pop_front();
                m_queuedBytes -= text.size();
            }
            device->clear(QSerialPort::Input);
            if (text.isEmpty())
                continue;
            m_writing = true;
            const bool written = device->write(text) == text.size();
            CountUnsent(*device);
            if (!written) {
                m_writing = false;
                ReportFailure("WriteFile()", device->errorString(), m_settings.portNumber);
                device->clear(QSerialPort::Output);
                CountUnsent(*device);
            }
        }
    }

    void ReportDrained(QMutexLocker<QMutex> &locker)
    {
        m_refusing = false;
        const int refused = m_refused;
        locker.unlock();
        LogWarning(QStringLiteral("The output line COM%1 drains again; %2 queued texts were not "
                                  "forwarded while it was stuck.")
                       .arg(m_settings.portNumber)
                       .arg(refused));
    }

    void AwaitDrained(QSerialPort &device)
    {
#ifdef Q_OS_UNIX
        int unsent = 0;
        if (device.isOpen() && ::ioctl(int(device.handle()), TIOCOUTQ, &unsent) == 0
            && unsent > 0) {
            // Ten bits a byte: the time the line needs for what the driver still holds.
            const auto due = std::chrono::milliseconds(
                1 + qint64(unsent) * 10 * 1000 / std::max(1, m_settings.baud));
            QTimer::singleShot(due, &device, [this, &device] { AwaitDrained(device); });
            return;
        }
#else
        Q_UNUSED(device)
#endif
        m_writing = false;
        SendNext();
    }

    SerialPort &m_port;
    const QString m_deviceName;
    const LineSettings m_settings;

    QSemaphore m_openDone;
    QSemaphore m_go;
    QSemaphore m_started;
    // Written by the thread before m_openDone is released, read by the GUI thread after.
    bool m_opened = false;
    const char *m_failedCall = nullptr;
    QString m_failureText;
    // GUI thread only.
    bool m_goGiven = false;

    std::atomic<bool> m_stop = false;
    std::atomic<bool> m_deviceOpen = false;
    std::atomic<qint64> m_reconnectingSince = 0;

    // Guards the queue, its counts and the device pointer that the GUI thread posts write
    // requests to.
    QMutex m_writeLock;
    std::deque<QByteArray> m_writes;
    qint64 m_queuedBytes = 0;  // in m_writes
    qint64 m_deviceUnsent = 0; // in Qt's write buffer
    bool m_refusing = false;   // since the bound was hit, until the line drains
    int m_refused = 0;
    int m_lostWhileGone = 0;
    QSerialPort *m_device = nullptr;

    // Monitoring thread only.
    bool m_writing = false;
    bool m_failed = false;
    bool m_setUpReported = false;
    QTimer *m_retry = nullptr;
};

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
    m_portNumber = portNumber;
    m_baud = baud;
    m_parity = parity;
    m_dataBits = dataBits;
    m_stopBits = stopBits;
    m_eventMask = eventMask;
    m_outBufferSize = outBufferSize;
}

bool SerialPort::OpenPort()
{
    StopThread();
    const LineSettings settings{m_portNumber, m_baud,     m_parity,
                                m_dataBits,   m_stopBits, m_eventMask};
    auto line = std::make_unique<Line>(*this, SerialDeviceForPort(m_portNumber), settings);
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
