#include "tests/engine/engine_harness.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

// The state every command reports, and what it leaves of the endpoint. Stop also ends a running sweep:
// otherwise the timer would tick on with no button left to stop it.
TEST(ConsoleCommands, CommandsMoveBetweenTheThreeStates)
{
    using Command = void (CHostCenterEngine::*)();
    // Command (nullptr: the harness's Start), state reported afterwards, endpoint open.
    const std::tuple<Command, ConsoleState, bool> steps[] = {
        {nullptr, ConsoleState::Started, true},
        {&CHostCenterEngine::OnAutoSendStart, ConsoleState::Sweeping, true},
        {&CHostCenterEngine::OnAutoSendStop, ConsoleState::Started, true},
        {&CHostCenterEngine::OnAutoSendStart, ConsoleState::Sweeping, true},
        {&CHostCenterEngine::OnStop, ConsoleState::Idle, false},
        {&CHostCenterEngine::OnStart, ConsoleState::Started, true},
        {&CHostCenterEngine::OnStop, ConsoleState::Idle, false},
    };
    EngineHarness h;
    h.console.selection = 0;
    for (const auto& [command, state, open] : steps) {
        if (command != nullptr)
            (h.engine.*command)();
        EXPECT_EQ(h.console.states.back(), state);
        EXPECT_EQ(h.engine.State(), state);
        EXPECT_EQ(h.Port() != 0, open);
    }
    EXPECT_EQ(h.console.states.size(), std::size(steps));
    EXPECT_TRUE(h.console.messages.isEmpty());
}

// A refused Start leaves the console Idle: nothing reported and no socket left behind.
TEST(ConsoleCommands, RefusedStartStaysIdle)
{
    LoopbackPeer holder;
    const std::pair<QString, QString> cases[] = {
        {QString(), SOURCE_PORT_EMPTY},
        {QString::number(holder.Port()), SOURCE_PORT_TAKEN},
    };
    for (const auto& [port, message] : cases) {
        EngineHarness h(port);
        EXPECT_EQ(h.console.messages, QStringList{message});
        EXPECT_EQ(h.engine.State(), ConsoleState::Idle);
        EXPECT_TRUE(h.console.states.empty());
    }
}

TEST(ConsoleCommands, EachClearEmptiesItsOwnListOnly)
{
    EngineHarness h;
    h.engine.OnSendEvent();
    ASSERT_TRUE(h.peer.SendTo(h.Port(), known::STATUS_ACK));
    ASSERT_TRUE(h.WaitForLines(LogList::Received, 1));
    h.engine.OnClearReceived();
    EXPECT_TRUE(h.Received().empty());
    EXPECT_EQ(h.Sent().size(), 1U);
    ASSERT_TRUE(h.peer.SendTo(h.Port(), known::STATUS_ACK));
    ASSERT_TRUE(h.WaitForLines(LogList::Received, 1));
    h.engine.OnClearSent();
    EXPECT_TRUE(h.Sent().empty());
    EXPECT_EQ(h.Received().size(), 1U);
}

// The debug frame after each case also shows that nothing a custom command left in the shared buffer
// reaches it, however often it is pressed; like the custom frame it tells about an unusable destination.
TEST(CustomFrames, CustomCommandSendsTheTypedBytesOrExplainsWhyNot)
{
    const char* const loop = "127.0.0.1";
    const char* const twenty = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
    struct Case
    {
        const char* name;
        const char* text;
        bool passed; // the exchange
        const char* destination;
        QStringList messages;
        const char* sent; // nullptr: nothing
    };
    // clang-format off
    const Case cases[] = {
        {"format example",  "0b 00 02 00 00 00 0f 41 01 00 5e", true,  loop,      {},                    "0B 00 02 00 00 00 0F 41 01 00 5E"},
        {"twenty bytes",    twenty,                             true,  loop,      {},                    twenty},
        {"one digit",       "5",                                true,  loop,      {},                    ""},
        {"empty text",      "",                                 true,  loop,      {},                    nullptr},
        {"three digits",    "0b0",                              true,  "1.2.3.4", {COMMAND_FORMAT},      nullptr}, // destination not examined
        {"non-Latin-1",     "0b 中",                             true,  loop,      {COMMAND_FORMAT},      nullptr},
        {"bad destination", "0b 00",                            true,  "1.2.3.4", {DESTINATION_INVALID}, nullptr},
        {"failed exchange", "0b 00",                            false, loop,      {},                    nullptr},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        h.console.form = {c.passed, {0, 1, 1, QString::fromUtf8(c.text)}};
        h.console.destinationAddress = QString::fromLatin1(c.destination);
        h.engine.OnSendCustom();
        EXPECT_EQ(h.console.messages, c.messages);
        EXPECT_TRUE(h.Sent().empty());
        if (c.sent) {
            EXPECT_EQ(h.Next(), Bytes(c.sent));
        }
        h.console.destinationAddress = QString::fromLatin1(loop);
        EXPECT_TRUE(h.NothingSentBefore());
        EXPECT_TRUE(h.NothingSentBefore());
    }
    EngineHarness h;
    h.console.destinationPort = QString();
    h.engine.OnSendDebug();
    EXPECT_EQ(h.console.messages, QStringList{DESTINATION_INVALID});
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
