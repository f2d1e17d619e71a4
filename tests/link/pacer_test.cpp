#include "link/pacer.h"

#include <gtest/gtest.h>

#include <optional>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::Pacer;

const Pacer::TimePoint T0{std::chrono::seconds(1000)};

TEST(Pacer, AtARateTheFramesDueFollowElapsedTimeNotTheWakeUps)
{
    struct Case
    {
        const char* name;
        double rate;
        std::chrono::milliseconds elapsed;
        std::uint64_t sent;
        std::uint64_t mayGo;
    };
    // clang-format off
    const Case cases[] = {
        {"the first frame goes at once",          10,    0ms,    0, 1},
        {"none more before its interval",         10,   99ms,    1, 0},
        {"the second at one interval",            10,  100ms,    1, 1},
        {"a late wake-up catches up",             10, 1000ms,    2, 9},
        {"frames already sent are not owed",      10, 1000ms,   11, 0},
        {"ahead of the clock, nothing goes",      10,  500ms,   20, 0},
        {"a fast rate owes many at once",       1024, 1000ms,    0, 1025},
        {"a slow rate waits whole seconds",      0.5, 1999ms,    1, 0},
        {"and then lets one go",                 0.5, 2000ms,    1, 1},
        {"a clock before the start owes one",     10,  -5ms,     0, 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        Pacer pacer(Pacer::Rate{c.rate}, T0);
        EXPECT_EQ(pacer.MayGo(T0 + c.elapsed, c.sent, c.sent), c.mayGo) << c.name;
    }
}

TEST(Pacer, InAWindowOnlyTheFramesStillWaitingCount)
{
    struct Case
    {
        const char* name;
        std::uint64_t window;
        std::uint64_t sent;
        std::uint64_t outstanding;
        std::uint64_t mayGo;
    };
    // clang-format off
    const Case cases[] = {
        {"an empty window fills at once",   16,     0,  0, 16},
        {"each answer frees one place",     16, 1'000, 15,  1},
        {"a full window lets none go",      16, 1'000, 16,  0},
        {"more waiting than the window",     4,    10,  6,  0},
        {"a window of one is stop-and-wait", 1,     5,  0,  1},
    };
    // clang-format on
    for (const Case& c : cases) {
        Pacer pacer(Pacer::Window{c.window}, T0);
        // Time means nothing to a window.
        EXPECT_EQ(pacer.MayGo(T0 + 1h, c.sent, c.outstanding), c.mayGo) << c.name;
        EXPECT_FALSE(pacer.NextDue(c.sent, std::nullopt)) << c.name;
        EXPECT_EQ(pacer.WaitFrom(T0, c.sent, std::nullopt), 0ms) << c.name;
    }
}

TEST(Pacer, CapturedGapsAreKeptScaledBySpeedFromTheFirstFrame)
{
    struct Case
    {
        const char* name;
        double speed;
        std::int64_t firstNs;
        std::int64_t nextNs;
        std::chrono::milliseconds elapsed;
        std::uint64_t mayGo;
        std::chrono::milliseconds wait;
    };
    // clang-format off
    const Case cases[] = {
        {"a frame at the capture's start goes at once", 1,   5'000'000'000, 5'000'000'000,    0ms, 1,    0ms},
        {"one a second later waits a second",           1,   5'000'000'000, 6'000'000'000,  999ms, 0,    1ms},
        {"and goes when the second is over",            1,   5'000'000'000, 6'000'000'000, 1000ms, 1,    0ms},
        {"twice as fast halves the gap",                2,   5'000'000'000, 6'000'000'000,  500ms, 1,    0ms},
        {"half as fast doubles it",                   0.5,   5'000'000'000, 6'000'000'000, 1500ms, 0,  500ms},
        {"a wait rounds up to whole milliseconds",      1,               0,     1'500'000,    0ms, 0,    2ms},
        {"a frame captured out of order goes at once",  1,   5'000'000'000, 4'000'000'000,    0ms, 1,    0ms},
    };
    // clang-format on
    for (const Case& c : cases) {
        Pacer pacer(Pacer::CapturedGaps{c.speed}, T0);
        EXPECT_EQ(pacer.MayGo(T0, 0, 0, c.firstNs), 1u) << c.name;
        EXPECT_EQ(pacer.MayGo(T0 + c.elapsed, 1, 1, c.nextNs), c.mayGo) << c.name;
        EXPECT_EQ(pacer.WaitFrom(T0 + c.elapsed, 1, c.nextNs), c.wait) << c.name;
    }
}

TEST(Pacer, WithoutANextCapturedFrameNothingIsDue)
{
    Pacer pacer(Pacer::CapturedGaps{1}, T0);
    EXPECT_EQ(pacer.MayGo(T0 + 1h, 0, 0, std::nullopt), 0u);
    EXPECT_FALSE(pacer.NextDue(0, std::nullopt));
}

TEST(Pacer, AtARateTheNextFrameIsDueAtItsPlaceOnTheClock)
{
    struct Case
    {
        const char* name;
        double rate;
        std::uint64_t sent;
        std::chrono::milliseconds now;
        std::chrono::milliseconds wait;
    };
    // clang-format off
    const Case cases[] = {
        {"the first is due at the start",       10,  0,    0ms,   0ms},
        {"the fourth at 300 ms",                10,  3,  120ms, 180ms},
        {"a frame overdue waits no more",       10,  3,  450ms,   0ms},
        {"a part of a millisecond rounds up",  3000, 1,    0ms,   1ms},
        {"a month away: what a timer holds",   1e-7, 1,    0ms,   veltrano::LONGEST_TIMER_WAIT},
    };
    // clang-format on
    for (const Case& c : cases) {
        const Pacer pacer(Pacer::Rate{c.rate}, T0);
        EXPECT_EQ(pacer.WaitFrom(T0 + c.now, c.sent, std::nullopt), c.wait) << c.name;
    }
}

// A timer holds an int of milliseconds: a longer wait is cut to it, never wrapped into a negative or a short
// one; a wait under a millisecond is not lost to rounding.
TEST(Pacer, ATimersWaitIsRoundedUpAndCutToWhatATimerHolds)
{
    using namespace std::chrono;
    struct Case
    {
        const char* name;
        nanoseconds dueAfter;
        milliseconds wait;
    };
    // clang-format off
    const Case cases[] = {
        {"past",                     -5ms,                         0ms},
        {"now",                      0ns,                          0ms},
        {"a part of a millisecond",  300us,                        1ms},
        {"whole milliseconds",       1500ms,                       1500ms},
        {"just what a timer holds",  veltrano::LONGEST_TIMER_WAIT, veltrano::LONGEST_TIMER_WAIT},
        {"thirty days",              hours(24 * 30),               veltrano::LONGEST_TIMER_WAIT},
        {"a century",                hours(24 * 365 * 100),        veltrano::LONGEST_TIMER_WAIT},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(veltrano::TimerWait(T0 + c.dueAfter, T0), c.wait) << c.name;
}

} // namespace
