#include "net/linger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>

namespace {

using std::chrono::microseconds;

// The wait follows the slowest of the latest gaps: twice it, within bounds, or none for a slow sender.
TEST(Linger, TheLimitFollowsTheLongestOfTheLatestGaps)
{
    struct Case
    {
        const char* name;
        std::initializer_list<int> gapsUs;
        int limitUs;
    };
    const Case cases[] = {
        {.name = "nothing heard yet", .gapsUs = {}, .limitUs = 25},
        {.name = "an instant sender", .gapsUs = {1, 0, 2, 1}, .limitUs = 25},
        {.name = "a quick sender", .gapsUs = {30, 10, 40, 20}, .limitUs = 80},
        {.name = "twice the slowest", .gapsUs = {30, 120, 40, 20}, .limitUs = 240},
        {.name = "at most the longest", .gapsUs = {200}, .limitUs = 250},
        {.name = "just within", .gapsUs = {250}, .limitUs = 250},
        {.name = "too slow to wait for", .gapsUs = {251}, .limitUs = 0},
        {.name = "still among the latest", .gapsUs = {2000, 10, 10, 10}, .limitUs = 0},
        {.name = "past the latest", .gapsUs = {2000, 10, 10, 10, 10}, .limitUs = 25},
    };
    for (const Case& c : cases) {
        Linger linger;
        for (const int gap : c.gapsUs)
            linger.Heard(microseconds(gap));
        EXPECT_EQ(linger.Limit(), microseconds(c.limitUs)) << c.name;
    }
}

TEST(Linger, AWaitEndsWithTheFirstDatagramOrAtItsLimit)
{
    Linger linger;
    auto start = Linger::Clock::now();
    EXPECT_FALSE(linger.Wait([] { return false; }));
    EXPECT_GE(Linger::Clock::now() - start, Linger::SHORTEST);

    // One that comes on a later ask is caught, unless this machine stalled the wait past its limit.
    int polls = 0;
    start = Linger::Clock::now();
    if (linger.Wait([&] { return ++polls == 3; }))
        EXPECT_EQ(polls, 3);
    else
        EXPECT_GE(Linger::Clock::now() - start, linger.Limit());

    // Without a wait the datagram already there is still taken.
    linger.Heard(Linger::LONGEST * 2);
    ASSERT_EQ(linger.Limit().count(), 0);
    EXPECT_TRUE(linger.Wait([] { return true; }));
}

// A wait that caught nothing counts its gap until the next datagram, whoever finds it; without a miss
// before it, a datagram found by the event loop tells nothing.
TEST(Linger, AMissedWaitsGapEndsWithTheNextArrival)
{
    Linger linger;
    linger.Arrived();
    EXPECT_EQ(linger.Limit(), Linger::SHORTEST);

    EXPECT_FALSE(linger.Wait([] { return false; }));
    // The gap counts from the wait's start, before this.
    const auto missed = Linger::Clock::now();
    while (Linger::Clock::now() - missed <= Linger::LONGEST) {
    }
    linger.Arrived();
    EXPECT_EQ(linger.Limit().count(), 0);
    // Only once.
    for (std::size_t i = 1; i < Linger::REMEMBERED; ++i)
        linger.Heard(microseconds(10));
    linger.Arrived();
    linger.Heard(microseconds(10));
    EXPECT_EQ(linger.Limit(), Linger::SHORTEST);
}

} // namespace
