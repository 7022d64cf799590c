#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMutex>
#include <QString>

#include <chrono>
#include <deque>
#include <optional>

// What a port's thread has read and the window's thread has not yet handled: runs of bytes,
// each with the time it was read, and the notices that belong between them (the line was
// lost; bytes were dropped at the bound; the line came back or stopped draining; a forwarded
// message left or was dropped; a line for the log). The reader never waits for the taker, so
// the bytes wait here rather than in the driver, where a USB adapter would drop them.
//
// Push* are called on the port's thread, Take on the window's thread; all under one lock.
class InputQueue
{
public:
    struct Run
    {
        enum class Kind { Bytes, LineLost, Dropped, Event, MessageDone, Log };
        Kind kind = Kind::Bytes;
        QByteArray bytes = {};
        // When read (UTC): for a run gathered from several reads, the last of them; for
        // Dropped, when room came again.
        QDateTime at = {};
        qint64 dropped = 0;
        // Event: which (SerialPort::LineEvent) and its detail; MessageDone: the message's tag,
        // whether it left whole, and what became of it; Log: whether the line is an error (1)
        // or a warning (0), and its text.
        int event = 0;
        quint64 tag = 0;
        bool sent = false;
        QString text = {};
    };

    // What may be held unhandled, the runs' own memory counted: at 9600 baud some sixteen
    // hours of a line, so only a window held for most of a day reaches it.
    static constexpr qint64 kDefaultBound = 64 * 1024 * 1024;
    // Reads that come while the run before them still waits are added to it, so that a line
    // read a few bytes at a time (an adapter at 9600 baud hands over 1 to 64) does not hold a
    // run's bookkeeping for every few bytes. A run gathers reads for at most this long, which
    // is what its time may be late by; that is far below the silences the receiver and the
    // silence alarm look for.
    static constexpr std::chrono::milliseconds kGatherSpan{1000};
    static constexpr qsizetype kGatherLimit = 64 * 1024;

    // The next Push* that brings the queue from empty to waiting returns true: its caller
    // wakes the taker once, and Take, finding nothing, arms that again.
    bool PushBytes(QByteArray bytes, const QDateTime &at);
    bool PushLineLost(const QDateTime &at);
    // A notice that needs no place among dropped bytes (Event, MessageDone, Log).
    bool PushNotice(Run run);
    std::optional<Run> Take();

    // Past the bound the newest runs are dropped, and taken again only once at most half the
    // bound is held, so that a line which keeps coming yields one gap and one notice, not one
    // for every run the taker frees room for. The notice goes in where the gap is.
    void SetBound(qint64 bytes);
    qint64 Bound() const;
    // The memory the waiting runs hold: their bytes' and texts' allocations and their own
    // bookkeeping, as far as the queue can tell.
    qint64 Held() const;

private:
    static qint64 Cost(const Run &run);
    bool Push(Run run);

    mutable QMutex m_lock;
    std::deque<Run> m_runs;
    qint64 m_held = 0;
    qint64 m_bound = kDefaultBound;
    qint64 m_dropped = 0;
    // When the last run, if it is one of bytes still gathering reads, began.
    QDateTime m_gatherSince;
    bool m_wakeDue = true;
};
