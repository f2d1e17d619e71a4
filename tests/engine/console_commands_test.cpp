#include "engine/event_catalogue.h"
#include "engine/messages.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace Qt::Literals::StringLiterals;

namespace {

// What the commands switch, and only that ('-' for a control never switched). Stop also ends a running
// sweep: otherwise the timer would tick on with no button left to stop it.
TEST(ConsoleCommands, CommandsSwitchTheControlsTimerAndEndpoint)
{
    using Command = void (CHostCenterEngine::*)();
    const std::map<int, int> ticking{{AUTO_SEND_TIMER_ID, AUTO_SEND_PERIOD_MS}};
    // Command (nullptr: the harness's Start), enabling afterwards, timers running, endpoint open.
    const std::tuple<Command, const char*, std::map<int, int>, bool> steps[] = {
        {nullptr, "0111---", {}, true},
        {&CHostCenterEngine::OnAutoSendStart, "0110100", ticking, true},
        {&CHostCenterEngine::OnAutoSendStop, "0111011", {}, true},
        {&CHostCenterEngine::OnAutoSendStart, "0110100", ticking, true},
        {&CHostCenterEngine::OnStop, "1000011", {}, false},
        {&CHostCenterEngine::OnStart, "0111011", {}, true},
    };
    EngineHarness h;
    h.engine.m_registry.CreateDevice(4, 5);
    for (const auto& [command, enabling, timers, open] : steps) {
        if (command != nullptr)
            (h.engine.*command)();
        EXPECT_EQ(h.console.Enabling(), enabling);
        EXPECT_EQ(h.console.timers, timers);
        EXPECT_EQ(h.engine.m_endpoint.IsOpen(), open);
    }
    // No step sent anything (the sweep's first frame waits for its first tick); the registry outlives Stop.
    EXPECT_TRUE(h.NothingSentBefore());
    EXPECT_NE(h.engine.m_registry.FindDevice(4, 5), nullptr);
    EXPECT_TRUE(h.console.messages.isEmpty());
}

// A refused Start leaves the console Idle: no control switched and no socket left behind.
TEST(ConsoleCommands, RefusedStartStaysIdle)
{
    UdpPeer holder;
    const std::pair<QString, QString> cases[] = {
        {QString(), SourcePortEmptyMessage()},
        {QString::number(holder.Port()), SourcePortOpenFailedMessage()},
    };
    for (const auto& [port, message] : cases) {
        EngineHarness h(port);
        EXPECT_EQ(h.console.messages, QStringList{message});
        EXPECT_FALSE(h.engine.m_endpoint.IsOpen());
        EXPECT_EQ(h.console.Enabling(), "-------");
    }
}

// The debug frame after each case also shows that nothing a custom command left in the shared buffer
// reaches it, however often it is pressed; like the custom frame it tells about an unusable destination.
TEST(CustomFrames, CustomCommandSendsTheTypedBytesOrExplainsWhyNot)
{
    const char* const loop = "127.0.0.1";
    const char* const twenty = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
    const QString format = CommandFormatMessage();
    const QString dest = DestinationInvalidMessage();
    // Name, text, exchange succeeds, destination, messages, datagram sent (nullptr: none).
    // clang-format off
    const std::tuple<const char*, const char*, bool, const char*, QStringList, const char*> cases[] = {
        {"format example",  "0b 00 02 00 00 00 0f 41 01 00 5e", true,  loop,      {},       "0B 00 02 00 00 00 0F 41 01 00 5E"},
        {"twenty bytes",    twenty,                             true,  loop,      {},       twenty},
        {"one digit",       "5",                                true,  loop,      {},       ""},
        {"empty text",      "",                                 true,  loop,      {},       nullptr},
        {"three digits",    "0b0",                              true,  "1.2.3.4", {format}, nullptr}, // destination not examined
        {"non-Latin-1",     "0b 中",                             true,  loop,      {format}, nullptr},
        {"bad destination", "0b 00",                            true,  "1.2.3.4", {dest},   nullptr},
        {"failed exchange", "0b 00",                            false, loop,      {},       nullptr},
    };
    // clang-format on
    for (const auto& [name, text, succeeds, destination, messages, sent] : cases) {
        SCOPED_TRACE(name);
        EngineHarness h;
        h.console.form.commandText = QString::fromUtf8(text);
        h.console.form.succeeds = succeeds;
        h.console.texts[IDC_DEST_IP] = QString::fromLatin1(destination);
        h.engine.OnSendCustom();
        EXPECT_EQ(h.console.messages, messages);
        EXPECT_TRUE(h.Sent().empty());
        if (sent) {
            EXPECT_EQ(h.Next(), Bytes(sent));
        }
        h.console.texts[IDC_DEST_IP] = QString::fromLatin1(loop);
        EXPECT_TRUE(h.NothingSentBefore());
        EXPECT_TRUE(h.NothingSentBefore());
    }
    EngineHarness h;
    h.console.texts[IDC_DEST_PORT] = QString();
    h.engine.OnSendDebug();
    EXPECT_EQ(h.console.messages, QStringList{dest});
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
