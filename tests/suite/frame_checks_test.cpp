#include "suite/frame_checks.h"

#include "protocol/hex.h"
#include "sim/event_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Bytes(std::string_view hex)
{
    return ParseHexBytes(hex).value();
}

} // namespace

TEST(PanelFrameProblem, NamesWhatIsWrong)
{
    struct Row
    {
        const char* name;
        const char* hex;
        const char* problem; // empty: well formed
    };
    const Row rows[] = {
        {"status", "0C 00 01 00 00 00 02 01 11 00 00 21", ""},
        {"online", "08 00 01 00 00 00 01 0A", ""},
        {"debug with its final zero", "12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00", ""},
        {"length byte", "0C 00 01 00 00 00 02 01 11 00 00", "length byte 12, datagram 11 bytes, no checksum, cut short at 11 bytes"},
        {"checksum", "08 00 01 00 00 00 01 0B", "checksum 0x0A expected, 0x0B found"},
        {"reserved", "08 00 01 00 05 00 01 0F", "reserved bytes 0x00 0x05 0x00"},
        {"communicator", "08 F0 01 00 00 00 01 FA", "communicator 240 above 239"},
        {"device", "08 00 F0 00 00 00 01 F9", "device 240 above 239"},
        {"unknown command", "08 00 01 00 00 00 0F 18", "command 0x0F unknown"},
        {"an acknowledgement", "08 00 01 00 00 00 82 8B", "command 0x82 is an acknowledgement"},
        {"short", "05 00 01 00 00", "no checksum, cut short at 5 bytes"},
    };
    for (const Row& row : rows) {
        const auto problem = PanelFrameProblem(Bytes(row.hex));
        EXPECT_EQ(problem.value_or(""), row.problem) << row.name;
    }
    EXPECT_EQ(PanelFrameProblem({}).value_or(""), "empty datagram");
}

TEST(StatusStepPossible, OnlyWhatOneCatalogueEventDoes)
{
    struct Row
    {
        const char* name;
        StatusBytes before;
        StatusBytes after;
        bool possible;
    };
    const Row rows[] = {
        {"unchanged", DEFAULT_STATUS, DEFAULT_STATUS, true},
        {"zone 3 alarm", DEFAULT_STATUS, {0x04, 0x11, 0x00, 0x00}, true},
        {"device arm", {0x00, 0x11, 0xFF, 0x00}, {0x00, 0x10, 0x00, 0x00}, true},
        {"tamper", DEFAULT_STATUS, {0x00, 0x15, 0x00, 0x00}, true},
        {"two zones at once", DEFAULT_STATUS, {0x05, 0x11, 0x00, 0x00}, false},
        {"alarm and tamper at once", DEFAULT_STATUS, {0x01, 0x15, 0x00, 0x00}, false},
        {"spare byte", DEFAULT_STATUS, {0x00, 0x11, 0x00, 0x01}, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(StatusStepPossible(row.before, row.after), row.possible) << row.name;
}
