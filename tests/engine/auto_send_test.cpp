#include "tests/engine/engine_harness.h"

#include <QTest>

#include <gtest/gtest.h>

using namespace veltrano;

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
        h.engine.OnAutoSendTick();
        EXPECT_EQ(h.Next(), Bytes(expected));
    }
    EXPECT_TRUE(h.engine.Registry().Comms().empty());
    EXPECT_TRUE(h.Sent().empty());
    EXPECT_TRUE(h.Received().empty());
}

// Stopping and starting again, the endpoint included, resumes the walk where it stopped; a tick with the
// endpoint closed sends nothing but still moves the walk on. Ticks come once a second from the press on.
TEST(AutoSend, TheWalkResumesWhereItStoppedAndTicksOnceASecond)
{
    EngineHarness h;
    h.engine.OnAutoSendTick();
    EXPECT_EQ(h.Next(), Bytes("0C 00 00 00 00 00 02 00 00 00 00 0E"));
    h.engine.OnStop();
    h.engine.OnAutoSendTick();
    h.engine.OnAutoSendTick();
    h.engine.OnStart();
    h.engine.OnAutoSendStart();
    EXPECT_EQ(h.engine.State(), ConsoleState::Sweeping);
    QTest::qWait(800);
    EXPECT_FALSE(h.peer.TryReceive()) << "the first tick waits a whole period";
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.peer.WaitReadable(std::chrono::milliseconds(0)); }, 1000));
    EXPECT_EQ(h.Next(), Bytes("0C 00 00 00 00 00 02 00 FF FF 00 0C"));
    h.engine.OnAutoSendStop();
    EXPECT_EQ(h.engine.State(), ConsoleState::Started);
}

TEST(AutoSend, UnusableDestinationRefusesStartAndStopsATick)
{
    EngineHarness h;
    h.console.destinationPort = QString();
    h.engine.OnAutoSendStart();
    EXPECT_EQ(h.console.messages, QStringList{DESTINATION_INVALID});
    EXPECT_EQ(h.engine.State(), ConsoleState::Started);

    h.console.destinationPort = QString::number(h.peer.Port());
    h.engine.OnAutoSendStart();
    h.console.destinationPort = QString();
    h.engine.OnAutoSendTick();
    EXPECT_EQ(h.console.messages, QStringList(2, DESTINATION_INVALID));
    EXPECT_EQ(h.console.states.back(), ConsoleState::Started);
    EXPECT_EQ(h.engine.State(), ConsoleState::Started);
    // Neither refusal sent anything nor advanced the walk.
    h.console.destinationPort = QString::number(h.peer.Port());
    h.engine.OnAutoSendTick();
    EXPECT_EQ(h.Next(), Bytes("0C 00 00 00 00 00 02 00 00 00 00 0E"));
}

} // namespace
