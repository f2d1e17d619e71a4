#include "engine/messages.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace {

// Events accumulate on one pair; the 8- and 9-byte frames leave the stored status alone.
TEST(EventSender, WorkedSequenceAccumulatesStatusOnOnePair)
{
    // Row, zone, frame, status of the pair afterwards.
    const std::tuple<int, int, const char*, const char*> steps[] = {
        {3, 1, "0C 00 01 00 00 00 02 01 11 00 00 21", "01 11 00 00"},
        {6, 1, "0C 00 01 00 00 00 02 01 11 FF 00 20", "01 11 FF 00"},
        {7, 1, "09 00 01 00 00 00 03 01 0E", "01 11 FF 00"},
        {5, 1, "0C 00 01 00 00 00 02 01 10 00 00 20", "01 10 00 00"},
        {2, 8, "0C 00 01 00 00 00 02 01 10 80 00 A0", "01 10 80 00"},
        {22, 8, "0C 00 01 00 00 00 02 01 10 00 00 20", "01 10 00 00"},
        {0, 1, "08 00 01 00 00 00 01 0A", "01 10 00 00"},
        {8, 1, "08 00 01 00 00 00 04 0D", "01 10 00 00"},
        {9, 1, "0C 00 01 00 00 00 02 01 12 00 00 22", "01 12 00 00"},
    };
    EngineHarness h;
    for (const auto& [row, zone, frame, statusAfter] : steps) {
        SCOPED_TRACE(testing::Message() << "row " << row);
        h.console.selection = row;
        h.console.form.zoneNo = zone;
        h.engine.OnSendEvent();
        EXPECT_EQ(h.Next(), Bytes(frame));
        EXPECT_EQ(h.Sent().back(), Line(frame));
        EXPECT_EQ(h.StatusOf(0, 1), Bytes(statusAfter));
    }
    EXPECT_EQ(h.Sent().size(), std::size(steps));
    EXPECT_TRUE(h.console.messages.isEmpty());
}

// Set rows start from the defaults, clear rows from all ones, so every mask shows; the frame carries the
// status the pair keeps.
TEST(EventSender, EachStatusRowChangesItsBitsOnly)
{
    // Row, zone (0 for rows that need none: it must not matter to them), status before, frame.
    const std::tuple<int, int, const char*, const char*> cases[] = {
        {1, 3, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FF FB FF 07"},
        {2, 3, "00 11 00 00", "0C 00 01 00 00 00 02 00 11 04 00 24"},
        {3, 3, "00 11 00 00", "0C 00 01 00 00 00 02 04 11 00 00 24"},
        {4, 3, "FF FF FF FF", "0C 00 01 00 00 00 02 FB FF FF FF 07"},
        {5, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FE 00 FF 0B"},
        {6, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 11 FF 00 1F"},
        {9, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 13 00 00 22"},
        {10, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FD FF FF 09"},
        {11, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 15 00 00 24"},
        {12, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FB FF FF 07"},
        {13, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 51 00 00 60"},
        {14, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF BF FF FF CB"},
        {15, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 19 00 00 28"},
        {16, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF F7 FF FF 03"},
        {17, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF EF FF FF FB"},
        {18, 0, "00 00 00 00", "0C 00 01 00 00 00 02 00 10 00 00 1F"},
        {19, 0, "00 11 00 00", "0C 00 01 00 00 00 02 00 31 00 00 40"},
        {20, 0, "FF FF FF FF", "0C 00 01 00 00 00 02 FF DF FF FF EB"},
        {21, 3, "00 11 00 00", "0C 00 01 00 00 00 02 00 11 04 00 24"},
        {22, 3, "FF FF FF FF", "0C 00 01 00 00 00 02 FF FF FB FF 07"},
    };
    for (const auto& [row, zone, before, frame] : cases) {
        SCOPED_TRACE(testing::Message() << "row " << row);
        EngineHarness h;
        std::ranges::copy(Bytes(before), h.engine.m_registry.CreateDevice(0, 1)->m_status.begin());
        h.console.selection = row;
        h.console.form.zoneNo = zone;
        h.engine.OnSendEvent();
        EXPECT_EQ(h.Next(), Bytes(frame));
        EXPECT_EQ(h.Sent(), std::vector<std::string>{Line(frame)});
        // Bytes 7 to 10 of the frame.
        EXPECT_EQ(h.StatusOf(0, 1), Bytes(std::string_view(frame).substr(21, 11)));
    }
}

// What differs is the message, whether anything leaves and whether the pair was registered.
TEST(EventSender, GuardsDecideWhatLeavesAndWhatIsRegistered)
{
    const QString range = DeviceAddressRangeMessage();
    const QString dest = DestinationInvalidMessage();
    const char* const loop = "127.0.0.1";
    // Name, endpoint open, selection, form, destination, messages, frame sent (nullptr: none),
    // whether the pair the handler saw is the one registered afterwards, with the default status.
    // clang-format off
    const std::tuple<const char*, bool, std::optional<int>, FakeConsole::Form, const char*, QStringList, const char*, bool> cases[] = {
        {"endpoint closed",       false, 3,            {},                       loop,      {},      nullptr,                   false},
        {"no selection",          true,  std::nullopt, {},                       loop,      {},      nullptr,                   true},
        {"selection 23",          true,  23,           {},                       loop,      {},      nullptr,                   true},
        {"zone event, zone 0",    true,  3,            {0, 1, 0},                loop,      {},      nullptr,                   true},
        {"communicator 240",      true,  3,            {240, 1, 1},              loop,      {range}, nullptr,                   false},
        {"device 240",            true,  3,            {0, 240, 1},              loop,      {range}, nullptr,                   false},
        {"zone 9",                true,  3,            {0, 1, 9},                loop,      {range}, nullptr,                   false},
        {"negative device",       true,  3,            {0, -1, 1},               loop,      {range}, nullptr,                   false},
        {"exchange stops at 240", true,  3,            {240, {}, {}, {}, false}, loop,      {range}, nullptr,                   false},
        {"address 1.2.3.4",       true,  3,            {},                       "1.2.3.4", {dest},  nullptr,                   false},
        // The form no longer shows the numbers an earlier exchange left: nothing goes out for them.
        {"exchange fails early",  true,  0,            {{}, {}, {}, {}, false},  loop,      {},      nullptr,                   false},
        {"highest addresses",     true,  0,            {239, 239, 8},            loop,      {},      "08 EF EF 00 00 00 01 E7", true},
    };
    // clang-format on
    for (const auto& [name, open, selection, form, destination, messages, sent, registered] : cases) {
        SCOPED_TRACE(name);
        EngineHarness h;
        if (!open)
            h.engine.OnStop();
        h.console.selection = selection;
        h.console.form = form;
        h.console.texts[IDC_DEST_IP] = QString::fromLatin1(destination);
        h.engine.OnSendEvent();
        EXPECT_EQ(h.console.messages, messages);
        EXPECT_EQ(h.Sent(), sent ? std::vector<std::string>{Line(sent)} : std::vector<std::string>{});
        EXPECT_EQ(h.engine.m_registry.Comms().size(), registered ? 1U : 0U);
        EXPECT_EQ(h.StatusOf(h.engine.m_commNo, h.engine.m_deviceNo),
                  registered ? std::optional(Bytes("00 11 00 00")) : std::nullopt);
        if (sent) {
            EXPECT_EQ(h.Next(), Bytes(sent));
        }
        h.console.texts[IDC_DEST_IP] = QString::fromLatin1(loop);
        EXPECT_TRUE(!open || h.NothingSentBefore());
    }
}

} // namespace
