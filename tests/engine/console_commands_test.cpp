#include "engine/auto_send.h"
#include "engine/control_ids.h"
#include "engine/event_catalogue.h"
#include "engine/messages.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

using Flags = std::map<int, bool>;

const Flags STARTED{{IDC_START, false}, {IDC_STOP, true}, {IDC_AUTO_SEND, true}, {IDC_SEND_EVENT, true}};
const Flags IDLE_AFTER_STOP{{IDC_START, true},       {IDC_STOP, false},      {IDC_AUTO_SEND, false},
                            {IDC_SEND_EVENT, false}, {IDC_AUTO_STOP, false}, {IDC_DEST_IP, true},
                            {IDC_DEST_PORT, true}};

TEST(ConsoleCommands, StartOpensTheEndpointAndEnablesSending)
{
    EngineHarness h;
    EXPECT_TRUE(h.engine.m_endpoint.IsOpen());
    EXPECT_NE(h.Port(), 0);
    EXPECT_EQ(h.console.flags, STARTED);
    EXPECT_TRUE(h.console.messages.isEmpty());
}

struct RefusedStartCase
{
    const char* name;
    bool holdPort;
    QString message;
};

// A refused Start leaves the console Idle: no flag changes and no socket left behind.
TEST(ConsoleCommands, RefusedStartStaysIdle)
{
    const RefusedStartCase cases[] = {
        {"empty source port", false, SourcePortEmptyMessage()},
        {"port held by another socket", true, SourcePortOpenFailedMessage()},
    };
    for (const RefusedStartCase& c : cases) {
        SCOPED_TRACE(c.name);
        UdpPeer holder;
        FakeConsole console;
        CHostCenterEngine engine(console);
        console.texts[IDC_SOURCE_PORT] = c.holdPort ? QString::number(holder.Port()) : QString();
        engine.OnStart();
        EXPECT_EQ(console.messages, QStringList{c.message});
        EXPECT_FALSE(engine.m_endpoint.IsOpen());
        EXPECT_EQ(console.enableCalls, 0);
    }
}

// Stop also ends a running sweep: otherwise the timer would tick on with no button left to stop it.
TEST(ConsoleCommands, StopReturnsToIdleFromSweepingAndStartOpensAgain)
{
    TheSweepState() = SweepState{};
    EngineHarness h;
    h.engine.m_registry.CreateDevice(4, 5);
    h.engine.OnAutoSendStart();
    ASSERT_EQ(h.console.runningTimers.count(AUTO_SEND_TIMER_ID), 1U);
    h.engine.OnStop();
    EXPECT_FALSE(h.engine.m_endpoint.IsOpen());
    EXPECT_TRUE(h.console.runningTimers.empty());
    EXPECT_EQ(h.console.flags, IDLE_AFTER_STOP);

    h.engine.OnStart();
    EXPECT_TRUE(h.engine.m_endpoint.IsOpen());
    EXPECT_NE(h.engine.m_registry.FindDevice(4, 5), nullptr);
    EXPECT_TRUE(h.console.messages.isEmpty());
}

TEST(EventCatalogue, NamesFollowTheListOrder)
{
    const std::pair<int, QString> cases[] = {
        {-1, u"未知"_s}, {0, u"设备在线命令"_s}, {7, u"设备故障"_s},
        {17, u"有ac"_s}, {22, u"触发恢复"_s},    {23, u"未知"_s},
    };
    for (const auto& [index, name] : cases)
        EXPECT_EQ(EventTypeName(index), name) << index;
}

} // namespace
