#include "engine/auto_send.h"
#include "engine/control_ids.h"
#include "engine/messages.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// The sweep state lives as long as the process; every test starts it from the beginning.
class AutoSend : public testing::Test
{
protected:
    void SetUp() override { TheSweepState() = SweepState{}; }
    void TearDown() override { TheSweepState() = SweepState{}; }

    EngineHarness h;
};

TEST_F(AutoSend, FirstThirteenTicksWalkTheFirstPairsBytes)
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
    for (const char* expected : ticks) {
        SCOPED_TRACE(expected);
        h.engine.OnTimer(AUTO_SEND_TIMER_ID);
        const auto datagram = h.peer.Receive();
        ASSERT_TRUE(datagram);
        EXPECT_EQ(datagram->bytes, Bytes(expected));
    }
    // The sweep leaves no trace but its frames.
    EXPECT_TRUE(h.engine.m_registry.Comms().empty());
    EXPECT_TRUE(h.console.Lines(IDC_SENT_LIST).empty());
    EXPECT_TRUE(h.console.Lines(IDC_RECV_LIST).empty());
}

struct WrapCase
{
    std::uint8_t communicator;
    std::uint8_t device;
    std::uint8_t nextCommunicator;
    std::uint8_t nextDevice;
};

TEST_F(AutoSend, LastTickOfAPairMovesToTheNextAndWrapsAt240)
{
    const WrapCase cases[] = {
        {0, 238, 0, 239},
        {0, 239, 1, 0},
        {239, 239, 0, 0},
    };
    for (const WrapCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.communicator} << "/" << int{c.device});
        SweepState& state = TheSweepState();
        state.communicator = c.communicator;
        state.device = c.device;
        state.position = 10;
        state.fill = 0xFF;
        h.engine.OnTimer(AUTO_SEND_TIMER_ID);
        h.engine.OnTimer(AUTO_SEND_TIMER_ID);
        const auto last = h.peer.Receive();
        const auto next = h.peer.Receive();
        ASSERT_TRUE(last && next);
        EXPECT_EQ(last->bytes[1], c.communicator);
        EXPECT_EQ(last->bytes[2], c.device);
        EXPECT_EQ(last->bytes[10], 0xFF);
        EXPECT_EQ(next->bytes[1], c.nextCommunicator);
        EXPECT_EQ(next->bytes[2], c.nextDevice);
        EXPECT_EQ(next->bytes[8], 0x00); // the new pair starts at position 8 with 0x00
        EXPECT_EQ(state.position, 8);
        EXPECT_EQ(state.fill, 0xFF);
    }
}

TEST_F(AutoSend, StartArmsTheTimerAndStopDisarmsIt)
{
    h.engine.OnAutoSendStart();
    EXPECT_EQ(h.console.runningTimers, (std::map<int, int>{{AUTO_SEND_TIMER_ID, AUTO_SEND_PERIOD_MS}}));
    EXPECT_FALSE(h.console.flags[IDC_AUTO_SEND]);
    EXPECT_TRUE(h.console.flags[IDC_AUTO_STOP]);
    EXPECT_FALSE(h.console.flags[IDC_DEST_IP]);
    EXPECT_FALSE(h.console.flags[IDC_DEST_PORT]);
    EXPECT_TRUE(h.NothingSentBefore()); // the first frame waits for the first tick

    h.engine.OnAutoSendStop();
    EXPECT_TRUE(h.console.runningTimers.empty());
    EXPECT_TRUE(h.console.flags[IDC_AUTO_SEND]);
    EXPECT_FALSE(h.console.flags[IDC_AUTO_STOP]);
    EXPECT_TRUE(h.console.flags[IDC_DEST_IP]);
    EXPECT_TRUE(h.console.flags[IDC_DEST_PORT]);
    EXPECT_TRUE(h.console.messages.isEmpty());
}

TEST_F(AutoSend, UnusableDestinationRefusesStartAndStopsATick)
{
    h.console.texts[IDC_DEST_PORT] = QString();
    const int enableCallsBefore = h.console.enableCalls;
    h.engine.OnAutoSendStart();
    EXPECT_EQ(h.console.messages, QStringList{DestinationInvalidMessage()});
    EXPECT_TRUE(h.console.runningTimers.empty());
    EXPECT_EQ(h.console.enableCalls, enableCallsBefore);

    h.console.runningTimers[AUTO_SEND_TIMER_ID] = AUTO_SEND_PERIOD_MS;
    h.engine.OnTimer(AUTO_SEND_TIMER_ID);
    EXPECT_EQ(h.console.messages.size(), 2);
    EXPECT_TRUE(h.console.runningTimers.empty());
    EXPECT_TRUE(h.console.flags[IDC_AUTO_SEND]);
    EXPECT_FALSE(h.console.flags[IDC_AUTO_STOP]);
    EXPECT_TRUE(h.console.flags[IDC_DEST_IP]);
    // The refused tick did not advance the walk.
    EXPECT_EQ(TheSweepState().fill, 0x00);
    h.console.SetDestination(h.peer.Port());
    EXPECT_TRUE(h.NothingSentBefore());
}

} // namespace
