#include "net/linger.h"

#include <sched.h>

#include <algorithm>

std::chrono::microseconds Linger::Limit() const
{
    const auto longest = *std::max_element(m_gaps.begin(), m_gaps.end());
    if (longest > LONGEST)
        return std::chrono::microseconds(0);
    return std::clamp(2 * longest, SHORTEST, LONGEST);
}

void Linger::Heard(Clock::duration gap)
{
    // Rounded up: a gap of a fraction of a microsecond over LONGEST is over it.
    m_gaps[m_next] = std::chrono::ceil<std::chrono::microseconds>(gap);
    m_next = (m_next + 1) % REMEMBERED;
}

void Linger::Arrived()
{
    if (!m_missedAt)
        return;
    Heard(Clock::now() - *m_missedAt);
    m_missedAt.reset();
}

void Linger::Yield()
{
    // The sender often shares this CPU: it gets the turn it needs to send the next one.
    ::sched_yield();
}
