#include "SerialLine.h"

#include "doors/Doors.h"

#include <QTimer>

#include <algorithm>
#include <chrono>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

void SerialPort::Line::Queue(const QByteArray &text)
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
        // A text alone over the bound still goes on an idle line: the bound is against piling
        // up, and only a line with something unsent can drain again.
        const qint64 unsent = m_queuedBytes + m_deviceUnsent;
        if (unsent > 0 && unsent + text.size() > kMaxUnsentBytes) {
            // Everything is refused until the line has drained, not just what does not fit:
            // pieces let through now and then would reach the far end as fragments.
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

// The GUI thread reads it in Queue; kept under the lock with the queue so that the sum is
// consistent.
void SerialPort::Line::CountUnsent(const QSerialPort &device)
{
    QMutexLocker locker(&m_writeLock);
    m_deviceUnsent = device.bytesToWrite();
}

// The next text goes out only after the previous one has left the device entirely. The purge
// before it clears the input only: flushing the output would cut what the driver, the UART's
// FIFO or a pseudo-terminal's far end has not passed on yet.
void SerialPort::Line::SendNext()
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

void SerialPort::Line::ReportDrained(QMutexLocker<QMutex> &locker)
{
    m_refusing = false;
    const int refused = m_refused;
    locker.unlock();
    LogWarning(QStringLiteral("The output line COM%1 drains again; %2 queued texts were not "
                              "forwarded while it was stuck.")
                   .arg(m_settings.portNumber)
                   .arg(refused));
}

void SerialPort::Line::AwaitDrained(QSerialPort &device)
{
#ifdef Q_OS_UNIX
    int unsent = 0;
    if (device.isOpen() && ::ioctl(int(device.handle()), TIOCOUTQ, &unsent) == 0 && unsent > 0) {
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
