#include "engine/auto_send.h"
#include "engine/messages.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(AutoSend, FirstThirteenTicksWalkTheFirstPairsBytesAndLeaveNoOtherTrace)
{
    const char* const ticks[] = {
        "0C 00 00 00 00 00 02 00 00 00 00 0E", "0C 00 00 00 00 00 02 00 FF 00 00 0D",
        "0C 00 00 00 00 00 02 00 FF 00 00 0D", "0C 00 00 00 00 00 02 00 FF FF 00 0C",
        "0C 00 00 00 00 00 02 00 FF FF 00 0C", "0C 00 00 00 00 00 02 00 FF FF FF 0B",
        "0C 00 01 00 00 00 02 00 00 FF FF 0D", "0C 00 01 00 00 00 02 00 FF FF FF 0C",
        "0C 00 01 00 00 00 02 00 FF 00 FF 0D", "0C 00 01 00 00 00 02 00 FF FF FF 0C",
        "0C 00 01 00 00 00 02 00 FF FF 00 0D", "0C 00 01 00 00 00 02 00 FF FF FF 0C",
        "0C 00 02 00 00 00 02 00 00 FF FF 0E",
    };
    EngineHarness h;
    for (const char* expected : ticks) {
        h.engine.OnTimer(AUTO_SEND_TIMER_ID);
        EXPECT_EQ(h.Next(), Bytes(expected));
    }
    EXPECT_TRUE(h.engine.m_registry.Comms().empty());
    EXPECT_TRUE(h.Sent().empty());
    EXPECT_TRUE(h.Received().empty());
}

// The last tick of a pair fills its byte 10; the next tick starts the next pair at byte 8.
TEST(AutoSend, LastTickOfAPairMovesToTheNextAndWrapsAt240)
{
    // Communicator, device, last frame of the pair, first frame of the next.
    const std::tuple<std::uint8_t, std::uint8_t, const char*, const char*> cases[] = {
        {0, 238, "0C 00 EE 00 00 00 02 00 00 00 FF FB", "0C 00 EF 00 00 00 02 00 00 00 FF FC"},
        {0, 239, "0C 00 EF 00 00 00 02 00 00 00 FF FC", "0C 01 00 00 00 00 02 00 00 00 FF 0E"},
        {239, 239, "0C EF EF 00 00 00 02 00 00 00 FF EB", "0C 00 00 00 00 00 02 00 00 00 FF 0D"},
    };
    for (const auto& [communicator, device, last, next] : cases) {
        EngineHarness h;
        TheSweepState() = {.communicator = communicator, .device = device, .position = 10, .fill = 0xFF};
        h.engine.OnTimer(AUTO_SEND_TIMER_ID);
        h.engine.OnTimer(AUTO_SEND_TIMER_ID);
        EXPECT_EQ(h.Next(), Bytes(last));
        EXPECT_EQ(h.Next(), Bytes(next));
    }
}

TEST(AutoSend, UnusableDestinationRefusesStartAndStopsATick)
{
    EngineHarness h;
    h.console.texts[IDC_DEST_PORT] = QString();
    h.engine.OnAutoSendStart();
    EXPECT_EQ(h.console.messages, QStringList{DestinationInvalidMessage()});
    EXPECT_TRUE(h.console.timers.empty());
    EXPECT_EQ(h.console.Enabling(), "0111---");

    h.console.timers[AUTO_SEND_TIMER_ID] = AUTO_SEND_PERIOD_MS;
    h.engine.OnTimer(AUTO_SEND_TIMER_ID);
    EXPECT_EQ(h.console.messages, QStringList(2, DestinationInvalidMessage()));
    EXPECT_TRUE(h.console.timers.empty());
    EXPECT_EQ(h.console.Enabling(), "0111011");
    // Neither refusal sent anything nor advanced the walk.
    h.console.texts[IDC_DEST_PORT] = QString::number(h.peer.Port());
    h.engine.OnTimer(AUTO_SEND_TIMER_ID);
    EXPECT_EQ(h.Next(), Bytes("0C 00 00 00 00 00 02 00 00 00 00 0E"));
}

} // namespace
