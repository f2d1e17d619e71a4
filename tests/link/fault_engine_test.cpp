#include "link/fault_engine.h"
#include "tests/support/hex_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

const MonoTime T0 = MonoTime{} + 1h;
const Endpoint PANEL{Ipv4(127, 0, 0, 2), 8015};
const std::vector<std::uint8_t> STATUS = Bytes("0C 03 07 00 00 00 02 01 11 00 00 2A");
const std::vector<std::uint8_t> ONLINE = Bytes("08 03 07 00 00 00 01 13");

FaultEngine EngineOf(const std::vector<std::string>& rules, std::uint64_t seed = 1)
{
    FaultEngine engine(seed);
    for (const auto& text : rules)
        engine.Add(*ParseFaultRule(text));
    return engine;
}

std::string Described(const FaultedCopy& copy)
{
    std::string out = copy.dropped ? "dropped" : std::to_string((copy.due - T0) / 1ms) + "ms";
    if (copy.up == false)
        out += " down";
    for (const FaultMark& mark : copy.marks.Marks())
        out += " " + std::string(FaultActionKey(mark.action)) + std::to_string(mark.rule);
    if (copy.copy != 0)
        out += " copy" + std::to_string(copy.copy);
    if (!copy.bytes.empty() && copy.bytes.size() == STATUS.size() && copy.bytes.back() != STATUS.back())
        out += " spoilt";
    return out;
}

// Every datagram handed in at its time, the engine run on a 1 ms clock until nothing is held: what went, in
// the order it went ("sent" for one untouched).
struct Submitted
{
    std::chrono::milliseconds at;
    std::vector<std::uint8_t> bytes;
    bool up{true};
    std::uint64_t session{1};
};

std::vector<std::string> Went(FaultEngine& engine, const std::vector<Submitted>& datagrams)
{
    std::vector<std::string> out;
    const auto drain = [&] {
        for (const auto& copy : engine.Ready())
            out.push_back(Described(copy));
        engine.Ready().clear();
    };
    std::size_t next = 0;
    for (auto now = T0; next < datagrams.size() || engine.Held() > 0; now += 1ms) {
        engine.Release(now);
        drain();
        for (; next < datagrams.size() && T0 + datagrams[next].at <= now; ++next) {
            const auto& d = datagrams[next];
            const auto decoded = DecodeFrame(d.bytes);
            if (engine.Submit({d.up, d.session, PANEL, d.bytes, &decoded}, now) ==
                FaultEngine::Fate::Untouched)
                out.push_back("sent");
            drain();
        }
    }
    return out;
}

