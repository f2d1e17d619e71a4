#include "link/fault_rules.h"
#include "tests/support/hex_text.h"

#include <gtest/gtest.h>

#include <string>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

// What a rule text parses to, field by field, as a short description that one line of a table can hold.
std::string Described(const FaultRule& r)
{
    std::string out = std::string(FaultActionKey(r.action));
    out += r.direction == FaultDirection::Up     ? " up"
           : r.direction == FaultDirection::Down ? " down"
                                                 : " both";
    if (r.delay.count() != 0 || r.jitter.count() != 0)
        out += " " + std::to_string(r.delay.count()) + "~" + std::to_string(r.jitter.count());
    if (r.copies != 1)
        out += " x" + std::to_string(r.copies);
    if (r.withhold != 0)
        out += " w" + std::to_string(r.withhold);
    if (r.lossStart != 0 || r.lossStay != 0)
        out += " " + std::to_string(static_cast<int>(r.lossStart)) + "/" +
               std::to_string(static_cast<int>(r.lossStay));
    if (r.comm)
        out += " comm" + std::to_string(*r.comm);
    if (r.device)
        out += " dev" + std::to_string(*r.device);
    if (r.command)
        out += " cmd" + std::to_string(static_cast<int>(*r.command));
    if (r.fromAddress)
        out += " from" + Endpoint{*r.fromAddress, r.fromPort}.ToString();
    if (r.percent != 100)
        out += " pct" + std::to_string(static_cast<int>(r.percent));
    return out;
}

TEST(FaultRules, ParseEveryActionAndMatch)
{
    struct Case
    {
        const char* text;
        const char* parsed;
    };
    // clang-format off
    const Case cases[] = {
        {"up drop",                                  "drop up"},
        {"down delay=250",                           "delay down 250~0"},
        {"both delay=100~20",                        "delay both 100~20"},
        {"up dup",                                   "dup up"},
        {"up dup=3",                                 "dup up x3"},
        {"down corrupt",                             "corrupt down"},
        {"up withhold=2",                            "withhold up w2"},
        {"both reorder",                             "reorder both"},
        {"up loss=5/50",                             "loss up 5/50"},
        {"up loss=5%/50%",                           "loss up 5/50"},
        {"up drop comm=3 dev=239",                   "drop up comm3 dev239"},
        {"up drop command=fault-restore",            "drop up cmd3"},
        {"down drop command=ack",                    "drop down cmd5"},
        {"up drop command=malformed",                "drop up cmd6"},
        {"up drop from=127.0.0.2",                   "drop up from127.0.0.2:0"},
        {"up drop from=127.0.0.2:8015 pct=25",       "drop up from127.0.0.2:8015 pct25"},
        {"  up\tdrop   pct=0  ",                     "drop up pct0"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto rule = ParseFaultRule(c.text);
        ASSERT_TRUE(rule) << c.text << ": " << rule.error();
        EXPECT_EQ(Described(*rule), c.parsed) << c.text;
    }
    EXPECT_EQ(ParseFaultRule("  up\tdrop   pct=0  ")->text, "up\tdrop   pct=0");
}

TEST(FaultRules, ErrorsNameTheColumnThatIsWrong)
{
    struct Case
    {
        const char* text;
        const char* error; // its start
    };
    // clang-format off
    const Case cases[] = {
        {"",                           "column 1: an empty rule"},
        {"sideways drop",              "column 1: unknown direction 'sideways'"},
        {"up",                         "column 3: an action is missing"},
        {"up vanish",                  "column 4: unknown action 'vanish'"},
        {"up drop=3",                  "column 9: drop takes no value"},
        {"up delay",                   "column 9: delay=MS"},
        {"up delay=x",                 "column 10: delay=MS"},
        {"up delay=10~",               "column 13: the jitter"},
        {"up dup=0",                   "column 8: dup=N"},
        {"up dup=17",                  "column 8: dup=N"},
        {"up withhold",                "column 12: withhold=N"},
        {"up loss=5",                  "column 9: loss=P_START/P_STAY"},
        {"up loss=5/101",              "column 11: P_STAY"},
        {"up drop comm=240",           "column 14: comm=N"},
        {"up drop dev=-1",             "column 13: dev=N"},
        {"up drop command=sweep",      "column 17: command="},
        {"up drop from=localhost",     "column 14: from=ADDR"},
        {"up drop from=127.0.0.1:0",   "column 24: the port"},
        {"up drop pct=150",            "column 13: pct=P"},
        {"up drop colour=red",         "column 9: unknown match 'colour'"},
        {"up drop comm",               "column 9: 'comm' is no KEY=VALUE"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto rule = ParseFaultRule(c.text);
        ASSERT_FALSE(rule) << c.text;
        EXPECT_EQ(rule.error().rfind(c.error, 0), 0U) << c.text << " gave: " << rule.error();
    }
}

TEST(FaultRules, AFileHoldsARuleALineAndNamesTheLineOfAnError)
{
    const auto rules = ParseFaultRules("# lab faults\n\nup drop pct=10\r\n  down delay=5\n");
    ASSERT_TRUE(rules) << rules.error();
    ASSERT_EQ(rules->size(), 2U);
    EXPECT_EQ((*rules)[1].text, "down delay=5");
    const auto bad = ParseFaultRules("up drop\ndown shout\n");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().rfind("line 2, column 6:", 0), 0U) << bad.error();
}

TEST(FaultRules, MatchesNameTheDatagramsTheySay)
{
    const auto status = Bytes("0C 03 07 00 00 00 02 01 11 00 00 2A");
    const auto statusAck = Bytes("08 03 07 00 00 00 82 94");
    const auto spoilt = Bytes("0C 03 07 00 00 00 02 01 11 00 00 00");
    const Endpoint panel{Ipv4(127, 0, 0, 2), 8015};
    struct Case
    {
        const char* rule;
        std::vector<std::uint8_t> datagram;
        bool up;
        bool matches;
    };
    // clang-format off
    const Case cases[] = {
        {"up drop",                           status,    true,  true},
        {"up drop",                           statusAck, false, false},
        {"both drop",                         statusAck, false, true},
        {"up drop comm=3 dev=7",              status,    true,  true},
        {"up drop comm=4",                    status,    true,  false},
        {"up drop dev=8",                     status,    true,  false},
        {"up drop comm=0",                    {},        true,  false},
        {"up drop command=status",            status,    true,  true},
        {"up drop command=online",            status,    true,  false},
        {"down drop command=status",          statusAck, false, false},
        {"down drop command=ack",             statusAck, false, true},
        {"up drop command=malformed",         spoilt,    true,  true},
        {"up drop command=malformed",         status,    true,  false},
        {"up drop command=malformed",         {},        true,  true},
        {"down drop from=127.0.0.2",          statusAck, false, true},
        {"up drop from=127.0.0.2:8015",       status,    true,  true},
        {"up drop from=127.0.0.2:8016",       status,    true,  false},
        {"up drop from=127.0.0.1",            status,    true,  false},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto rule = ParseFaultRule(c.rule);
        ASSERT_TRUE(rule) << c.rule;
        EXPECT_EQ(rule->Matches(c.up, DecodeFrame(c.datagram), panel), c.matches) << c.rule;
    }
}

} // namespace
