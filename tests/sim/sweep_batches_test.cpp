#include "sim/sweep_batches.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

using namespace veltrano;

namespace {

using veltrano::SweepBatches;

// The `count` frames of a walk from `firstTick` on.
std::vector<SweepWalk::Frame> Walk(std::uint64_t firstTick, std::size_t count)
{
    SweepWalk walk(firstTick);
    std::vector<SweepWalk::Frame> frames;
    for (std::size_t i = 0; i < count; ++i)
        frames.push_back(walk.Next());
    return frames;
}

TEST(SweepBatches, FramesThatDidNotGoAreTakenAgainByTheNextBatch)
{
    struct Case
    {
        const char* name;
        std::uint64_t take;
        std::size_t consumed;
        std::uint64_t firstTick; // of the batch taken
        std::uint64_t taken;     // after it settled
        std::uint64_t nextTick;
    };
    // clang-format off
    const Case cases[] = {
        {"a whole batch goes",           4, 4,  1,  4,  5},
        {"two of five go",               5, 2,  5,  6,  7},
        {"the rest come again",          3, 3,  7,  9, 10},
        {"none goes: all come again",    2, 0, 10,  9, 10},
        {"more settled than taken",      1, 5, 10, 10, 11},
    };
    // clang-format on
    SweepBatches batches(1, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto batch = batches.Take(c.take);
        const std::vector<SweepWalk::Frame> expected = Walk(c.firstTick, c.take);
        EXPECT_EQ(std::vector<SweepWalk::Frame>(batch.begin(), batch.end()), expected);
        batches.Settle(c.consumed);
        EXPECT_EQ(batches.Taken(), c.taken);
        EXPECT_EQ(batches.NextTick(), c.nextTick);
    }
    EXPECT_FALSE(batches.AllTaken()) << "no count: no end";
}

TEST(SweepBatches, ACountBoundsWhatIsDueAndEndsTheSweep)
{
    struct Case
    {
        const char* name;
        std::uint64_t count;
        std::uint64_t takenBefore;
        std::uint64_t due;
        std::uint64_t within;
        bool allTaken;
    };
    // clang-format off
    const Case cases[] = {
        {"no count, all due",     0,  3, 100, 100, false},
        {"within the count",     10,  3,   5,   5, false},
        {"cut to what is left",  10,  8,   5,   2, false},
        {"nothing left",         10, 10,   5,   0, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SweepBatches batches(7, c.count);
        batches.Take(c.takenBefore);
        batches.Settle(c.takenBefore);
        EXPECT_EQ(batches.Within(c.due), c.within);
        EXPECT_EQ(batches.AllTaken(), c.allTaken);
        EXPECT_EQ(batches.NextTick(), 7 + c.takenBefore);
    }
}

// Only a frame refused for want of buffer space is taken again; any other refusal is told and passed over.
TEST(SweepBatches, AFrameRefusedForGoodIsPassedOverOneRefusedForSpaceWaits)
{
    struct Case
    {
        const char* name;
        std::size_t sent; // of a batch of 4 from tick 1
        int error;
        int refusedForGood;
        std::uint64_t taken;
        std::uint64_t nextTick;
    };
    // clang-format off
    const Case cases[] = {
        {"all went",                    4, 0,            0,            4, 5},
        {"a full buffer: it waits",     2, EAGAIN,       0,            2, 3},
        {"no buffer space: it waits",   2, ENOBUFS,      0,            2, 3},
        {"a closed port: passed over",  2, ECONNREFUSED, ECONNREFUSED, 3, 4},
        {"too long: passed over",       0, EMSGSIZE,     EMSGSIZE,     1, 2},
        {"no route: passed over",       3, ENETUNREACH,  ENETUNREACH,  4, 5},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SweepBatches batches(1, 0);
        batches.Take(4);
        EXPECT_EQ(batches.Handed(c.sent, c.error), c.refusedForGood);
        EXPECT_EQ(batches.Taken(), c.taken);
        EXPECT_EQ(batches.NextTick(), c.nextTick);
    }
}

} // namespace
