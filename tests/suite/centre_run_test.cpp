#include "suite/centre_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

const Endpoint TARGET{LOOPBACK_ADDRESS, 8015};
const CentreSetting SETTING{TARGET, 300, {40001, 40002}, 1000, 0.01};
const MonoTime T0 = MonoTime{} + 10s;

enum class Centre : std::uint8_t
{
    Answering, // every frame the rule answers, on the socket it came from
    Silent,
};

// A case per letter, in the table's order: P passed, F failed, S skipped.
std::string Letters(const std::vector<Verdict>& verdicts)
{
    std::string letters;
    for (const Verdict& verdict : verdicts)
        letters += "PFS"[static_cast<int>(verdict.outcome)];
    return letters;
}

std::vector<bool> Choose(const std::vector<std::string>& only)
{
    return ChooseCentreCases(only, {}).value();
}

void AnswerExchange(CentreRun& run, MonoTime at)
{
    std::vector<CentreExchange::Arrival> answers;
    for (const auto& sent : run.Frames()) {
        if (sent.expected)
            answers.push_back(
                {sent.datagram.socket, TARGET, {sent.expected->begin(), sent.expected->end()}, at});
    }
    for (const auto& answer : answers)
        run.Arrived(answer.socket, answer.from, answer.bytes, answer.at);
}

// Runs the load to its end, a tick a millisecond; the time it ended.
MonoTime RunLoad(CentreRun& run, Centre centre, MonoTime now)
{
    for (int tick = 0; tick < 1000 && !run.AllSent(); ++tick) {
        now += 1ms;
        for (const Bytes& frame : run.Due(now)) {
            const auto ack = std::get<AckFrame>(AcknowledgementFor(frame));
            if (centre == Centre::Answering)
                run.Arrived(0, TARGET, Bytes(ack.begin(), ack.end()), now);
        }
    }
    return run.Settled() ? now : now + std::chrono::milliseconds(SETTING.timeoutMs);
}

// The whole run as the command drives it: every case judged once what it waits for came, or at the timeout.
std::vector<Verdict> RunToEnd(const std::vector<bool>& chosen, Centre centre)
{
    CentreRun run(SETTING, chosen);
    MonoTime now = T0;
    run.Probe(now);
    if (centre == Centre::Answering)
        AnswerExchange(run, now + 1ms);
    EXPECT_EQ(run.Settled(), centre == Centre::Answering);
    EXPECT_FALSE(run.Judge(now + 2ms).has_value()) << "the probe has no verdict";
    std::vector<Verdict> verdicts;
    for (std::size_t step = 0; step < 2 * CentreCases().size(); ++step) {
        now += 10ms;
        const CentreRun::Next next = run.Advance(now, verdicts);
        if (next == CentreRun::Next::End)
            break;
        if (next == CentreRun::Next::Load) {
            now = RunLoad(run, centre, now);
        } else {
            if (centre == Centre::Answering)
                AnswerExchange(run, now + 1ms);
            now += run.Settled() ? 1ms : std::chrono::milliseconds(SETTING.timeoutMs);
        }
        auto verdict = run.Judge(now);
        EXPECT_TRUE(verdict.has_value());
        if (verdict)
            verdicts.push_back(std::move(*verdict));
    }
    return verdicts;
}

} // namespace

// Every case one verdict in the table's order; a case passed over says why and takes no time.
TEST(CentreRun, GivesEveryCaseOneVerdictInTheTablesOrder)
{
    struct Row
    {
        const char* name;
        std::vector<std::string> only; // empty: every case
        Centre centre;
        std::string letters;
        std::string second{}; // how the second case's message begins; empty: unchecked
        bool secondTakesNoTime{false};
    };
    // clang-format off
    const Row rows[] = {
        {"every case, a centre that answers", {}, Centre::Answering, "PPPPPPPPPPPP"},
        {"every case, a silent centre: all unheard", {}, Centre::Silent, "FFFFFFFFFFFF"},
        {"two cases chosen", {"ack-debug-frame", "load"}, Centre::Answering, "SPSSSSSSSSSP"},
        {"one case chosen", {"ack-debug-frame"}, Centre::Answering, "SPSSSSSSSSSS", "debug frame acknowledged", false},
        {"one case chosen, an unheard centre", {"ack-debug-frame"}, Centre::Silent, "SFSSSSSSSSSS", "no acknowledgement from 127.0.0.1:8015", true},
        {"a silence case of an unheard centre still fails", {"no-answer-empty"}, Centre::Silent, "SSSSSSFSSSSS"},
        {"only the load", {"load"}, Centre::Answering, "SSSSSSSSSSSP"},
        {"only the load, unanswered", {"load"}, Centre::Silent, "SSSSSSSSSSSF"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<bool> chosen =
            row.only.empty() ? std::vector<bool>(CentreCases().size(), true) : Choose(row.only);
        const auto verdicts = RunToEnd(chosen, row.centre);
        EXPECT_EQ(Letters(verdicts), row.letters);
        ASSERT_EQ(verdicts.size(), CentreCases().size());
        for (std::size_t i = 0; i < verdicts.size(); ++i) {
            EXPECT_EQ(verdicts[i].id, CentreCases()[i].id);
            if (!chosen[i]) {
                EXPECT_EQ(verdicts[i].message, "not chosen") << i;
                EXPECT_EQ(verdicts[i].seconds, 0) << i;
            }
        }
        if (!row.second.empty()) {
            EXPECT_EQ(verdicts[1].message.substr(0, row.second.size()), row.second);
            EXPECT_EQ(verdicts[1].seconds == 0, row.secondTakesNoTime);
        }
    }
}

TEST(CentreRun, SettlesOnlyWhatWaitsForAnswersOnceAllCame)
{
    struct Row
    {
        const char* name;
        std::string id;
        bool answered;
        bool settled;
    };
    const Row rows[] = {
        {"answers awaited, all came", "burst-in-order", true, true},
        {"answers awaited, none came", "burst-in-order", false, false},
        {"silence awaited: only the timeout judges", "no-answer-to-ack", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CentreRun run(SETTING, Choose({row.id}));
        run.Probe(T0);
        AnswerExchange(run, T0 + 1ms);
        ASSERT_FALSE(run.Judge(T0 + 1ms).has_value());
        std::vector<Verdict> passed;
        ASSERT_EQ(run.Advance(T0 + 2ms, passed), CentreRun::Next::Exchange);
        EXPECT_FALSE(run.Frames().empty());
        if (row.answered)
            AnswerExchange(run, T0 + 3ms);
        EXPECT_EQ(run.Settled(), row.settled);
        const auto verdict = run.Judge(T0 + 302ms);
        ASSERT_TRUE(verdict.has_value());
        EXPECT_EQ(verdict->id, row.id);
        EXPECT_DOUBLE_EQ(verdict->seconds, 0.3);
        // What comes after the verdict belongs to no case.
        AnswerExchange(run, T0 + 303ms);
        EXPECT_FALSE(run.Settled());
    }
}
