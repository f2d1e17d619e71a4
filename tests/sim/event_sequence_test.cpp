#include "sim/event_sequence.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltrano;

namespace {

TEST(BuildEventSequence, EachEventStartsFromTheStatusTheOneBeforeLeft)
{
    struct Case
    {
        const char* name;
        std::vector<int> rows;
        int zone;
        std::vector<std::string> frames; // or, on refusal, none
        std::size_t refusedAt;
    };
    // clang-format off
    const Case cases[] = {
        {"one event",                      {0},       0, {"08 00 01 00 00 00 01 0A"}, 0},
        {"the status carries over",        {3, 5},    1, {known::STATUS_HEX, "0C 00 01 00 00 00 02 01 10 00 00 20"}, 0},
        {"a zone event without its zone",  {0, 3},    0, {}, 1},
        {"refused first, nothing built",   {3, 0},    9, {}, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto built = veltrano::BuildEventSequence(c.rows, 0, 1, c.zone);
        if (c.frames.empty()) {
            ASSERT_FALSE(built);
            EXPECT_EQ(built.error(), c.refusedAt);
            continue;
        }
        ASSERT_TRUE(built);
        std::vector<std::string> hex;
        for (const auto& frame : *built)
            hex.push_back(Hex(frame));
        EXPECT_EQ(hex, c.frames);
    }
}

} // namespace