TEST(FaultEngine, RulesCombineInTheirOrder)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> rules;
        std::vector<std::string> went;
    };
    // clang-format off
    const Case cases[] = {
        {"no rule",                  {},                                      {"sent"}},
        {"another direction",        {"down drop"},                           {"sent"}},
        {"another command",          {"up drop command=online"},              {"sent"}},
        {"a drop ends the way",      {"up drop", "up delay=10"},              {"dropped drop1"}},
        {"delays add",               {"up delay=10", "both delay=5"},         {"15ms delay1 delay2"}},
        {"a jitter of none",         {"up delay=7~0"},                        {"7ms delay1"}},
        {"dup meets later rules",    {"up dup", "up delay=10"},               {"10ms dup1 delay2", "10ms dup1 delay2 copy1"}},
        {"earlier rules act once",   {"up delay=10", "up dup=2"},             {"10ms delay1 dup2", "10ms delay1 dup2 copy1", "10ms delay1 dup2 copy2"}},
        {"copies dropped each",      {"up dup", "up drop"},                   {"dropped dup1 drop2", "dropped dup1 drop2 copy1"}},
        {"corrupt spoils",           {"up corrupt"},                          {"0ms corrupt1 spoilt"}},
        {"corrupt then dup",         {"up corrupt", "up dup"},                {"0ms corrupt1 dup2 spoilt", "0ms corrupt1 dup2 copy1 spoilt"}},
        {"two dups make four",       {"up dup", "up dup"},                    {"0ms dup1 dup2", "0ms dup1 dup2 copy1", "0ms dup1 dup2 copy1", "0ms dup1 dup2 copy1"}},
        {"pct=0 never acts",         {"up drop pct=0"},                       {"0ms"}},
        {"a reorder with none after", {"up reorder"},                         {"1000ms reorder1"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        FaultEngine engine = EngineOf(c.rules);
        EXPECT_EQ(Went(engine, {{0ms, STATUS}}), c.went) << c.name;
    }
}

// Rules that copy in a row multiply: a datagram becomes MAX_COPIES at most, however many there are.
TEST(FaultEngine, CopiesOfOneDatagramAreBounded)
{
    FaultEngine engine = EngineOf({"up dup=16", "up dup=16", "up dup=16", "up dup=16", "up dup=16"});
    EXPECT_EQ(Went(engine, {{0ms, STATUS}}).size(), FaultEngine::MAX_COPIES);
}

TEST(FaultEngine, WithholdDropsTheFirstCopiesOfEachDistinctFrame)
{
    FaultEngine engine = EngineOf({"up withhold=2"});
    const std::vector<std::string> went = Went(engine, {{0ms, STATUS},
                                                        {1ms, ONLINE},
                                                        {2ms, STATUS},
                                                        {3ms, STATUS},
                                                        {4ms, ONLINE},
                                                        {5ms, ONLINE},
                                                        {6ms, STATUS, false}});
    const std::vector<std::string> expected{"dropped withhold1",
                                            "dropped withhold1",
                                            "dropped withhold1",
                                            "3ms",
                                            "dropped withhold1",
                                            "5ms",
                                            "sent"};
    EXPECT_EQ(went, expected);
    EXPECT_EQ(engine.Rules()[0].matched, 6U);
    EXPECT_EQ(engine.Rules()[0].acted, 4U);
}

TEST(FaultEngine, AReorderedDatagramGoesAfterTheNextOfItsDirectionAndSession)
{
    FaultEngine engine = EngineOf({"up reorder command=status"});
    const std::vector<std::string> went = Went(engine, {{0ms, STATUS},
                                                        {2ms, ONLINE, true, 2}, // another session
                                                        {3ms, ONLINE, false},   // the other direction
                                                        {5ms, ONLINE}});
    const std::vector<std::string> expected{"sent", "sent", "sent", "5ms reorder1"};
    EXPECT_EQ(went, expected);
    // Two in a row: the first goes as the second is held.
    FaultEngine twice = EngineOf({"up reorder"});
    EXPECT_EQ(Went(twice, {{0ms, STATUS}, {1ms, ONLINE}}),
              (std::vector<std::string>{"1ms reorder1", "1001ms reorder1"}));
}

// The share of datagrams a rule loses, out of n.
double LostShare(const std::string& rule, std::uint64_t seed, std::size_t n,
                 std::vector<bool>* lost = nullptr)
{
    FaultEngine engine = EngineOf({rule}, seed);
    const auto decoded = DecodeFrame(STATUS);
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool walked =
            engine.Submit({true, 1, PANEL, STATUS, &decoded}, T0) == FaultEngine::Fate::Walked;
        const bool dropped = walked && engine.Ready().back().dropped;
        engine.Ready().clear();
        count += dropped ? 1 : 0;
        if (lost != nullptr)
            lost->push_back(dropped);
    }
    return static_cast<double>(count) / static_cast<double>(n);
}

TEST(FaultEngine, ChoicesFollowTheirRatesAndRepeatForASeed)
{
    struct Case
    {
        const char* rule;
        double expected; // the model's share of datagrams lost
    };
    // clang-format off
    const Case cases[] = {
        {"up drop pct=30",      0.30},
        {"up loss=10/50",       0.10 / (0.10 + 0.50)}, // burst loss: P_START / (P_START + 1 - P_STAY)
        {"up loss=2/90",        0.02 / (0.02 + 0.10)},
        {"up loss=0/90",        0.0},
        {"up loss=100/100",     1.0},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_NEAR(LostShare(c.rule, 5, 40'000, nullptr), c.expected, 0.02) << c.rule;

    for (const char* rule : {"up drop pct=50", "up loss=20/60"}) {
        std::vector<bool> first;
        std::vector<bool> again;
        std::vector<bool> other;
        LostShare(rule, 42, 2000, &first);
        LostShare(rule, 42, 2000, &again);
        LostShare(rule, 43, 2000, &other);
        EXPECT_EQ(first, again) << rule;
        EXPECT_NE(first, other) << rule;
    }
}

TEST(FaultEngine, RulesAreNumberedOnAndRemovedByNumberOrOrigin)
{
    FaultEngine engine = EngineOf({"up drop", "down drop"});
    EXPECT_EQ(engine.Add(*ParseFaultRule("up delay=1"), 1), 3U);
    EXPECT_TRUE(engine.Remove(1));
    EXPECT_FALSE(engine.Remove(1));
    EXPECT_EQ(engine.Add(*ParseFaultRule("up dup"), 1), 4U);
    engine.Clear(1);
    ASSERT_EQ(engine.Rules().size(), 1U);
    EXPECT_EQ(engine.Rules()[0].number, 2U);
    engine.Clear();
    EXPECT_TRUE(engine.Empty());
}

} // namespace
