#include "link/centre_answers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::AnswerDecision;
using veltrano::CentreAnswer;
using veltrano::CentreAnswers;
using veltrano::CentreCounts;
using veltrano::NoAnswer;
using veltrano::PlannedAnswer;

const Endpoint PANEL{LOOPBACK_ADDRESS, 8015};
const MonoTime NOW = MonoTime{} + 1h;

// What was planned for one datagram: the answers going now and those held, by their notes.
TEST(CentreAnswers, PlansEachAnswerNowOrHeldWithItsCopy)
{
    struct Case
    {
        const char* name;
        bool spoilt;
        bool twice;
        std::chrono::milliseconds delay;
        std::vector<std::string> ready; // notes of the answers going now
        std::size_t held;
    };
    // clang-format off
    const Case cases[] = {
        {"plain",             false, false, 0ms,  {""},                               0},
        {"twice",             false, true,  0ms,  {"", "duplicate"},                  0},
        {"spoilt twice",      true,  true,  0ms,  {"checksum spoilt", "duplicate, checksum spoilt"}, 0},
        {"delayed",           false, false, 50ms, {},                                 1},
        {"delayed and twice", false, true,  50ms, {},                                 2},
    };
    // clang-format on
    for (const Case& c : cases) {
        CentreAnswers answers;
        PlannedAnswer planned;
        planned.ack[0] = 0x08;
        planned.spoilt = c.spoilt;
        planned.duplicates = c.twice ? 1 : 0;
        planned.delay = c.delay;
        answers.Plan(planned, PANEL, 0x7F000009, NOW);
        std::vector<std::string> notes;
        for (const CentreAnswer& a : answers.Ready()) {
            notes.emplace_back(a.Note());
            EXPECT_EQ(a.to, PANEL) << c.name;
            EXPECT_EQ(a.source, 0x7F000009u) << c.name << ": from the address the datagram reached";
            EXPECT_EQ(a.ack[0], 0x08) << c.name;
        }
        EXPECT_EQ(notes, c.ready) << c.name;
        EXPECT_EQ(answers.Held(), c.held) << c.name;
        EXPECT_EQ(answers.NextDue(), c.held == 0 ? std::nullopt : std::optional(NOW + c.delay)) << c.name;
    }
}

