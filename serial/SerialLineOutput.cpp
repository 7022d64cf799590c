#include "SerialLine.h"

#include "doors/Doors.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

bool SerialPort::Line::Queue(std::vector<SerialPort::Piece> pieces, quint64 tag)
{
    qint64 size = 0;
    for (const Piece &piece : pieces)
        size += piece.bytes.size();
    QString stuck;
    QString drained;
    qint64 stuckBytes = 0;
    {
        QMutexLocker locker(&m_writeLock);
        if (!m_device)
            return false;
        if (!m_deviceOpen) {
            ++m_lostWhileGone;
            return false;
        }
        const qint64 unsent = m_queuedBytes + m_deviceUnsent;
        const size_t before = m_writes.size();
        if (m_refusing) {
            if (unsent > kMaxUnsentBytes / 2) {
                ++m_refused;
                return false;
            }
            drained = DrainedText(locker);
        }
        // A message alone over the bound still goes on an idle line: the bound is against
        // piling up, and only a line with something unsent can drain again.
        if (unsent > 0 && unsent + size > kMaxUnsentBytes) {
            // Everything is refused until half the bound has drained, not just what does not
            // fit, so that a stalled line yields one error line and one count.
            m_refusing = true;
            m_refused = 1;
            m_refusingSince = QDateTime::currentMSecsSinceEpoch();
            stuckBytes = unsent;
            stuck = QStringLiteral("The output line is not draining: %1 bytes wait unsent. "
                                   "A message was not forwarded, and none will be until "
                                   "the line drains.")
                        .arg(unsent);
        } else {
            for (SerialPort::Piece &piece : pieces)
                m_writes.emplace_back(std::move(piece));
            if (m_writes.size() == before)
                m_writes.emplace_back();
            m_writes.back().lastOfMessage = true;
            m_writes.back().tag = tag;
            m_queuedBytes += size;
            QMetaObject::invokeMethod(
                m_device, [this] { SendNext(); }, Qt::QueuedConnection);
        }
    }
    if (!drained.isEmpty()) {
        LogWarning(drained);
        m_port.Notify(LineEvent::DrainsAgain, {});
    }
    if (!stuck.isEmpty()) {
        ReportFailure("WriteFile()", stuck, m_settings.portNumber);
        m_port.Notify(LineEvent::NotDraining,
                      QStringLiteral("%1 bytes wait unsent").arg(stuckBytes));
    }
    return stuck.isEmpty();
}

int SerialPort::Line::NotForwarded() const
{
    QMutexLocker locker(&m_writeLock);
    return m_refused + m_lostWhileGone + m_refusedBeforeLoss;
}

int SerialPort::Line::CountMessages() const
{
    return int(std::count_if(m_writes.begin(), m_writes.end(),
                             [](const QueuedPiece &piece) { return piece.lastOfMessage; }));
}

std::vector<quint64> SerialPort::Line::TagsNotSent() const
{
    std::vector<quint64> tags;
    if (m_pieceInHand && m_lastInHand && m_tagInHand != 0)
        tags.push_back(m_tagInHand);
    for (const QueuedPiece &piece : m_writes) {
        if (piece.lastOfMessage && piece.tag != 0)
            tags.push_back(piece.tag);
    }
    return tags;
}

void SerialPort::Line::PieceDone(bool cut, const QString &why)
{
    if (!m_pieceInHand)
        return;
    m_pieceInHand = false;
    if (cut && m_cutBy.isEmpty())
        m_cutBy = why.isEmpty() ? QStringLiteral("a write failed") : why;
    if (!m_lastInHand)
        return;
    const QString cutBy = std::exchange(m_cutBy, QString());
    m_port.MessageDone(m_tagInHand, cutBy.isEmpty(),
                       cutBy.isEmpty() ? QStringLiteral("sent")
                                       : QStringLiteral("not sent whole: %1").arg(cutBy));
}

// The GUI thread reads it in Queue; kept under the lock with the queue so that the sum is
// consistent.
void SerialPort::Line::CountUnsent(const QSerialPort &device)
{
    QString drained;
    {
        QMutexLocker locker(&m_writeLock);
        m_deviceUnsent = device.bytesToWrite();
        if (m_refusing && m_queuedBytes + m_deviceUnsent <= kMaxUnsentBytes / 2)
            drained = DrainedText(locker);
    }
    if (!drained.isEmpty()) {
        m_port.Log(false, drained);
        m_port.Notify(LineEvent::DrainsAgain, {});
    }
}

