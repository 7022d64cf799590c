#pragma once

#include "serial/LineSetUp.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaMethod>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <memory>

// One COM port: opens and sets up the line, runs one monitoring thread that hands every run of
// received bytes to the owner, and sends the texts queued on it, each whole and in order.
//
// Every operation is called on the GUI thread. The QSerialPort lives on the monitoring thread.
// The owner is a QObject of the GUI thread with an invokable
//     void OnSerialBytes(const QByteArray &bytes, int portNumber)
// which the monitoring thread calls through a blocking hand-off: it reads nothing more from
// the device until the owner has returned, so the owner paces the line and bytes are handled
// in arrival order. A hand-off due after the owner is gone is dropped. The owner may also have
//     void OnSerialLineLost(int portNumber)
// called through the same hand-off after the last bytes read before a failure of the device:
// a message they began will never be completed.
// A port configured without the received-character bit hands nothing over: its thread reads
// and drops what arrives (an output line whose far end answers, with ACKs say), since a
// hand-off would hold that thread, and with it the sending, while the GUI thread pauses
// between the pieces of a forwarded message.
//
// A device that fails while open (read error, hang-up, removal) gives one failure line; then
// the thread tries every kReconnectPeriod to open the port's configured name again, looked up
// afresh each time, silently while it stays gone. Once it opens, the line is set up and purged
// as at OpenPort, and one warning line says the line is back. Texts queued while it is gone
// are dropped.
class SerialPort
{
public:
    static constexpr std::chrono::milliseconds kReconnectPeriod{2000};
    // What one port may hold queued and unsent. At 9600 baud the line carries 960 bytes a
    // second, so this is some eighteen minutes of sending, hundreds of alert messages: a
    // burst after a short stall fits, and a line that has not moved for that long is stuck
    // (a stalled adapter, a far end holding flow control). A text beyond it is not queued;
    // one failure line says so, and nothing more is queued until everything has left, when
    // one warning line says so.
    static constexpr qint64 kMaxUnsentBytes = 1024 * 1024;

    SerialPort();
    virtual ~SerialPort();

    // Only stores the values; the next OpenPort uses them. Stop-bits code: 0 one, 1 one and a
    // half, 2 two. Event mask: the received-character bit (1) makes the thread read the line.
    void Configure(QObject *owner,
                   int portNumber,
                   int baud,
                   char parity,
                   int dataBits,
                   int stopBits,
                   int eventMask,
                   int outBufferSize);
    // Stops a running thread, closes the old device and opens the one for the port number,
    // exclusively, with the configured line settings, both directions purged. False when the
    // device is missing or busy (no text of its own) or cannot be set up (a failure line).
    bool OpenPort();
    // Lets the thread of the port OpenPort opened read and write. False without an open port;
    // a thread already let go is left as it is.
    bool StartThread();
    // Queues `text`, zero bytes included, behind what is queued already. The thread sends
    // each text whole once the one before has left the device. Dropped without a thread.
    void QueueWrite(const QByteArray &text);
    // 0 until configured.
    int OutBufferSize() const { return m_outBufferSize; }
    // The number the port was last configured with, 0 until then.
    int PortNumber() const { return m_settings.portNumber; }

    // Ends the monitoring thread and closes the device. While waiting it delivers the
    // thread's pending hand-offs, so it returns however busy the line is. Must not be called
    // from inside this port's own hand-off.
    void StopThread();

    bool IsRunning() const;
    // Whether the monitoring thread still uses its device; a device that failed is let go.
    bool IsDeviceOpen() const;
    // GUI thread. When the port began trying to open its device again after a failure; a null
    // QDateTime while it is not reconnecting.
    QDateTime ReconnectingSince() const;

private:
    class Line;

    void Deliver(const QByteArray &bytes, int portNumber);
    void DeliverLineLost(int portNumber);

    std::unique_ptr<Line> m_thread;
    // Lives on the GUI thread and receives the hand-offs, so a stop can deliver exactly this
    // port's pending ones, and the owner is looked at only on the GUI thread.
    std::unique_ptr<QObject> m_gate;
    QPointer<QObject> m_owner;
    QMetaMethod m_handOff;
    QMetaMethod m_lineLost;
    LineSettings m_settings;
    int m_outBufferSize = 0;
};
