#include "sim/status_rules.h"

#include "sim/event_builder.h"
#include "sim/event_catalogue.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using veltrano::PanelEvent;
using veltrano::PanelEvents;
using veltrano::PanelFrameKind;
using veltrano::ReadPanelFrame;
using veltrano::StatusEvents;

StatusBytes Status(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::string Text(const PanelEvents& events)
{
    std::string out;
    for (const PanelEvent& event : events) {
        if (!out.empty())
            out += ", ";
        veltrano::AppendEventText(out, event);
    }
    return out;
}

// The frame's hex followed by its checksum.
std::vector<std::uint8_t> WithChecksum(std::string_view hex)
{
    std::vector<std::uint8_t> bytes = Bytes(hex);
    bytes.push_back(0);
    bytes.back() = FrameChecksum(bytes);
    return bytes;
}

// A 12-byte status frame whose length byte says `length`, with the checksum right where that length puts it.
std::vector<std::uint8_t> StatusWithLengthByte(std::uint8_t length)
{
    std::vector<std::uint8_t> bytes = Bytes("00 00 01 00 00 00 02 04 11 00 00 00");
    bytes[0] = length;
    bytes[length - 1U] = FrameChecksum(std::span(bytes).first(length));
    return bytes;
}

// What the event builder's frame of `row` tells a centre that last held `start`.
PanelEvents ReadBuilt(int row, int zone, const StatusBytes& start)
{
    const auto built = BuildEvent(row, start, 3, 7, zone);
    return ReadPanelFrame(DecodeFrame(std::get<BuiltEvent>(built).Frame()), start).events;
}

// Starting statuses none of which makes a device event a tie with one zone event: armed and disarmed
// devices, zones all, none and some disarmed, every flag set and none.
const StatusBytes STARTS[] = {
    DEFAULT_STATUS,     Status(0x00000000), Status(0xFFFFFFFF), Status(0x0111FF00),
    Status(0x055A3C00), Status(0xA063C3FF), Status(0x00102400),
};

// Every row the builder sends, from every start: the frame names that row (trigger as the zone row it cannot
// be told from) at the zone given, or nothing when it left the status as it was.
TEST(StatusRules, EachBuiltEventReadsAsItsRow)
{
    for (int row = 0; row < EVENT_TYPE_COUNT; ++row) {
        const EventRow& event = *FindEventRow(row);
        for (const StatusBytes& start : STARTS) {
            for (const int zone : {1, 3, 8}) {
                SCOPED_TRACE(testing::Message() << event.key << " zone " << zone << " from " << Hex(start));
                const auto built = std::get<BuiltEvent>(BuildEvent(row, start, 3, 7, zone));
                const PanelEvents events = ReadBuilt(row, zone, start);
                if (event.command == CMD_STATUS && built.status == start) {
                    EXPECT_EQ(Text(events), "");
                    continue;
                }
                ASSERT_EQ(events.size(), 1u) << Text(events);
                const std::string_view key = event.key;
                const std::string_view expected = key == "trigger"           ? "zone-disarm"
                                                  : key == "trigger-restore" ? "zone-arm"
                                                                             : key;
                EXPECT_EQ(veltrano::EventKey(events[0]), expected);
                EXPECT_EQ(events[0].zone, event.NeedsZone() ? zone : 0);
            }
        }
    }
}

// The builder's own sequence for a panel never heard before, each frame against what the last left.
TEST(StatusRules, WorkedSequenceFromTheFirstStatus)
{
    const struct
    {
        const char* frame;
        const char* events;
    } steps[] = {
        {known::STATUS_HEX, "zone-alarm zone 1"},
        {"0C 00 01 00 00 00 02 01 11 FF 00 20", "device-disarm"},
        {"09 00 01 00 00 00 03 01 0E", "fault"},
        {"0C 00 01 00 00 00 02 01 10 00 00 20", "device-arm"},
        {"0C 00 01 00 00 00 02 01 10 80 00 A0", "zone-disarm zone 8"},
        {"0C 00 01 00 00 00 02 01 10 00 00 20", "zone-arm zone 8"},
        {"08 00 01 00 00 00 01 0A", "online"},
        {"08 00 01 00 00 00 04 0D", "fault-restore"},
        {"0C 00 01 00 00 00 02 01 10 00 00 20", ""},
    };
    StatusBytes status = veltrano::FIRST_STATUS;
    for (const auto& step : steps) {
        const auto read = ReadPanelFrame(DecodeFrame(Bytes(step.frame)), status);
        EXPECT_EQ(Text(read.events), step.events) << step.frame;
        status = read.status;
    }
    EXPECT_EQ(status, Status(0x01100000));
}

// Several changes at once, ties between device and zone events, bits no row sets.
TEST(StatusRules, FewestEventsDeviceFirstThenCatalogueOrder)
{
    const struct
    {
        const char* name;
        std::uint32_t from;
        std::uint32_t to;
        const char* events;
    } cases[] = {
        // clang-format off
        {"equal", 0x05153C00, 0x05153C00, ""},
        {"two alarms and tamper", 0x00110000, 0x05150000, "zone-alarm zone 1, zone-alarm zone 3, tamper"},
        {"all zones disarmed is one device event", 0x01110000, 0x0111FF00, "device-disarm"},
        {"one zone disarmed on an armed device", 0x01100000, 0x01108000, "zone-disarm zone 8"},
        {"tie, disarm: the zone event", 0x00117F00, 0x0011FF00, "zone-disarm zone 8"},
        {"tie, arm: the zone event", 0x00100100, 0x00100000, "zone-arm zone 1"},
        {"tie of five: the zone events", 0x00110100, 0x0011F000, "zone-arm zone 1, zone-disarm zone 5, zone-disarm zone 6, zone-disarm zone 7, zone-disarm zone 8"},
        {"device event shorter by one", 0x00110000, 0x0011FE00, "device-disarm, zone-arm zone 1"},
        {"bit 0 changes only by a device event", 0x00100000, 0x00117F00, "device-disarm, zone-arm zone 8"},
        {"arming keeps a zone disarmed after", 0x00110F00, 0x00100100, "device-arm, zone-disarm zone 1"},
        {"every restore", 0xFF7FFF00, 0x00000000, "device-arm, zone-alarm-restore zone 1, zone-alarm-restore zone 2, zone-alarm-restore zone 3, zone-alarm-restore zone 4, zone-alarm-restore zone 5, zone-alarm-restore zone 6, zone-alarm-restore zone 7, zone-alarm-restore zone 8, help-restore, tamper-restore, under-voltage-restore, battery-restore, mains-present, work-mode"},
        {"flag bit 7", 0x00110000, 0x00910000, "status-bits device_flags 0x80"},
        {"spare byte", 0x00110000, 0x00110001, "status-bits spare 0x01"},
        {"unknown bits after the rows", 0x001100F0, 0x0095000F, "tamper, status-bits device_flags 0x80, status-bits spare 0xFF"},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(Text(StatusEvents(Status(c.from), Status(c.to))), c.events) << c.name;
    // The most a frame can carry fits the list: a device event, 8 zone-arm, 8 alarms, 6 flags, 2 bit events.
    EXPECT_EQ(StatusEvents(Status(0x00000000), Status(0xFFFF00FF)).size(), PanelEvents::CAPACITY);
}

// Applied in the order given, by the builder itself, the events turn any status into any other, and they
// never name the trigger rows nor a device event other than first.
TEST(StatusRules, EventsAppliedInOrderGiveTheNewStatus)
{
    std::mt19937 random(29);
    for (int round = 0; round < 20'000; ++round) {
        const StatusBytes from = Status(static_cast<std::uint32_t>(random()));
        const StatusBytes to = Status(static_cast<std::uint32_t>(random()));
        StatusBytes status = from;
        const PanelEvents events = StatusEvents(from, to);
        for (std::size_t i = 0; i < events.size(); ++i) {
            const PanelEvent& event = events[i];
            if (event.row == veltrano::STATUS_BITS_EVENT) {
                status[event.byte] ^= event.bits;
                continue;
            }
            const std::string_view key = veltrano::EventKey(event);
            ASSERT_NE(key.substr(0, 7), "trigger");
            if (key == "device-arm" || key == "device-disarm") {
                ASSERT_EQ(i, 0u) << Hex(from) << " -> " << Hex(to);
            }
            status = std::get<BuiltEvent>(BuildEvent(event.row, status, 0, 0, event.zone)).status;
        }
        ASSERT_EQ(status, to) << Hex(from) << " -> " << Hex(to) << ": " << Text(events);
    }
}

// What is not a panel's well-formed frame changes nothing and carries nothing.
TEST(StatusRules, OnlyWellFormedFramesCarryEvents)
{
    const struct
    {
        const char* name;
        std::vector<std::uint8_t> frame;
        PanelFrameKind kind;
        const char* events;
    } cases[] = {
        // clang-format off
        {"status", WithChecksum("0C 00 01 00 00 00 02 04 11 00 00"), PanelFrameKind::Status, "zone-alarm zone 3"},
        {"reserved bytes are no fault", WithChecksum("0C 00 01 00 07 00 02 04 11 00 00"), PanelFrameKind::Status, "zone-alarm zone 3"},
        {"online", WithChecksum("08 00 01 00 00 00 01"), PanelFrameKind::Event, "online"},
        {"fault", WithChecksum("09 00 01 00 00 00 03 55"), PanelFrameKind::Event, "fault"},
        {"fault restore", WithChecksum("08 00 01 00 00 00 04"), PanelFrameKind::Event, "fault-restore"},
        {"acknowledgement", WithChecksum("08 00 01 00 00 00 82"), PanelFrameKind::Acknowledgement, ""},
        {"wrong checksum", Bytes("0C 00 01 00 00 00 02 04 11 00 00 00"), PanelFrameKind::Malformed, ""},
        {"length byte not the size", WithChecksum("0D 00 01 00 00 00 02 04 11 00 00"), PanelFrameKind::Malformed, ""},
        {"short", Bytes("0C 00 01 00 00 00 02 04 11"), PanelFrameKind::Malformed, ""},
        {"12 bytes, length byte 8", StatusWithLengthByte(8), PanelFrameKind::Malformed, ""},
        {"12 bytes, length byte 9", StatusWithLengthByte(9), PanelFrameKind::Malformed, ""},
        {"12 bytes, length byte 10", StatusWithLengthByte(10), PanelFrameKind::Malformed, ""},
        {"12 bytes, length byte 11", StatusWithLengthByte(11), PanelFrameKind::Malformed, ""},
        {"a status frame of 13 bytes", WithChecksum("0D 00 01 00 00 00 02 04 11 00 00 00"), PanelFrameKind::Malformed, ""},
        {"an online frame of 9 bytes", WithChecksum("09 00 01 00 00 00 01 00"), PanelFrameKind::Malformed, ""},
        {"communicator and device 239", WithChecksum("0C EF EF 00 00 00 02 04 11 00 00"), PanelFrameKind::Status, "zone-alarm zone 3"},
        {"communicator 240", WithChecksum("0C F0 01 00 00 00 02 04 11 00 00"), PanelFrameKind::Malformed, ""},
        {"two bytes", Bytes("0C 00"), PanelFrameKind::Malformed, ""},
        {"debug", Bytes("12 00 00 00 00 00 3E 00 00 00 00 00 00 00 00 00 00 00"), PanelFrameKind::Other, ""},
        {"unknown command", WithChecksum("08 00 01 00 00 00 0F"), PanelFrameKind::Other, ""},
    };
    // clang-format on
    const StatusBytes last = Status(0x00110000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto read = ReadPanelFrame(DecodeFrame(c.frame), last);
        EXPECT_EQ(read.kind, c.kind);
        EXPECT_EQ(Text(read.events), c.events);
        if (c.kind != PanelFrameKind::Status) {
            EXPECT_EQ(read.status, last);
        }
    }
}

TEST(StatusRules, CatalogueWordsForTheDecodedStatus)
{
    const struct
    {
        std::uint8_t flags;
        const char* words;
    } cases[] = {
        {0x00, ""},
        {0x11, "设备撤防、无ac"},
        {0x04, "被撬"},
        {0xFF, "设备撤防、紧急求助、被撬、电池异常、无ac、测试模式、欠压、位7"},
    };
    for (const auto& c : cases) {
        std::string words;
        veltrano::AppendFlagWordsZh(words, c.flags, "、");
        EXPECT_EQ(words, c.words);
    }
    std::string zones;
    veltrano::AppendZoneList(zones, 0x85, ",");
    EXPECT_EQ(zones, "1,3,8");
    std::string zh;
    veltrano::AppendEventTextZh(zh, {3, 3});
    EXPECT_EQ(zh, "防区报警 防区3");
}

} // namespace
