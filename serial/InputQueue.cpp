#include "InputQueue.h"

#include <QMutexLocker>

#include <utility>

bool InputQueue::PushBytes(QByteArray bytes, const QDateTime &at)
{
    if (bytes.isEmpty())
        return false;
    QMutexLocker locker(&m_lock);
    const qint64 size = bytes.size();
    const bool full = m_dropped > 0 ? m_waiting > m_bound / 2 : m_waiting + size > m_bound;
    if (full) {
        m_dropped += size;
        // An idle taker is woken all the same: it gives the notice once it has caught up.
        return std::exchange(m_wakeDue, false);
    }
    bool wake = false;
    if (m_dropped > 0) {
        wake = Push({.kind = Run::Kind::Dropped, .at = at, .dropped = m_dropped});
        m_dropped = 0;
    }
    m_waiting += size;
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
    Run run = std::move(m_runs.front());
    m_runs.pop_front();
    m_waiting -= run.bytes.size();
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