// Held answers go once due, in the order they were planned, and only then.
TEST(CentreAnswers, ReleasesHeldAnswersWhenDue)
{
    struct Case
    {
        const char* name;
        std::chrono::milliseconds at;
        std::size_t ready;
        std::size_t held;
    };
    // clang-format off
    const Case cases[] = {
        {"before the first",    49ms,  0, 3},
        {"first with its copy", 50ms,  2, 1},
        {"not yet the second",  69ms,  2, 1},
        {"the second is due",   70ms,  3, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        CentreAnswers answers;
        PlannedAnswer planned;
        planned.delay = 50ms;
        planned.duplicates = 1;
        answers.Plan(planned, PANEL, 0, NOW);
        planned.duplicates = 0;
        planned.ack[1] = 0x01; // the second datagram's answer
        answers.Plan(planned, {LOOPBACK_ADDRESS, 8016}, 0, NOW + 20ms);
        answers.Release(NOW + c.at);
        EXPECT_EQ(answers.Ready().size(), c.ready) << c.name;
        EXPECT_EQ(answers.Held(), c.held) << c.name;
        if (c.ready == 3) {
            EXPECT_FALSE(answers.Ready()[0].duplicate) << c.name;
            EXPECT_TRUE(answers.Ready()[1].duplicate) << c.name;
            EXPECT_EQ(answers.Ready()[2].to.port, 8016) << c.name;
            EXPECT_EQ(answers.Ready()[2].Note(), "delayed") << c.name;
        }
    }
}

// The clock is read for an answer held back and for nothing else; a datagram left unanswered says why.
TEST(CentreAnswers, PlansThePolicysDecisionReadingTheClockOnlyForADelay)
{
    static int clockReads = 0;
    const auto clock = [] {
        ++clockReads;
        return NOW;
    };
    const auto answer = [](std::chrono::milliseconds delay) {
        PlannedAnswer planned;
        planned.delay = delay;
        return AnswerDecision(planned);
    };
    struct Case
    {
        const char* name;
        AnswerDecision decision;
        std::optional<NoAnswer> unanswered;
        int clockReads;
        std::size_t ready;
        std::size_t held;
    };
    // clang-format off
    const Case cases[] = {
        {"answered now",    answer(0ms),                std::nullopt,             0, 1, 0},
        {"held back",       answer(50ms),               std::nullopt,             1, 0, 1},
        {"dropped",         NoAnswer::Dropped,          NoAnswer::Dropped,        0, 0, 0},
        {"an ack",          NoAnswer::Acknowledgement,  NoAnswer::Acknowledgement, 0, 0, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        CentreAnswers answers;
        clockReads = 0;
        EXPECT_EQ(answers.Plan(c.decision, PANEL, 0, clock), c.unanswered) << c.name;
        EXPECT_EQ(clockReads, c.clockReads) << c.name;
        EXPECT_EQ(answers.Ready().size(), c.ready) << c.name;
        EXPECT_EQ(answers.Held(), c.held) << c.name;
        if (c.held > 0) {
            EXPECT_EQ(answers.NextDue(), NOW + 50ms) << c.name;
        }
    }
}

// Each answer counts once where it belongs: a copy is an answer sent but no second datagram acknowledged, a
// refused send counts as nothing else.
TEST(CentreCounts, CountsAnswersByWhatWasDoneToThem)
{
    struct Case
    {
        const char* name;
        CentreAnswer answer;
        int error;
        std::vector<std::pair<std::string, std::uint64_t>> counts; // keys that are 1; every other count 0
    };
    const auto answer = [](bool delayed, bool duplicate, bool spoilt) {
        CentreAnswer a;
        a.delayed = delayed;
        a.duplicate = duplicate;
        a.spoilt = spoilt;
        return a;
    };
    // clang-format off
    const Case cases[] = {
        {"plain",            answer(false, false, false), 0,  {{"acknowledged", 1}, {"acks_sent", 1}}},
        {"delayed",          answer(true,  false, false), 0,  {{"acknowledged", 1}, {"acks_sent", 1}, {"delayed", 1}}},
        {"spoilt",           answer(false, false, true),  0,  {{"acknowledged", 1}, {"acks_sent", 1}, {"bad_checksum", 1}}},
        {"the copy",         answer(true,  true,  true),  0,  {{"acks_sent", 1}, {"duplicated", 1}}},
        {"refused",          answer(true,  false, false), 11, {{"send_failed", 1}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        CentreCounts counts;
        counts.Sent(c.answer, c.error);
        for (const RecordField& field : counts.SummaryFields(0, 0, 0, 0)) {
            std::uint64_t wanted = 0;
            for (const auto& [key, value] : c.counts)
                if (key == field.key)
                    wanted = value;
            EXPECT_EQ(std::get<std::uint64_t>(field.value), wanted) << c.name << " " << field.key;
            // The metrics read the answers sent from the same count as the summary.
            if (field.key == "acks_sent") {
                EXPECT_EQ(counts.AcksSent(), wanted) << c.name;
            }
        }
    }
}

// Each reason to leave a datagram unanswered has its own key, in the summary's order.
TEST(CentreCounts, SummaryKeysInTheirOrder)
{
    CentreCounts counts;
    counts.Received(false);
    counts.Received(true);
    const NoAnswer reasons[] = {NoAnswer::Empty,    NoAnswer::Oversize,      NoAnswer::Acknowledgement,
                                NoAnswer::Withheld, NoAnswer::RefusedSender, NoAnswer::Dropped};
    for (std::size_t i = 0; i < std::size(reasons); ++i)
        for (std::size_t n = 0; n <= i; ++n)
            counts.Unanswered(reasons[i]); // each reason counted a different number of times
    struct Want
    {
        const char* key;
        std::uint64_t value;
    };
    // clang-format off
    const Want wanted[] = {
        {"received", 2}, {"acknowledged", 0}, {"acks_sent", 0}, {"not_answered_empty", 1},
        {"not_answered_oversize", 2}, {"not_answered_ack", 3}, {"not_answered_no_ack", 4},
        {"not_answered_sender", 5}, {"malformed", 1}, {"dropped", 6}, {"delayed", 0}, {"duplicated", 0},
        {"bad_checksum", 0}, {"send_failed", 0}, {"held_at_exit", 7}, {"kernel_drops", 8}, {"rcvbuf", 9},
        {"seed", 10},
    };
    // clang-format on
    const auto fields = counts.SummaryFields(7, 8, 9, 10);
    ASSERT_EQ(fields.size(), std::size(wanted));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(fields[i].key, wanted[i].key) << i;
        EXPECT_EQ(std::get<std::uint64_t>(fields[i].value), wanted[i].value) << wanted[i].key;
    }
    EXPECT_EQ(counts.ReceivedCount(), 2u);
}

} // namespace
