#include "net/linger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

std::string Limits(Linger& linger, int misses)
{
    std::string seen;
    for (int i = 0; i < misses; ++i) {
        seen += linger.Limit() == Linger::LONGEST ? 'L' : linger.Limit().count() == 0 ? '-' : '?';
        linger.Missed();
    }
    return seen;
}

// Waits while they pay; none once they stop, apart from a probe now and then that finds out whether a slow
// sender's next datagram would be caught again; waits again as soon as one is.
TEST(Linger, WaitsWhileWaitingPaysAndProbesOnceItStops)
{
    Linger linger;
    EXPECT_EQ(Limits(linger, 20), "LLLL-------L-------L");
    linger.Caught();
    EXPECT_EQ(Limits(linger, 5), "LLLL-");
}

TEST(Linger, AWaitEndsWithTheFirstDatagramOrAtItsLimit)
{
    Linger linger;
    for (int miss = 0; miss < static_cast<int>(Linger::MISSES_BEFORE_NONE); ++miss) {
        const auto limit = linger.Limit();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(linger.Wait([] { return false; }));
        EXPECT_GE(std::chrono::steady_clock::now() - start, limit);
    }
    EXPECT_EQ(linger.Limit().count(), 0);
    // Without a wait the datagram already there is still taken, and counts as caught.
    EXPECT_TRUE(linger.Wait([] { return true; }));
    EXPECT_EQ(linger.Limit(), Linger::LONGEST);

    // One that comes on a later ask is caught, unless this machine stalled the wait past its limit.
    int polls = 0;
    const auto start = std::chrono::steady_clock::now();
    if (linger.Wait([&] { return ++polls == 3; }))
        EXPECT_EQ(polls, 3);
    else
        EXPECT_GE(std::chrono::steady_clock::now() - start, Linger::LONGEST);
}

} // namespace
