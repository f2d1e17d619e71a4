#include "net/linger.h"

#include <sched.h>

std::chrono::microseconds Linger::Limit() const
{
    const bool probe = m_missedInRow == MISSES_BEFORE_SHORT + PROBE_EVERY - 1;
    return m_missedInRow < MISSES_BEFORE_SHORT || probe ? LONG : SHORT;
}

void Linger::Missed()
{
    // Past a probe the count starts the short run again.
    if (++m_missedInRow == MISSES_BEFORE_SHORT + PROBE_EVERY)
        m_missedInRow = MISSES_BEFORE_SHORT;
}

void Linger::Yield()
{
    // The sender often shares this CPU: it gets the turn it needs to send the next one.
    ::sched_yield();
}
