#include "net/linger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

std::string Limits(Linger& linger, int misses)
{
    std::string seen;
    for (int i = 0; i < misses; ++i) {
        seen += linger.Limit() == Linger::LONG ? 'L' : 'S';
        linger.Missed();
    }
    return seen;
}

// Long while waiting pays; short once it stops, with a long probe now and then that finds out whether a slow
// sender's next datagram would be caught again; long as soon as one is.
TEST(Linger, WaitsLongWhilePayingAndShortWithProbesOnceItStops)
{
    Linger linger;
    EXPECT_EQ(Limits(linger, 20), "LLLLSSSSSSSLSSSSSSSL");
    linger.Caught();
    EXPECT_EQ(Limits(linger, 5), "LLLLS");
}

TEST(Linger, AWaitEndsWithTheFirstDatagramOrAtItsLimit)
{
    Linger linger;
    int polls = 0;
    EXPECT_TRUE(linger.Wait([&] { return ++polls == 3; }));
    EXPECT_EQ(polls, 3);

    for (int miss = 0; miss < static_cast<int>(Linger::MISSES_BEFORE_SHORT); ++miss) {
        const auto limit = linger.Limit();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(linger.Wait([] { return false; }));
        EXPECT_GE(std::chrono::steady_clock::now() - start, limit);
    }
    EXPECT_EQ(linger.Limit(), Linger::SHORT);
    // A catch counts: the waits are long again.
    EXPECT_TRUE(linger.Wait([] { return true; }));
    EXPECT_EQ(linger.Limit(), Linger::LONG);
}

} // namespace
