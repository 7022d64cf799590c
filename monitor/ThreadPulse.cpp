#include "ThreadPulse.h"

#include <algorithm>

ThreadPulse::ThreadPulse(std::chrono::milliseconds interval)
    : m_interval(interval)
    , m_last(Clock::now().time_since_epoch().count())
{}

void ThreadPulse::Beat()
{
    const Clock::time_point now = Clock::now();
    const Clock::duration gap = now - Clock::time_point(Clock::duration(m_last.load()));
    m_last.store(now.time_since_epoch().count(), std::memory_order_release);
    m_beats.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard lock(m_mutex);
    while (!m_stalls.empty() && now - m_stalls.front().first > kStallMemory)
        m_stalls.pop_front();
    // Late by more than a beat's own time: the thread was held, not merely busy for a moment.
    if (gap > 2 * m_interval) {
        // Only the longest matters: one shorter than a later one ending after it never will.
        while (!m_stalls.empty() && m_stalls.back().second <= gap)
            m_stalls.pop_back();
        m_stalls.emplace_back(now, gap);
    }
}

ThreadPulse::Clock::duration ThreadPulse::Silent(Clock::time_point now) const
{
    const Clock::time_point last(Clock::duration(m_last.load(std::memory_order_acquire)));
    return std::max(now - last, Clock::duration::zero());
}

ThreadPulse::Clock::duration ThreadPulse::LongestStall(Clock::time_point now) const
{
    Clock::duration longest = Silent(now);
    std::lock_guard lock(m_mutex);
    for (const auto &[ended, length] : m_stalls) {
        if (now - ended <= kStallMemory)
            longest = std::max(longest, length);
    }
    return longest;
}
