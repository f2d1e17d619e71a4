#include "suite/frame_checks.h"

#include "protocol/hex.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltrano;

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
    // clang-format off
    const Row rows[] = {
        {"status", known::STATUS_HEX, ""},
        {"online", "08 00 01 00 00 00 01 0A", ""},
        {"debug with its final zero", "12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00", ""},
        {"length byte", "0C 00 01 00 00 00 02 01 11 00 00", "length byte 12, datagram 11 bytes, no checksum, cut short at 11 bytes"},
        {"checksum", "08 00 01 00 00 00 01 0B", "checksum 0x0A expected, 0x0B found"},
        {"reserved", "08 00 01 00 05 00 01 0F", "reserved bytes 0x00 0x05 0x00"},
        {"communicator", "08 F0 01 00 00 00 01 FA", "communicator 240 above 239"},
        {"device", "08 00 F0 00 00 00 01 F9", "device 240 above 239"},
        {"unknown command", "08 00 01 00 00 00 0F 18", "command 0x0F unknown"},
        {"an acknowledgement", known::STATUS_ACK_HEX, "command 0x82 is an acknowledgement"},
        {"short", "05 00 01 00 00", "no checksum, cut short at 5 bytes"},
    };
    // clang-format on
    for (const Row& row : rows) {
        const auto problem = PanelFrameProblem(Bytes(row.hex));
        EXPECT_EQ(problem.value_or(""), row.problem) << row.name;
    }
    EXPECT_EQ(PanelFrameProblem({}).value_or(""), "empty datagram");
}

// Judged by the centre's status rules: one event at most, whichever zone it names, and never bits no event
// sets. Each case's frame change is what the named events of the event builder make.
TEST(StatusStepPossible, OnlyWhatOneCatalogueEventDoes)
{
    struct Row
    {
        const char* name;
        StatusBytes before;
        StatusBytes after;
        const char* problem; // empty: possible
    };
    // clang-format off
    const Row rows[] = {
        {"unchanged", DEFAULT_STATUS, DEFAULT_STATUS, ""},
        {"zone 3 alarm", DEFAULT_STATUS, {0x04, 0x11, 0x00, 0x00}, ""},
        {"zone 8 alarm", DEFAULT_STATUS, {0x80, 0x11, 0x00, 0x00}, ""},
        {"zone 8 disarmed", {0x01, 0x10, 0x00, 0x00}, {0x01, 0x10, 0x80, 0x00}, ""},
        {"zone 8 triggered on a disarmed device", {0x00, 0x11, 0x7F, 0x00}, {0x00, 0x11, 0xFF, 0x00}, ""},
        {"zone 8 alarm restored", {0x80, 0x10, 0x00, 0x00}, {0x00, 0x10, 0x00, 0x00}, ""},
        {"device arm", {0x00, 0x11, 0xFF, 0x00}, {0x00, 0x10, 0x00, 0x00}, ""},
        {"device disarm", {0x01, 0x11, 0x00, 0x00}, {0x01, 0x11, 0xFF, 0x00}, ""},
        {"tamper", DEFAULT_STATUS, {0x00, 0x15, 0x00, 0x00}, ""},
        {"two zones at once", DEFAULT_STATUS, {0x05, 0x11, 0x00, 0x00}, "2 events: zone-alarm zone 1, zone-alarm zone 3"},
        {"alarm and tamper at once", DEFAULT_STATUS, {0x01, 0x15, 0x00, 0x00}, "2 events: zone-alarm zone 1, tamper"},
        {"zone 1 out, zones 2 and 3 in", {0x01, 0x11, 0x00, 0x00}, {0x06, 0x11, 0x00, 0x00}, "3 events: zone-alarm zone 2, zone-alarm zone 3, zone-alarm-restore zone 1"},
        {"spare byte", DEFAULT_STATUS, {0x00, 0x11, 0x00, 0x01}, "status-bits spare 0x01, which no event sets"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(StatusStepProblem(row.before, row.after).value_or(""), row.problem);
        EXPECT_EQ(StatusStepPossible(row.before, row.after), *row.problem == '\0');
    }
}

// Every change one built event makes, from several statuses, at every zone: possible.
TEST(StatusStepPossible, EveryBuiltEventAtEveryZone)
{
    for (const StatusBytes& before :
         {DEFAULT_STATUS, StatusBytes{0xFF, 0xFF, 0xFF, 0xFF}, StatusBytes{0x5A, 0x10, 0xA5, 0x00}})
        for (int row = 0; row < EVENT_TYPE_COUNT; ++row)
            for (int zone = 1; zone <= 8; ++zone) {
                const auto built = std::get<BuiltEvent>(BuildEvent(row, before, 0, 1, zone));
                EXPECT_TRUE(StatusStepPossible(before, built.status))
                    << FindEventRow(row)->key << " zone " << zone << " from " << StatusHex(before);
            }
}
