#include "sim/sweep_walk.h"
#include "tests/support/hex_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace veltrano;

namespace {

// The last tick of a pair fills its byte 10; the next tick starts the next pair at byte 8.
TEST(SweepWalk, PairsFollowEachOtherAndTheWalkWrapsAt240)
{
    const struct
    {
        std::uint64_t tick;
        const char* frame;
    } cases[] = {
        {1, "0C 00 00 00 00 00 02 00 00 00 00 0E"},
        {6, "0C 00 00 00 00 00 02 00 FF FF FF 0B"},
        {7, "0C 00 01 00 00 00 02 00 00 FF FF 0D"},
        {13, "0C 00 02 00 00 00 02 00 00 FF FF 0E"},
        {238 * 6 + 6, "0C 00 EE 00 00 00 02 00 FF FF FF F9"},
        {239 * 6 + 1, "0C 00 EF 00 00 00 02 00 00 FF FF FB"},
        {240 * 6 + 1, "0C 01 00 00 00 00 02 00 00 FF FF 0D"},
        {SweepWalk::TICKS_PER_WALK, "0C EF EF 00 00 00 02 00 FF FF FF E9"},
        {SweepWalk::TICKS_PER_WALK + 1, "0C 00 00 00 00 00 02 00 00 FF FF 0C"},
    };
    for (const auto& c : cases) {
        SweepWalk walk(c.tick);
        EXPECT_EQ(walk.NextTick(), c.tick);
        EXPECT_EQ(Hex(walk.Next()), c.frame) << c.tick;
        EXPECT_EQ(walk.NextTick(), c.tick + 1);
    }
}

// Starting anywhere gives what walking there from the first tick gives.
TEST(SweepWalk, StartingAtATickMatchesWalkingThere)
{
    SweepWalk walked;
    for (std::uint64_t tick = 1; tick <= SweepWalk::TICKS_PER_WALK + 20; ++tick) {
        const SweepWalk::Frame frame = walked.Next();
        if (tick <= 20 || tick % 9973 == 0 || tick > SweepWalk::TICKS_PER_WALK - 10) {
            ASSERT_EQ(Hex(SweepWalk(tick).Next()), Hex(frame)) << tick;
        }
    }
}

} // namespace