// The next piece goes out only after the previous one has left the device entirely and its
// pause has passed. The purge before it clears the input only: flushing the output would cut
// what the driver, the UART's FIFO or a pseudo-terminal's far end has not passed on yet.
void SerialPort::Line::SendNext()
{
    QSerialPort *device = m_device;
    while (device && device->isOpen() && !m_writing && !m_pausing) {
        QueuedPiece piece;
        {
            QMutexLocker locker(&m_writeLock);
            if (m_writes.empty())
                return;
            piece = std::move(m_writes.front());
            m_writes.pop_front();
            m_queuedBytes -= piece.bytes.size();
        }
        m_pieceInHand = true;
        m_lastInHand = piece.lastOfMessage;
        m_tagInHand = piece.tag;
        device->clear(QSerialPort::Input);
        m_pauseDue = std::chrono::steady_clock::now() + piece.pause;
        if (piece.bytes.isEmpty()) {
            PieceDone(false);
            Rest();
            continue;
        }
        m_writing = true;
        const bool written = device->write(piece.bytes) == piece.bytes.size();
        CountUnsent(*device);
        if (!written) {
            m_writing = false;
            const QString error = device->errorString();
            m_port.Log(true, FailureText("WriteFile()", error, m_settings.portNumber));
            device->clear(QSerialPort::Output);
            CountUnsent(*device);
            PieceDone(true, error);
        }
    }
}

// Called with the lock held; the caller writes the line after letting it go.
QString SerialPort::Line::DrainedText(QMutexLocker<QMutex> &)
{
    m_refusing = false;
    m_refusingSince = 0;
    return QStringLiteral("The output line COM%1 drains again; %2 messages were not "
                          "forwarded while it was stuck.")
        .arg(m_settings.portNumber)
        .arg(std::exchange(m_refused, 0));
}

void SerialPort::Line::AwaitDrained(QSerialPort &device)
{
#ifdef Q_OS_UNIX
    int unsent = 0;
    if (device.isOpen() && ::ioctl(int(device.handle()), TIOCOUTQ, &unsent) == 0 && unsent > 0) {
        // Ten bits a byte: the time the line needs for what the driver still holds. A stalled
        // adapter holds a few bytes for ever; the looks then grow slower, up to one a second,
        // rather than waking the thread every few milliseconds.
        m_stuckLooks = unsent >= m_lastOutQueue ? std::min(m_stuckLooks + 1, 10) : 0;
        m_lastOutQueue = unsent;
        const auto due
            = std::max(std::chrono::milliseconds(
                           1 + qint64(unsent) * 10 * 1000 / std::max(1, m_settings.baud)),
                       std::chrono::milliseconds(1 << m_stuckLooks));
        QTimer::singleShot(std::min(due, std::chrono::milliseconds(1000)), &device,
                           [this, &device] { AwaitDrained(device); });
        return;
    }
    m_lastOutQueue = 0;
    m_stuckLooks = 0;
#else
    Q_UNUSED(device)
#endif
    m_writing = false;
    PieceDone(false);
    Rest();
    SendNext();
}

// The recover time counts from the piece's hand-over; a piece that took longer to leave the
// device than its pause lets the next one start at once.
void SerialPort::Line::Rest()
{
    const auto left = m_pauseDue - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero() || !m_device)
        return;
    m_pausing = true;
    const int pauses = m_pauses;
    QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(left), m_device,
                       [this, pauses] {
                           // A pause of a device since let go ends with it.
                           if (pauses != m_pauses)
                               return;
                           m_pausing = false;
                           SendNext();
                       });
}

void SerialPort::Line::DrainBeforeClose(QSerialPort &device)
{
    if (!device.isOpen())
        return;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + kCloseDrainWait;
    const auto left = [deadline] {
        return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    };
    // What Qt still holds goes to the driver first.
    while (device.bytesToWrite() > 0 && left().count() > 0) {
        if (!device.waitForBytesWritten(int(left().count())))
            break;
    }
    bool drained = device.bytesToWrite() == 0;
#ifdef Q_OS_UNIX
    const int handle = int(device.handle());
    int unsent = 0;
    while (::ioctl(handle, TIOCOUTQ, &unsent) == 0 && unsent > 0 && left().count() > 0) {
        // Ten bits a byte at the line's speed, looked at again at least every 50 ms.
        const auto due = std::chrono::milliseconds(
            1 + qint64(unsent) * 10 * 1000 / std::max(1, m_settings.baud));
        std::this_thread::sleep_for(std::min({due, left(), std::chrono::milliseconds(50)}));
    }
    drained = drained && unsent == 0;
    if (!drained)
        ::tcflush(handle, TCOFLUSH);
#endif
    // The piece in hand left whole after all; its message, if it was the last piece, went out.
    if (drained && m_writing) {
        m_writing = false;
        PieceDone(false);
    }
}
