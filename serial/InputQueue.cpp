#include "InputQueue.h"

#include <QMutexLocker>

#include <utility>

namespace {

// A heap block's header and the allocator's own rounding, roughly, for glibc's malloc.
constexpr qint64 kAllocationOverhead = 32;

template<typename Array>
qint64 AllocationOf(const Array &array)
{
    const qsizetype capacity = array.capacity();
    return capacity > 0 ? kAllocationOverhead + (capacity + 1) * qint64(sizeof(*array.data())) : 0;
}

} // namespace

qint64 InputQueue::Cost(const Run &run)
{
    return qint64(sizeof(Run)) + AllocationOf(run.bytes) + AllocationOf(run.text);
}

bool InputQueue::PushBytes(QByteArray bytes, const QDateTime &at)
{
    if (bytes.isEmpty())
        return false;
    QMutexLocker locker(&m_lock);
    const qint64 size = bytes.size();
    Run *last = m_runs.empty() ? nullptr : &m_runs.back();
    bool gathers = last && last->kind == Run::Kind::Bytes && m_gatherSince.msecsTo(at) >= 0
                   && m_gatherSince.msecsTo(at) < kGatherSpan.count()
                   && last->bytes.size() + size <= kGatherLimit;
    // A run that gathers may have to grow its buffer, by as much again as it holds.
    const qint64 adds = !gathers ? qint64(sizeof(Run)) + kAllocationOverhead + size
                        : last->bytes.capacity() - last->bytes.size() >= size
                            ? 0
                            : last->bytes.size() + size;
    const bool full = m_dropped > 0 ? m_held > m_bound / 2 : m_held + adds > m_bound;
    if (full) {
        m_dropped += size;
        // An idle taker is woken all the same: it gives the notice once it has caught up.
        return std::exchange(m_wakeDue, false);
    }
    bool wake = false;
    if (m_dropped > 0) {
        wake = Push({.kind = Run::Kind::Dropped, .at = at, .dropped = m_dropped});
        m_dropped = 0;
        gathers = false;
    }
    if (gathers) {
        // The taker was woken for this run when it began.
        m_held -= Cost(*last);
        last->bytes.append(bytes);
        last->at = at;
        m_held += Cost(*last);
        return wake;
    }
    // Qt's reads leave a run in a buffer of tens of kilobytes, whatever it holds.
    bytes.squeeze();
    m_gatherSince = at;
    return Push({.kind = Run::Kind::Bytes, .bytes = std::move(bytes), .at = at}) || wake;
}

bool InputQueue::PushLineLost(const QDateTime &at)
{
    QMutexLocker locker(&m_lock);
    // A gap at the bound just before the loss is still a gap of its own.
    bool wake = false;
    if (m_dropped > 0) {
        wake = Push({.kind = Run::Kind::Dropped, .at = at, .dropped = m_dropped});
        m_dropped = 0;
    }
    return Push({.kind = Run::Kind::LineLost, .at = at}) || wake;
}

bool InputQueue::PushNotice(Run run)
{
    QMutexLocker locker(&m_lock);
    return Push(std::move(run));
}

bool InputQueue::Push(Run run)
{
    // A run that gathered reads grew its buffer ahead of them; now that it is complete it
    // gives back what it will not use.
    if (!m_runs.empty() && m_runs.back().kind == Run::Kind::Bytes) {
        Run &last = m_runs.back();
        if (last.bytes.capacity() > last.bytes.size()) {
            m_held -= Cost(last);
            last.bytes.squeeze();
            m_held += Cost(last);
        }
    }
    m_held += Cost(run);
    m_runs.push_back(std::move(run));
    return std::exchange(m_wakeDue, false);
}

std::optional<InputQueue::Run> InputQueue::Take()
{
    QMutexLocker locker(&m_lock);
    if (m_runs.empty() && m_dropped > 0) {
        // Everything read before the gap is handled and the line brought nothing since:
        // the notice need not wait for the next run.
        Run gap{.kind = Run::Kind::Dropped,
                .at = QDateTime::currentDateTimeUtc(),
                .dropped = m_dropped};
        m_dropped = 0;
        return gap;
    }
    if (m_runs.empty()) {
        m_wakeDue = true;
        return std::nullopt;
    }
    m_held -= Cost(m_runs.front());
    Run run = std::move(m_runs.front());
    m_runs.pop_front();
    return run;
}

void InputQueue::SetBound(qint64 bytes)
{
    QMutexLocker locker(&m_lock);
    m_bound = bytes;
}

qint64 InputQueue::Bound() const
{
    QMutexLocker locker(&m_lock);
    return m_bound;
}

qint64 InputQueue::Held() const
{
    QMutexLocker locker(&m_lock);
    return m_held;
}
