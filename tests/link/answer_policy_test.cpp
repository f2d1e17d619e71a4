#include "link/answer_policy.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <optional>
#include <string>
#include <variant>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::AnswerDecision;
using veltrano::AnswerFaults;
using veltrano::AnswerPolicy;
using veltrano::FaultRates;
using veltrano::NoAnswer;
using veltrano::PlannedAnswer;

const Endpoint PANEL{LOOPBACK_ADDRESS, 8015};
// An interface's broadcast address, from a documentation range: the policy only compares it.
const std::uint32_t LAN_BROADCAST = Ipv4(198, 51, 100, 255);
using known::STATUS;
using known::STATUS_ACK;
const std::vector<std::uint8_t> SPOILT_STATUS_ACK = Bytes("08 00 01 00 00 00 82 74");

std::optional<NoAnswer> Refusal(const AnswerDecision& decision)
{
    if (const auto* none = std::get_if<NoAnswer>(&decision))
        return *none;
    return std::nullopt;
}

std::vector<std::uint8_t> AckOf(const AnswerDecision& decision)
{
    const auto* answer = std::get_if<PlannedAnswer>(&decision);
    return answer != nullptr ? std::vector<std::uint8_t>(answer->ack.begin(), answer->ack.end())
                             : std::vector<std::uint8_t>();
}

