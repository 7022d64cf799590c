#include "SerialLine.h"

#include <QDateTime>
#include <QTimer>

SerialPort::Line::Line(SerialPort &port,
                       const QString &deviceName,
                       const LineSettings &settings,
                       Start start,
                       bool setUpReported)
    : m_port(port)
    , m_deviceName(deviceName)
    , m_settings(settings)
    , m_start(start)
    , m_setUpReported(setUpReported)
{}

SerialPort::Line::~Line()
{
    RequestStop();
    wait();
}

bool SerialPort::Line::WaitForOpen()
{
    m_openDone.acquire();
    if (m_failedCall)
        ReportFailure(m_failedCall, m_failureText, m_settings.portNumber);
    return m_opened;
}

void SerialPort::Line::Go()
{
    if (m_goGiven)
        return;
    m_goGiven = true;
    m_go.release();
    m_started.acquire();
}

void SerialPort::Line::RequestStop()
{
    m_stop = true;
    m_go.release();
    quit();
}

void SerialPort::Line::run()
{
    QSerialPort device;
    if (m_start == Start::Open)
        m_opened = OpenLine(device, m_deviceName, m_settings, &m_failedCall, &m_failureText);
    else
        m_reconnectingSince = QDateTime::currentMSecsSinceEpoch();
    const bool runs = m_opened || m_start == Start::Absent;
    if (runs) {
        QMutexLocker locker(&m_writeLock);
        m_device = &device;
    }
    m_deviceOpen = m_opened;
    m_openDone.release();
    if (!runs)
        return;

    m_go.acquire();
    if (!m_stop) {
        Monitor(device);
        DrainBeforeClose(device);
    } else {
        m_started.release();
    }

    QMutexLocker locker(&m_writeLock);
    m_device = nullptr;
    m_unsentMessages = CountMessages();
    m_unsentTags = TagsNotSent();
    m_writes.clear();
    m_deviceOpen = false;
    m_reconnectingSince = 0;
    locker.unlock();
    if (device.isOpen())
        device.close();
}

void SerialPort::Line::Monitor(QSerialPort &device)
{
    // Whatever arrived between the open and the go is as stale as what came before.
    if (device.isOpen())
        device.clear(QSerialPort::AllDirections);
    m_started.release();
    connect(&device, &QSerialPort::readyRead, &device, [this, &device] {
        if (HandsOverBytes())
            Drain(device);
        else
            device.readAll(); // see SerialPort.h: nobody wants them
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
    // Proof for the watchdog that this loop turns, whatever the line brings or not.
    QTimer beat;
    beat.setInterval(kBeatPeriod);
    connect(&beat, &QTimer::timeout, &device,
            [this] { m_port.m_turns.fetch_add(1, std::memory_order_acq_rel); });
    beat.start();
    m_port.m_turning.store(true, std::memory_order_release);
    if (!device.isOpen()) {
        // Started without the device: as a line that has just lost it.
        m_failed = true;
        retry.start();
    }
    SendNext();
    if (!m_stop)
        exec();
    m_port.m_turning.store(false, std::memory_order_release);
    m_retry = nullptr;
}

// Takes everything the driver has at once: the bytes wait in the port's queue, never in the
// driver, however long the window's thread is busy.
void SerialPort::Line::Drain(QSerialPort &device)
{
    while (!m_stop) {
        // Read at the size there is: readAll would leave every run in a buffer of Qt's read
        // size, tens of kilobytes for a few bytes, and that is what would wait in the queue.
        const qint64 available = device.bytesAvailable();
        if (available <= 0)
            return;
        QByteArray bytes = device.read(available);
        if (bytes.isEmpty())
            return;
        m_port.Received(std::move(bytes));
    }
}

void SerialPort::Line::OnError(QSerialPort &device, QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
        // A device that hung up keeps its read notifier firing at full speed; let it go at
        // once and say so one time.
        if (!m_failed) {
            m_failed = true;
            m_port.Log(true,
                       FailureText("ReadFile()", DescribeError(device), m_settings.portNumber));
            QMetaObject::invokeMethod(
                &device, [this, &device] { LetGo(device); }, Qt::QueuedConnection);
        }
        break;
    case QSerialPort::WriteError:
        if (!m_failed) {
            m_port.Log(true,
                       FailureText("WriteFile()", DescribeError(device), m_settings.portNumber));
            // The text is not retried; what is left of it would only come out cut.
            device.clear(QSerialPort::Output);
            CountUnsent(device);
            m_writing = false;
            PieceDone(true, DescribeError(device));
            QMetaObject::invokeMethod(
                &device, [this] { SendNext(); }, Qt::QueuedConnection);
        }
        break;
    default:
        break;
    }
}
