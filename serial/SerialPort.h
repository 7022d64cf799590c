#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaMethod>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

// One COM port: opens and sets up the line, runs one monitoring thread that hands every run of
// received bytes to the owner, and sends the texts queued on it, each whole and in order.
//
// Every operation is called on the GUI thread. The QSerialPort lives on the monitoring thread.
// The owner is a QObject of the GUI thread with an invokable
//     void OnSerialBytes(const QByteArray &bytes, int portNumber)
// which the monitoring thread calls through a blocking hand-off: it reads nothing more from
// the device until the owner has returned, so the owner paces the line and bytes are handled
// in arrival order. A hand-off due after the owner is gone is dropped.
class SerialPort
{
public:
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
    // Lets the thread of the port OpenPort opened read and write. False without an open port.
    bool StartThread();
    // Queues `text`, zero bytes included, behind what is queued already. The thread sends
    // each text whole once the one before has left the device. Dropped without a thread.
    void QueueWrite(const QByteArray &text);
    // 0 until configured.
    int OutBufferSize() const { return m_outBufferSize; }
    // The number the port was last configured with, 0 until then.
    int PortNumber() const { return m_portNumber; }

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

    std::unique_ptr<Line> m_thread;
    // Lives on the GUI thread and receives the hand-offs, so a stop can deliver exactly this
    // port's pending ones, and the owner is looked at only on the GUI thread.
    std::unique_ptr<QObject> m_gate;
    QPointer<QObject> m_owner;
    QMetaMethod m_handOff;
    int m_portNumber = 0;
    int m_baud = 0;
    char m_parity = 0;
    int m_dataBits = 0;
    int m_stopBits = 0;
    int m_eventMask = 0;
    int m_outBufferSize = 0;
};
