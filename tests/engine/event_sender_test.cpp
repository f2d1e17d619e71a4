#include "tests/engine/engine_harness.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <tuple>

using namespace veltrano;

namespace {

// Events accumulate on one pair; the 8- and 9-byte frames leave the stored status alone.
TEST(EventSender, WorkedSequenceAccumulatesStatusOnOnePair)
{
    // Row, zone, frame, status of the pair afterwards.
    const std::tuple<int, int, const char*, const char*> steps[] = {
        {3, 1, known::STATUS_HEX, "01 11 00 00"},
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
        h.console.form.values.zoneNo = zone;
        h.engine.OnSendEvent();
        EXPECT_EQ(h.Next(), Bytes(frame));
        EXPECT_EQ(h.Sent().back(), Line(frame));
        EXPECT_EQ(h.console.sent.back().peer, (Endpoint{LoopbackAddress(), h.peer.Port()}));
        EXPECT_EQ(h.StatusOf(0, 1), Bytes(statusAfter));
    }
    EXPECT_EQ(h.Sent().size(), std::size(steps));
    EXPECT_TRUE(h.console.messages.isEmpty());
}

// What differs is the message, whether anything leaves and whether the pair was registered.
TEST(EventSender, GuardsDecideWhatLeavesAndWhatIsRegistered)
{
    const char* const loop = "127.0.0.1";
    struct Case
    {
        const char* name;
        bool open;
        std::optional<int> selection;
        FormExchange form;
        const char* destination;
        QStringList messages;
        const char* sent; // nullptr: nothing
        bool registered;  // the pair of the form, with the default status
    };
    // clang-format off
    const Case cases[] = {
        {"endpoint closed",       false, 3,            {true, {0, 1, 1, {}}},   loop,      {},                    nullptr,                   false},
        {"no selection",          true,  std::nullopt, {true, {0, 1, 1, {}}},   loop,      {},                    nullptr,                   true},
        {"selection 23",          true,  23,           {true, {0, 1, 1, {}}},   loop,      {},                    nullptr,                   true},
        {"zone event, zone 0",    true,  3,            {true, {0, 1, 0, {}}},   loop,      {},                    nullptr,                   true},
        {"communicator 240",      true,  3,            {false, {240, 1, 1, {}}}, loop,     {ADDRESS_RANGE},       nullptr,                   false},
        {"device 240",            true,  3,            {false, {0, 240, 1, {}}}, loop,     {ADDRESS_RANGE},       nullptr,                   false},
        {"zone 9",                true,  3,            {false, {0, 1, 9, {}}},  loop,      {ADDRESS_RANGE},       nullptr,                   false},
        {"negative device",       true,  3,            {true, {0, -1, 1, {}}},  loop,      {ADDRESS_RANGE},       nullptr,                   false},
        {"address 1.2.3.4",       true,  3,            {true, {0, 1, 1, {}}},   "1.2.3.4", {DESTINATION_INVALID}, nullptr,                   false},
        // The form no longer shows the numbers an earlier exchange left: nothing goes out for them.
        {"exchange failed",       true,  0,            {false, {0, 1, 1, {}}},  loop,      {},                    nullptr,                   false},
        {"highest addresses",     true,  0,            {true, {239, 239, 8, {}}}, loop,    {},                    "08 EF EF 00 00 00 01 E7", true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        if (!c.open)
            h.engine.OnStop();
        h.console.selection = c.selection;
        h.console.form = c.form;
        h.console.destinationAddress = QString::fromLatin1(c.destination);
        h.engine.OnSendEvent();
        EXPECT_EQ(h.console.messages, c.messages);
        EXPECT_EQ(h.Sent(), c.sent ? std::vector<std::string>{Line(c.sent)} : std::vector<std::string>{});
        EXPECT_EQ(h.engine.Registry().Comms().size(), c.registered ? 1U : 0U);
        EXPECT_EQ(h.StatusOf(c.form.values.commNo, c.form.values.deviceNo),
                  c.registered ? std::optional(Bytes("00 11 00 00")) : std::nullopt);
        if (c.sent) {
            EXPECT_EQ(h.Next(), Bytes(c.sent));
        }
        h.console.destinationAddress = QString::fromLatin1(loop);
        EXPECT_TRUE(!c.open || h.NothingSentBefore());
    }
}

// A send the system refuses still shows its line, with the system's reason beside it.
TEST(EventSender, AFailedSendKeepsItsReason)
{
    EngineHarness h;
    h.console.destinationPort = QStringLiteral("0");
    h.engine.OnSendEvent();
    ASSERT_EQ(h.console.sent.size(), 1U);
    EXPECT_EQ(h.console.sent[0].text, Line("08 00 01 00 00 00 01 0A"));
    EXPECT_NE(h.console.sent[0].sendError, 0);
}

} // namespace
