#include "net/linger.h"

#include <sched.h>

std::chrono::microseconds Linger::Limit() const
{
    const bool probe = m_missedInRow == MISSES_BEFORE_NONE + PROBE_EVERY - 1;
    return m_missedInRow < MISSES_BEFORE_NONE || probe ? LONGEST : std::chrono::microseconds(0);
}

void Linger::Missed()
{
    // Past a fruitless probe the count starts the run without waits again.
    if (++m_missedInRow == MISSES_BEFORE_NONE + PROBE_EVERY)
        m_missedInRow = MISSES_BEFORE_NONE;
}

void Linger::Yield()
{
    // The sender often shares this CPU: it gets the turn it needs to send the next one.
    ::sched_yield();
}