TEST(AnswerPolicy, EveryFrameButAnAcknowledgementIsAnsweredOnlyToAUnicastSender)
{
    struct Case
    {
        const char* name;
        std::vector<std::uint8_t> datagram;
        Endpoint sender;
        std::optional<NoAnswer> refusal;
    };
    // clang-format off
    const Case cases[] = {
        {"a status frame from a panel",         STATUS,                   PANEL,                          std::nullopt},
        {"an empty datagram",                   {},                       PANEL,                          NoAnswer::Empty},
        {"a datagram too long to be a frame",   std::vector<std::uint8_t>(129, 0x0C), PANEL,              NoAnswer::Oversize},
        {"an acknowledgement",                  STATUS_ACK,               PANEL,                          NoAnswer::Acknowledgement},
        {"a sender on port 0",                  STATUS,                   {LOOPBACK_ADDRESS, 0},          NoAnswer::RefusedSender},
        {"the limited broadcast",               STATUS,                   {0xFFFFFFFF, 8015},             NoAnswer::RefusedSender},
        {"an interface's broadcast",            STATUS,                   {LAN_BROADCAST, 8015},          NoAnswer::RefusedSender},
        {"a multicast sender",                  STATUS,                   {Ipv4(239, 1, 1, 1), 8015},     NoAnswer::RefusedSender},
        {"the zero address",                    STATUS,                   {0, 8015},                      NoAnswer::RefusedSender},
        {"another loopback address",            STATUS,                   {Ipv4(127, 0, 0, 9), 1},        std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) {
        AnswerPolicy drawn({}, {}, 1, {LAN_BROADCAST});
        const AnswerPolicy chosen({LAN_BROADCAST});
        for (const AnswerDecision& decision :
             {drawn.Decide(c.datagram, c.sender), chosen.Decide(c.datagram, c.sender, AnswerFaults{})}) {
            EXPECT_EQ(Refusal(decision), c.refusal) << c.name;
            EXPECT_EQ(AckOf(decision), c.refusal ? std::vector<std::uint8_t>() : STATUS_ACK) << c.name;
        }
    }
}

TEST(AnswerPolicy, ChosenFaultsShapeTheAnswer)
{
    struct Case
    {
        const char* name;
        AnswerFaults faults;
        std::optional<NoAnswer> refusal;
        std::vector<std::uint8_t> ack;
        bool twice;
        std::chrono::milliseconds delay;
    };
    // clang-format off
    const Case cases[] = {
        {"none",               {},                                 std::nullopt,       STATUS_ACK,        false,   0ms},
        {"withheld",           {.withhold = true},                 NoAnswer::Withheld, {},                false,   0ms},
        {"dropped",            {.drop = true},                     NoAnswer::Dropped,  {},                false,   0ms},
        {"checksum spoilt",    {.spoil = true},                    std::nullopt,       SPOILT_STATUS_ACK, false,   0ms},
        {"twice",              {.twice = true},                    std::nullopt,       STATUS_ACK,        true,    0ms},
        {"delayed",            {.delay = 250ms},                   std::nullopt,       STATUS_ACK,        false, 250ms},
        {"all but withheld",   {.spoil = true, .twice = true, .delay = 5ms}, std::nullopt, SPOILT_STATUS_ACK, true, 5ms},
        {"withheld outranks a drop", {.withhold = true, .drop = true}, NoAnswer::Withheld, {},             false,   0ms},
    };
    // clang-format on
    const AnswerPolicy policy({});
    for (const Case& c : cases) {
        const AnswerDecision decision = policy.Decide(STATUS, PANEL, c.faults);
        EXPECT_EQ(Refusal(decision), c.refusal) << c.name;
        EXPECT_EQ(AckOf(decision), c.ack) << c.name;
        if (const auto* answer = std::get_if<PlannedAnswer>(&decision)) {
            EXPECT_EQ(answer->duplicates, c.twice ? 1U : 0U) << c.name;
            EXPECT_EQ(answer->delay, c.delay) << c.name;
            EXPECT_EQ(answer->spoilt, c.faults.spoil) << c.name;
        }
    }
}

TEST(AnswerPolicy, DrawnFaultsFollowTheirRatesAndRepeatWithTheSeed)
{
    struct Case
    {
        const char* name;
        FaultRates rates;
        std::size_t dropped;
        std::size_t spoilt;
        std::size_t twice;
    };
    constexpr std::size_t N = 1000;
    // clang-format off
    const Case cases[] = {
        {"no faults",           {},                                      0,   0,   0},
        {"every answer dropped", {.dropPercent = 100},                   N,   0,   0},
        {"every checksum spoilt", {.spoilPercent = 100},                 0,   N,   0},
        {"every answer twice",  {.twicePercent = 100},                   0,   0,   N},
        {"withheld, none drawn", {.withhold = true, .dropPercent = 100}, 0,   0,   0},
    };
    // clang-format on
    for (const Case& c : cases) {
        AnswerPolicy policy(c.rates, {}, 7, {});
        std::size_t dropped = 0;
        std::size_t spoilt = 0;
        std::size_t twice = 0;
        for (std::size_t i = 0; i < N; ++i) {
            const AnswerDecision decision = policy.Decide(STATUS, PANEL);
            dropped += Refusal(decision) == NoAnswer::Dropped ? 1 : 0;
            if (const auto* answer = std::get_if<PlannedAnswer>(&decision)) {
                spoilt += answer->spoilt ? 1 : 0;
                twice += answer->duplicates;
            }
        }
        EXPECT_EQ(dropped, c.dropped) << c.name;
        EXPECT_EQ(spoilt, c.spoilt) << c.name;
        EXPECT_EQ(twice, c.twice) << c.name;
    }

    // Half of them, and the same half again from the same seed.
    const auto drops = [](std::uint64_t seed) {
        AnswerPolicy policy({.dropPercent = 50}, {}, seed, {});
        std::vector<bool> dropped;
        for (std::size_t i = 0; i < N; ++i)
            dropped.push_back(Refusal(policy.Decide(STATUS, PANEL)) == NoAnswer::Dropped);
        return dropped;
    };
    const auto first = drops(42);
    const auto count = static_cast<std::size_t>(std::count(first.begin(), first.end(), true));
    EXPECT_GT(count, N * 4 / 10);
    EXPECT_LT(count, N * 6 / 10);
    EXPECT_EQ(drops(42), first);
    EXPECT_NE(drops(43), first);
}

TEST(AnswerPolicy, TheNoteNamesEveryFaultOfTheAnswer)
{
    struct Case
    {
        bool delayed;
        bool duplicate;
        bool spoilt;
        std::string_view note;
    };
    // clang-format off
    const Case cases[] = {
        {false, false, false, ""},
        {true,  false, false, "delayed"},
        {false, true,  false, "duplicate"},
        {false, false, true,  "checksum spoilt"},
        {true,  true,  true,  "delayed, duplicate, checksum spoilt"},
        {false, true,  true,  "duplicate, checksum spoilt"},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(veltrano::AnswerNote(c.delayed, c.duplicate, c.spoilt), c.note) << c.note;
}

// A centre's own rules act on its answers in their order, state kept from one answer to the next; those
// that cannot act on an answer are refused, named.
TEST(AnswerPolicy, ACentresOwnRulesShapeItsAnswers)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> rules;
        std::vector<const char*> answers; // per STATUS heard in turn: "answer", "dropped", "x3" (3 copies more),
                                          // "late" (20 ms), or the reason's start when refused
    };
    const Case cases[] = {
        {"withhold the first copy of each answer", {"down withhold=1"}, {"dropped", "answer", "answer"}},
        {"three copies more", {"both dup=3"}, {"x3"}},
        {"late, after the shorthand's", {"down delay=20"}, {"late"}},
        {"aimed at another device", {"down drop dev=9"}, {"answer"}},
        {"up is no answer's", {"up drop"}, {"--rule 'up drop': a centre's rules act on its answers"}},
        {"no reorder", {"down reorder"}, {"--rule 'down reorder': a centre holds no answer"}},
        {"unreadable", {"down vanish"}, {"--rule 'down vanish': column 6"}},
    };
    for (const Case& c : cases) {
        const auto rules = AnswerRules(c.rules);
        if (!rules) {
            EXPECT_EQ(rules.error().rfind(c.answers[0], 0), 0U) << c.name << ": " << rules.error();
            continue;
        }
        AnswerPolicy policy({}, *rules, 1, {});
        for (const char* expected : c.answers) {
            const AnswerDecision decision = policy.Decide(STATUS, PANEL);
            const auto* answer = std::get_if<PlannedAnswer>(&decision);
            const std::string got = answer == nullptr                    ? "dropped"
                                    : answer->duplicates > 0            ? "x" + std::to_string(answer->duplicates)
                                    : answer->delay == 20ms             ? "late"
                                                                        : "answer";
            EXPECT_EQ(got, expected) << c.name;
        }
    }
}

} // namespace
