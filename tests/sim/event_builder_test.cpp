#include "sim/event_builder.h"
#include "sim/event_catalogue.h"
#include "tests/support/hex_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace veltrano;

namespace {

StatusBytes Status(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// Set rows start from the defaults, clear rows from all ones, so every mask shows; the frame carries the
// status the pair keeps, and the zone must not matter to rows that need none.
TEST(BuildEvent, EachRowChangesItsBitsOnly)
{
    const struct
    {
        int row;
        int zone;
        std::uint32_t before;
        const char* frame;
    } cases[] = {
        {1, 3, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF FF FB FF 07"},
        {2, 3, 0x00110000, "0C 00 01 00 00 00 02 00 11 04 00 24"},
        {3, 3, 0x00110000, "0C 00 01 00 00 00 02 04 11 00 00 24"},
        {4, 3, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FB FF FF FF 07"},
        {5, 0, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF FE 00 FF 0B"},
        {6, 0, 0x00110000, "0C 00 01 00 00 00 02 00 11 FF 00 1F"},
        {9, 0, 0x00110000, "0C 00 01 00 00 00 02 00 13 00 00 22"},
        {10, 0, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF FD FF FF 09"},
        {11, 0, 0x00110000, "0C 00 01 00 00 00 02 00 15 00 00 24"},
        {12, 0, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF FB FF FF 07"},
        {13, 0, 0x00110000, "0C 00 01 00 00 00 02 00 51 00 00 60"},
        {14, 0, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF BF FF FF CB"},
        {15, 0, 0x00110000, "0C 00 01 00 00 00 02 00 19 00 00 28"},
        {16, 0, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF F7 FF FF 03"},
        {17, 0, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF EF FF FF FB"},
        {18, 0, 0x00000000, "0C 00 01 00 00 00 02 00 10 00 00 1F"},
        {19, 0, 0x00110000, "0C 00 01 00 00 00 02 00 31 00 00 40"},
        {20, 7, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF DF FF FF EB"},
        {21, 3, 0x00110000, "0C 00 01 00 00 00 02 00 11 04 00 24"},
        {22, 3, 0xFFFFFFFF, "0C 00 01 00 00 00 02 FF FF FB FF 07"},
        {2, 8, 0x00110000, "0C 00 01 00 00 00 02 00 11 80 00 A0"},
        // The short frames carry their checksum where a status frame keeps status, and change nothing.
        {0, 0, 0xFFFFFFFF, "08 00 01 00 00 00 01 0A"},
        {7, 0, 0x01110000, "09 00 01 00 00 00 03 01 0E"},
        {8, 0, 0xFFFFFFFF, "08 00 01 00 00 00 04 0D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << c.row << " zone " << c.zone);
        const auto built = BuildEvent(c.row, Status(c.before), 0, 1, c.zone);
        ASSERT_TRUE(std::holds_alternative<BuiltEvent>(built));
        const BuiltEvent& event = std::get<BuiltEvent>(built);
        EXPECT_EQ(Hex(event.Frame()), c.frame);
        const StatusBytes expected =
            event.length == STATUS_FRAME_LENGTH
                ? StatusBytes{event.bytes[7], event.bytes[8], event.bytes[9], event.bytes[10]}
                : Status(c.before);
        EXPECT_EQ(event.status, expected);
    }
}

TEST(BuildEvent, RefusesWithoutARowOrAZone)
{
    const struct
    {
        std::optional<int> row;
        int zone;
        EventRefusal refusal;
    } cases[] = {
        {std::nullopt, 1, EventRefusal::NoSelection}, {-1, 1, EventRefusal::NoSelection},
        {23, 1, EventRefusal::NoSelection},           {3, 0, EventRefusal::ZoneRequired},
        {21, 9, EventRefusal::ZoneRequired},          {1, -1, EventRefusal::ZoneRequired},
    };
    for (const auto& c : cases) {
        const auto built = BuildEvent(c.row, DEFAULT_STATUS, 0, 1, c.zone);
        ASSERT_TRUE(std::holds_alternative<EventRefusal>(built)) << c.row.value_or(-99);
        EXPECT_EQ(std::get<EventRefusal>(built), c.refusal) << c.row.value_or(-99);
    }
}

TEST(EventCatalogue, KeysAreUniqueAndNamesLeadToTheirRows)
{
    for (int i = 0; i < EVENT_TYPE_COUNT; ++i) {
        for (int j = i + 1; j < EVENT_TYPE_COUNT; ++j)
            EXPECT_STRNE(FindEventRow(i)->key, FindEventRow(j)->key);
    }
    EXPECT_EQ(FindEventRow(EVENT_TYPE_COUNT), nullptr);
    EXPECT_STREQ(FindEventRow(3)->key, "zone-alarm");
}

} // namespace
