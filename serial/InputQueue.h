#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMutex>
#include <QString>

#include <deque>
#include <optional>

// What a port's thread has read and the window's thread has not yet handled: runs of bytes,
// each with the time it was read, and the notices that belong between them (the line was
// lost; bytes were dropped at the bound; the line came back or stopped draining; a forwarded
// message left or was dropped). The reader never waits for the taker, so the bytes wait here
// rather than in the driver, where a USB adapter would drop them.
//
// Push* are called on the port's thread, Take on the window's thread; all under one lock.
class InputQueue
{
public:
    struct Run
    {
        enum class Kind { Bytes, LineLost, Dropped, Event, MessageDone };
        Kind kind = Kind::Bytes;
        QByteArray bytes = {};
        QDateTime at = {}; // when read (UTC); for Dropped, when room came again
        qint64 dropped = 0;
        // Event: which (SerialPort::LineEvent) and its detail; MessageDone: the message's tag,
        // whether it left whole, and what became of it.
        int event = 0;
        quint64 tag = 0;
        bool sent = false;
        QString text = {};
    };

    // What may wait unhandled: some nineteen hours of a 9600-baud line, so only a window held
    // for most of a day reaches it.
    static constexpr qint64 kDefaultBound = 64 * 1024 * 1024;

    // The next Push* that brings the queue from empty to waiting returns true: its caller
    // wakes the taker once, and Take, finding nothing, arms that again.
    bool PushBytes(QByteArray bytes, const QDateTime &at);
    bool PushLineLost(const QDateTime &at);
    // A notice that needs no place among dropped bytes (Event, MessageDone).
    bool PushNotice(Run run);
    std::optional<Run> Take();

    // Past the bound the newest runs are dropped, and taken again only once at most half the
    // bound waits, so that a line which keeps coming yields one gap and one notice, not one
    // for every run the taker frees room for. The notice goes in where the gap is.
    void SetBound(qint64 bytes);
    qint64 Bound() const;

private:
    bool Push(Run run);

    mutable QMutex m_lock;
    std::deque<Run> m_runs;
    qint64 m_waiting = 0;
    qint64 m_bound = kDefaultBound;
    qint64 m_dropped = 0;
    bool m_wakeDue = true;
};
