#include "link/pacer.h"

#include <algorithm>
#include <cmath>

namespace veltrano {

Pacer::Pacer(Mode mode, TimePoint start) : m_mode(mode), m_start(start) {}

Pacer::TimePoint Pacer::At(double seconds) const
{
    return m_start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::uint64_t Pacer::MayGo(TimePoint now, std::uint64_t sent, std::uint64_t outstanding,
                           std::optional<std::int64_t> nextCapturedNs)
{
    if (const auto* window = std::get_if<Window>(&m_mode))
        return outstanding < window->frames ? window->frames - outstanding : 0;
    if (const auto* rate = std::get_if<Rate>(&m_mode)) {
        // Elapsed time, not the number of wake-ups, sets the pace: the frames due by now, the first at once.
        const double elapsed = std::max(0.0, std::chrono::duration<double>(now - m_start).count());
        const auto due = static_cast<std::uint64_t>(std::floor(elapsed * rate->perSecond)) + 1;
        return due > sent ? due - sent : 0;
    }
    if (!nextCapturedNs)
        return 0;
    if (!m_firstCapturedNs)
        m_firstCapturedNs = *nextCapturedNs;
    const auto due = NextDue(sent, nextCapturedNs);
    return due && now >= *due ? 1 : 0;
}

std::optional<Pacer::TimePoint> Pacer::NextDue(std::uint64_t sent,
                                               std::optional<std::int64_t> nextCapturedNs) const
{
    if (const auto* rate = std::get_if<Rate>(&m_mode))
        return At(static_cast<double>(sent) / rate->perSecond);
    if (const auto* gaps = std::get_if<CapturedGaps>(&m_mode); gaps != nullptr && nextCapturedNs) {
        const std::int64_t first = m_firstCapturedNs.value_or(*nextCapturedNs);
        return At(static_cast<double>(*nextCapturedNs - first) / 1e9 / gaps->speed);
    }
    return std::nullopt;
}

std::chrono::milliseconds Pacer::WaitFrom(TimePoint now, std::uint64_t sent,
                                          std::optional<std::int64_t> nextCapturedNs) const
{
    const auto due = NextDue(sent, nextCapturedNs);
    if (!due)
        return std::chrono::milliseconds(0);
    return TimerWait(*due, now);
}

std::chrono::milliseconds TimerWait(Pacer::TimePoint due, Pacer::TimePoint now)
{
    if (due <= now)
        return std::chrono::milliseconds(0);
    // Compared before rounding: a wait of centuries must not overflow on its way to milliseconds.
    if (due - now >= LONGEST_TIMER_WAIT)
        return LONGEST_TIMER_WAIT;
    return std::chrono::ceil<std::chrono::milliseconds>(due - now);
}

} // namespace veltrano
