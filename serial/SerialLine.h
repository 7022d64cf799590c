// The monitoring thread of one opened device, private to SerialPort. Its parts live in files of
// their own: SerialLine.cpp starts, monitors and reads the line; SerialLineReconnect.cpp lets a
// failed device go and opens it again; SerialLineOutput.cpp queues and sends the texts.
#pragma once

#include "LineSetUp.h"
#include "SerialPort.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>
#include <QSerialPort>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <deque>
#include <vector>

class QTimer;

// It opens the device itself, so the QSerialPort and its notifiers belong to it, then waits for
// the go of StartThread. When the device fails later, the thread lets it go and opens it again
// by itself (see SerialPort.h).
class SerialPort::Line : public QThread
{
public:
    // A line starts by opening its device, or, after an open that failed and said so, without
    // it, trying it as after a failure (`setUpReported`: the failure line was about the
    // settings, which is said once an outage).
    enum class Start { Open, Absent };
    Line(SerialPort &port,
         const QString &deviceName,
         const LineSettings &settings,
         Start start = Start::Open,
         bool setUpReported = false);
    ~Line() override;

    // GUI thread: whether the device opened and was set up; the failure line is written here
    // so that it comes before the caller's own line.
    bool WaitForOpen();
    // GUI thread, after WaitForOpen: whether the open failed on the line settings.
    bool SetUpFailed() const { return m_failedCall != nullptr; }
    // GUI thread: lets the thread read and write, and returns once it has purged what came
    // in since the open, so that every byte arriving afterwards is handed over. A second go
    // would wait for a purge that never comes again.
    void Go();
    void RequestStop();

    // GUI thread. Whether the message was taken (see SerialPort::QueueMessage).
    bool Queue(std::vector<SerialPort::Piece> pieces, quint64 tag);
    // GUI thread, once the thread has ended: the messages it had not sent, and the tags of
    // those queued with one.
    int UnsentMessages() const { return m_unsentMessages; }
    const std::vector<quint64> &UnsentTags() const { return m_unsentTags; }

    bool IsDeviceOpen() const { return m_deviceOpen; }

    // Milliseconds since the epoch, 0 while the device is not being reopened.
    qint64 ReconnectingSince() const { return m_reconnectingSince; }
    // Milliseconds since the epoch, 0 while messages are taken.
    qint64 RefusingSince() const { return m_refusingSince; }
    // Messages refused or dropped since the line last worked.
    int NotForwarded() const;
    // Bytes queued and not yet handed to the driver, or held in Qt's write buffer.
    qint64 UnsentBytes() const
    {
        QMutexLocker locker(&m_writeLock);
        return m_queuedBytes + m_deviceUnsent;
    }

protected:
    void run() override;

private:
    static constexpr int kReceivedCharacter = 0x0001;
    // Linux's close of a serial device waits for the output the driver still holds, up to the
    // device's closing_wait: 30 s by default, longer than the service manager gives the
    // program to end. A healthy line passes on the piece in hand within this, so that it
    // leaves whole; what a stalled adapter holds past it is discarded, and its message is
    // reported dropped as any unsent one.
    static constexpr std::chrono::milliseconds kCloseDrainWait{2000};

    bool HandsOverBytes() const { return m_settings.eventMask & kReceivedCharacter; }

    // Reading, on the monitoring thread.
    void Monitor(QSerialPort &device);
    void Drain(QSerialPort &device);
    void OnError(QSerialPort &device, QSerialPort::SerialPortError error);

    // Reconnecting, on the monitoring thread.
    void LetGo(QSerialPort &device);
    void TryReopen(QSerialPort &device);

    // Sending, on the monitoring thread.
    struct QueuedPiece : SerialPort::Piece
    {
        QueuedPiece() = default;
        QueuedPiece(SerialPort::Piece &&piece)
            : SerialPort::Piece(std::move(piece))
        {}
        bool lastOfMessage = false;
        quint64 tag = 0; // on the last piece of a message
    };
    void CountUnsent(const QSerialPort &device);
    int CountMessages() const; // under m_writeLock
    // The tags of the messages not sent whole: those queued and the one whose last piece is in
    // hand. Under m_writeLock, on the monitoring thread.
    std::vector<quint64> TagsNotSent() const;
    // The piece in hand has left the device, or was cut (a write error); after the last piece
    // of a message the owner learns what became of it.
    void PieceDone(bool cut, const QString &why = {});
    void SendNext();
    void Rest();
    QString DrainedText(QMutexLocker<QMutex> &locker);
    void AwaitDrained(QSerialPort &device);
    // Before the device is closed at the end: see kCloseDrainWait.
    void DrainBeforeClose(QSerialPort &device);

    SerialPort &m_port;
    const QString m_deviceName;
    const LineSettings m_settings;
    const Start m_start;

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
    std::atomic<qint64> m_refusingSince = 0;

    // Guards the queue, its counts and the device pointer that the GUI thread posts write
    // requests to.
    mutable QMutex m_writeLock;
    std::deque<QueuedPiece> m_writes;
    qint64 m_queuedBytes = 0;  // in m_writes
    qint64 m_deviceUnsent = 0; // in Qt's write buffer
    bool m_refusing = false;   // since the bound was hit, until half of it has drained
    int m_refused = 0;
    int m_lostWhileGone = 0;
    int m_refusedBeforeLoss = 0; // refused while stuck, then the device failed
    int m_unsentMessages = 0;    // left when the thread ended
    std::vector<quint64> m_unsentTags;
    QSerialPort *m_device = nullptr;

    // Monitoring thread only.
    bool m_writing = false;
    // The piece taken from the queue and not yet done with.
    bool m_pieceInHand = false;
    bool m_lastInHand = false;
    quint64 m_tagInHand = 0;
    QString m_cutBy; // why a piece of the message in hand did not go out whole
    bool m_pausing = false;
    int m_pauses = 0; // a pause started before a device was let go is void
    std::chrono::steady_clock::time_point m_pauseDue;
    // What the driver held at the last look, and how often in a row it did not move.
    int m_lastOutQueue = 0;
    int m_stuckLooks = 0;
    bool m_failed = false;
    bool m_setUpReported = false;
    QTimer *m_retry = nullptr;
};
