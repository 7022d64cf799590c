#pragma once

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>

// The proof that a thread turns: the thread itself beats (from a timer of its own, so that a
// beat says its event loop ran), any other thread reads how many beats came and how long ago
// the last one was. Beat on the watched thread only; everything else from any thread.
class ThreadPulse
{
public:
    using Clock = std::chrono::steady_clock;
    // Stalls are remembered this long.
    static constexpr std::chrono::seconds kStallMemory{60};

    // `interval`: how often the watched thread is meant to beat; a gap well past it is a stall.
    explicit ThreadPulse(std::chrono::milliseconds interval);

    void Beat();
    quint64 Beats() const { return m_beats.load(std::memory_order_acquire); }
    // How long since the last beat (or since the start, before the first).
    Clock::duration Silent(Clock::time_point now = Clock::now()) const;
    // The longest the thread went without a beat in the last kStallMemory, the one going on
    // now included.
    Clock::duration LongestStall(Clock::time_point now = Clock::now()) const;

private:
    const Clock::duration m_interval;
    std::atomic<quint64> m_beats{0};
    std::atomic<Clock::rep> m_last;
    mutable std::mutex m_mutex;
    // Each stall that ended in the last kStallMemory: when it ended, how long it was.
    std::deque<std::pair<Clock::time_point, Clock::duration>> m_stalls;
};
