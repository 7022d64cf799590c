#pragma once

#include "serial/InputQueue.h"
#include "serial/LineSetUp.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaMethod>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

// One COM port: opens and sets up the line, runs one monitoring thread that reads what arrives
// as it arrives, and sends the messages queued on it, each whole, piece by piece, in order.
//
// Every operation is called on the GUI thread. The QSerialPort lives on the monitoring thread.
// The owner is a QObject of the GUI thread with an invokable
//     void OnSerialBytes(const QByteArray &bytes, int portNumber, const QDateTime &readAt)
// The monitoring thread never waits for it: it takes what the driver has at once and leaves
// each run, with the time it was read, in the port's InputQueue; the GUI thread hands the runs
// to the owner in arrival order, one run an event, so the window stays responsive under a
// backlog. The owner may also have
//     void OnSerialLineLost(int portNumber, const QDateTime &at)
// handed over after the last bytes read before a failure of the device (a message they began
// will never be completed), and
//     void OnSerialBytesDropped(int portNumber, qint64 count, const QDateTime &at)
// where the queue dropped bytes at its bound, and
//     void OnSerialLineEvent(int portNumber, int event, const QString &detail, const QDateTime &at)
// for each LineEvent, and
//     void OnSerialMessageDone(int portNumber, quint64 tag, bool sent, const QString &result,
//                              const QDateTime &at)
// for each message queued with a tag: "sent" once its last piece has left the device, or why
// it did not. A hand-off due after the owner is gone is dropped.
// A port configured without the received-character bit reads and drops what arrives (an output
// line whose far end answers, with ACKs say).
//
// A device that fails while open (read error, hang-up, removal) gives one failure line; then
// the thread tries every kReconnectPeriod to open the port's configured name again, looked up
// afresh each time, silently while it stays gone. Once it opens, the line is set up and purged
// as at OpenPort, and one warning line says the line is back. Messages queued while it is gone
// are dropped. A device that could not be opened at all is tried in the same way once the owner
// asks for it with RetryOpen.
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

    // What happened to the line, in order with the bytes read around it. Lost only for a port
    // that reads nothing (an output line): a reading port's loss is OnSerialLineLost.
    enum class LineEvent : int { Lost, Back, NotDraining, DrainsAgain };

    // One write of a forwarded message, and the time from its hand-over to the device after
    // which the next piece may start (it also waits until this one has left the device).
    struct Piece
    {
        QByteArray bytes;
        std::chrono::milliseconds pause{0};
    };

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
    // After an OpenPort that failed and said so: starts the thread without its device, trying it
    // every kReconnectPeriod as after a failure while open (quietly, ReconnectingSince from now,
    // the warning line once it is back). Ended like any thread, by StopThread or OpenPort.
    void RetryOpen();
    // Queues a message as its pieces, zero bytes included, behind what is queued already; the
    // thread sends them in order, each once the one before has left the device and its pause
    // has passed, so a later message never overtakes an earlier one. A message is taken whole
    // or refused whole: false without a thread, while the device is gone, or at the bound
    // (see kMaxUnsentBytes; the port's own lines say so). A message taken with a `tag` other
    // than 0 is reported to the owner once it has left or been dropped.
    bool QueueMessage(std::vector<Piece> pieces, quint64 tag = 0);
    // A message of one piece with no pause.
    bool QueueWrite(const QByteArray &text) { return QueueMessage({{text, {}}}); }
    // 0 until configured.
    int OutBufferSize() const { return m_outBufferSize; }
    // The number the port was last configured with, 0 until then.
    int PortNumber() const { return m_settings.portNumber; }
    // The device name the port was last opened (or retried) with, as the settings gave it.
    const QString &DeviceName() const { return m_deviceName; }

    // Ends the monitoring thread and closes the device, then hands the owner every run already
    // read, so nothing read is lost. Messages not yet sent are dropped, with one line giving
    // their count and each tagged one reported. Must not be called from inside this port's own
    // hand-off.
    void StopThread();

    // The bound of the input queue; a test lowers it.
    void SetInputBound(qint64 bytes) { m_input.SetBound(bytes); }
    // Any thread. The memory what was read and not yet handed over holds (InputQueue::Held).
    qint64 InputHeld() const { return m_input.Held(); }

    bool IsRunning() const;
    // Whether the monitoring thread still uses its device; a device that failed is let go.
    bool IsDeviceOpen() const;
    // GUI thread. When the port began trying to open its device again after a failure; a null
    // QDateTime while it is not reconnecting.
    QDateTime ReconnectingSince() const;
    // GUI thread. Since when the output line refuses messages because it does not drain; a
    // null QDateTime while it takes them.
    QDateTime RefusingSince() const;
    // GUI thread. Messages refused or dropped since the line last worked as it should.
    int NotForwarded() const;

    // Any thread, for whoever watches the station from outside the window's thread: the bytes
    // read since the start, when the last were read (milliseconds since the epoch, 0 for none),
    // and a count the port's thread moves every kBeatPeriod while its loop turns (nullopt while
    // the port has no thread in its loop).
    static constexpr std::chrono::milliseconds kBeatPeriod{250};
    quint64 BytesRead() const { return m_bytesRead.load(std::memory_order_relaxed); }
    qint64 LastReadMSecs() const { return m_lastReadMSecs.load(std::memory_order_relaxed); }
    std::optional<quint64> Turns() const;
    // GUI thread. Bytes queued on the line and not yet sent.
    qint64 UnsentBytes() const;

private:
    class Line;

    // Monitoring thread: a run read from the device, or the line's loss.
    void Received(QByteArray bytes);
    void LineLost();
    // Monitoring thread or GUI thread: a notice for the owner, handed over in its turn.
    void Notify(LineEvent event, const QString &detail);
    void MessageDone(quint64 tag, bool sent, const QString &result);
    // Monitoring thread: a line for the log, written in its turn among the bytes read around it
    // (LogError or LogWarning would post it to the window ahead of runs still waiting).
    void Log(bool error, const QString &text);
    void Wake();
    // GUI thread: hands the next waiting run to the owner; `all` hands every one at once.
    void DeliverNext();
    void DeliverAll();
    void Deliver(const InputQueue::Run &run);

    std::unique_ptr<Line> m_thread;
    // Lives on the GUI thread and receives the hand-offs, so a stop can deliver exactly this
    // port's pending ones, and the owner is looked at only on the GUI thread.
    std::unique_ptr<QObject> m_gate;
    QPointer<QObject> m_owner;
    QMetaMethod m_handOff;
    QMetaMethod m_lineLost;
    QMetaMethod m_dropped;
    QMetaMethod m_lineEvent;
    QMetaMethod m_messageDone;
    InputQueue m_input;
    bool m_delivering = false; // a hand-off runs; a nested event loop must not start another
    LineSettings m_settings;
    QString m_deviceName;
    int m_outBufferSize = 0;
    // Whether the last failed OpenPort failed on the line settings, and so has said that once.
    bool m_setUpFailed = false;
    std::atomic<quint64> m_bytesRead{0};
    std::atomic<qint64> m_lastReadMSecs{0};
    std::atomic<quint64> m_turns{0};
    std::atomic<bool> m_turning{false};
};
