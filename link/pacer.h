#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

namespace veltrano {

// How many frames may go now: at a steady rate counted from the start (the first at once, then one each
// 1/rate seconds of elapsed time, however the wake-ups fall), within a window of frames still waiting for
// their answers, or at the gaps between captured frames scaled by a speed. The caller tells the time, so a
// test can run it on a clock of its own.
class Pacer final
{
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    struct Rate
    {
        double perSecond{1.0};
    };
    struct Window
    {
        std::uint64_t frames{16};
    };
    struct CapturedGaps
    {
        double speed{1.0}; // 2: the gaps halved
    };
    using Mode = std::variant<Rate, Window, CapturedGaps>;

    Pacer(Mode mode, TimePoint start);

    // Frames that may go at `now`, `sent` having gone and `outstanding` of them waiting for an answer. With
    // captured gaps, `nextCapturedNs` is the capture time of the next frame: 1 when it is due, else 0 (the
    // first frame asked about sets the capture's start).
    std::uint64_t MayGo(TimePoint now, std::uint64_t sent, std::uint64_t outstanding,
                        std::optional<std::int64_t> nextCapturedNs = std::nullopt);
    // When the next frame is due; none in a window, where only an answer or an expiry lets one go.
    std::optional<TimePoint> NextDue(std::uint64_t sent, std::optional<std::int64_t> nextCapturedNs) const;
    // The time left from `now` to the next frame, rounded up to whole milliseconds and never negative; zero
    // in a window.
    std::chrono::milliseconds WaitFrom(TimePoint now, std::uint64_t sent,
                                       std::optional<std::int64_t> nextCapturedNs) const;

    bool Windowed() const { return std::holds_alternative<Window>(m_mode); }
    TimePoint Start() const { return m_start; }

private:
    TimePoint At(double seconds) const;

    Mode m_mode;
    TimePoint m_start;
    std::optional<std::int64_t> m_firstCapturedNs;
};

// The longest wait a timer holds at once: an int of milliseconds (24.8 days); past it, it wraps.
inline constexpr std::chrono::milliseconds LONGEST_TIMER_WAIT{std::numeric_limits<int>::max()};

// The wait from `now` to `due` as a timer takes it: whole milliseconds rounded up, never negative, at most
// LONGEST_TIMER_WAIT. A later `due` is reached by waiting again when the timer fires.
std::chrono::milliseconds TimerWait(Pacer::TimePoint due, Pacer::TimePoint now);

} // namespace veltrano
