#include "suite/fuzz_finding.h"
#include "suite/fuzz_liveness.h"
#include "suite/fuzz_minimiser.h"
#include "suite/fuzz_rule.h"
#include "suite/fuzz_silence.h"
#include "suite/scenario.h"

#include "protocol/acknowledgement.h"
#include "protocol/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <variant>

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

using Kind = Liveness::Event::Kind;

// A fake target on a fake clock: it answers a probe when `answers(probe number, time)` says so, after 1 ms.
struct LivenessRow
{
    const char* name;
    bool (*answers)(int probe, std::chrono::milliseconds at);
    std::vector<Kind> events{};        // in order, the Suspect, Hang and Crash ones
    std::chrono::milliseconds hang{0}; // the hang's length, when one
    bool unreachable{false};           // every unanswered probe also gets a port-unreachable error
    bool recovered{false};             // some probe answered after a resend
};

std::vector<Liveness::Event> RunLiveness(const LivenessRow& row, std::chrono::milliseconds& hang)
{
    const Liveness::Time start{};
    Liveness judge({.probeEvery = 5, .timeout = 100ms, .retries = 3, .confirm = 2s}, start);
    std::vector<Liveness::Event> events;
    int probe = 0;
    Liveness::Time answerAt = Liveness::Time::max(); // max: no answer on its way
    for (auto now = start; now < start + 5s && judge.Current() != Liveness::Phase::Crashed; now += 1ms) {
        auto note = [&](std::optional<Liveness::Event> e) {
            if (e && e->kind != Kind::Resend)
                events.push_back(*e);
        };
        if (now >= answerAt) {
            answerAt = Liveness::Time::max();
            note(judge.Answered(now));
        }
        note(judge.Tick(now));
        if (judge.MaySendCase())
            judge.CaseSent(now);
        if (judge.ProbeDue(now)) {
            judge.ProbeSent(now);
            const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(now - start);
            if (row.answers(probe++, at))
                answerAt = now + 1ms;
            else if (row.unreachable)
                note(judge.Unreachable(now));
        }
        if (!events.empty() && events.back().kind == Kind::Hang) {
            hang = std::chrono::duration_cast<std::chrono::milliseconds>(events.back().length);
            break;
        }
    }
    return events;
}

} // namespace

TEST(Liveness, TellsACrashFromLoss)
{
    // clang-format off
    const LivenessRow rows[] = {
        {.name = "every probe answered", .answers = [](int, auto) { return true; }},
        {.name = "loss within the retries", .answers = [](int p, auto) { return p % 4 != 1 && p % 4 != 2; }, .recovered = true},
        {.name = "silent from 1 s", .answers = [](int, auto at) { return at < 1s; }, .events = {Kind::Suspect, Kind::Crash}},
        {.name = "back within the window", .answers = [](int, auto at) { return at < 1s || at > 2s; }, .events = {Kind::Suspect, Kind::Hang}, .hang = 1000ms},
        {.name = "a streak of loss on a lossy link", .answers = [](int p, auto) { return p < 40 ? p % 2 == 0 : p > 45; }, .events = {Kind::Suspect}, .recovered = true},
        {.name = "port unreachable is no answer", .answers = [](int, auto at) { return at < 1s; }, .events = {Kind::Suspect, Kind::Crash}, .unreachable = true},
    };
    // clang-format on
    for (const LivenessRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::chrono::milliseconds hang{0};
        const auto events = RunLiveness(row, hang);
        const auto recovered = [](const auto& e) { return e.kind == Kind::Recovered; };
        std::vector<Kind> kinds;
        for (const auto& e : events)
            if (!recovered(e))
                kinds.push_back(e.kind);
        EXPECT_EQ(kinds, row.events);
        EXPECT_EQ(std::ranges::any_of(events, recovered), row.recovered);
        if (row.hang > 0ms) { // from the first unanswered probe, within a probe round of the silence's end
            EXPECT_NEAR(static_cast<double>(hang.count()), static_cast<double>(row.hang.count()), 110.0);
        }
    }
}

// A panel on a fake clock: `frames` its datagrams, each at a time with how well formed it is and whether the
// answer it gets is mutated; the judge ticked every millisecond to 5 s.
TEST(PanelSilence, TellsAHangFromACrashAndSeesMalformedFramesAfterAMutatedAnswer)
{
    using SilenceKind = PanelSilence::Event::Kind;
    struct Frame
    {
        std::chrono::milliseconds at;
        bool wellFormed{true};
        bool mutatedAnswer{false};
    };
    struct Row
    {
        const char* name;
        std::vector<Frame> frames{};
        std::vector<SilenceKind> events{};
        std::chrono::milliseconds length{0}; // of the last event
        std::chrono::milliseconds until{5s};
    };
    // clang-format off
    const Row rows[] = {
        {.name = "nothing before the first frame"},
        {.name = "steady frames", .frames = {{0ms}, {400ms}, {800ms}, {1200ms}, {1600ms}, {2000ms}, {2400ms}, {2800ms}, {3200ms}, {3600ms}, {4000ms}, {4400ms}, {4800ms}}},
        {.name = "silent from 0.4 s", .frames = {{0ms}, {400ms}}, .events = {SilenceKind::Suspect, SilenceKind::Crash}, .length = 2501ms},
        {.name = "back within the window", .frames = {{0ms}, {1500ms}, {2000ms}, {2500ms}, {3000ms}, {3500ms}, {4000ms}, {4500ms}}, .events = {SilenceKind::Suspect, SilenceKind::Hang}, .length = 1500ms},
        {.name = "malformed after a mutated answer, once", .frames = {{0ms, true, true}, {100ms, false}, {200ms, false}}, .events = {SilenceKind::Malformed}, .until = 500ms},
        {.name = "malformed after right answers only", .frames = {{0ms}, {100ms, false}}, .until = 500ms},
        {.name = "malformed from the start", .frames = {{0ms, false, true}, {100ms, false}}, .until = 500ms},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PanelSilence judge({.silence = 1s, .confirm = 1500ms});
        const PanelSilence::Time start{};
        std::vector<PanelSilence::Event> events;
        std::size_t next = 0;
        for (auto now = start; now < start + row.until; now += 1ms) {
            if (next < row.frames.size() && now - start >= row.frames[next].at) {
                if (auto e = judge.Heard(now, row.frames[next].wellFormed))
                    events.push_back(*e);
                judge.Answered(row.frames[next++].mutatedAnswer);
            }
            if (auto e = judge.Tick(now))
                events.push_back(*e);
        }
        std::vector<SilenceKind> kinds;
        for (const auto& e : events)
            kinds.push_back(e.kind);
        EXPECT_EQ(kinds, row.events);
        if (row.length > 0ms) {
            EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(events.back().length),
                      row.length);
        }
    }
}

TEST(Liveness, ResendsAreCountedAndNoCaseGoesWhileSuspect)
{
    Liveness judge({.probeEvery = 2, .timeout = 100ms, .retries = 1, .confirm = 1s}, {});
    Liveness::Time now{};
    judge.ProbeSent(now);
    judge.Answered(now += 1ms);
    judge.CaseSent(now);
    judge.CaseSent(now);
    EXPECT_FALSE(judge.MaySendCase());
    ASSERT_TRUE(judge.ProbeDue(now));
    judge.ProbeSent(now);
    // Cases go on while the round's first probe waits, a round's worth at most; none once it is resent.
    EXPECT_TRUE(judge.MaySendCase());
    judge.CaseSent(now);
    judge.CaseSent(now);
    EXPECT_FALSE(judge.MaySendCase());
    EXPECT_EQ(judge.Tick(now += 100ms)->kind, Kind::Resend);
    judge.ProbeSent(now);
    EXPECT_EQ(judge.Tick(now += 100ms)->kind, Kind::Suspect);
    EXPECT_FALSE(judge.MaySendCase());
    EXPECT_EQ(judge.Totals().probes, 3U);
    EXPECT_EQ(judge.Totals().resends, 1U);
}

TEST(Liveness, CasesSentBehindAProbeAreTheNextRounds)
{
    struct Row
    {
        const char* name;
        int ahead;      // cases sent while the probe waited
        bool lastRound; // the run's end asked for while it waited
        bool probeDue;  // at once on its answer
    };
    const Row rows[] = {
        {"a full round behind it", 3, false, true},
        {"part of a round", 1, false, false},
        {"part of the run's last round", 1, true, true},
        {"nothing behind the run's last probe", 0, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Liveness judge({.probeEvery = 3, .timeout = 100ms, .retries = 1, .confirm = 1s}, {});
        Liveness::Time now{};
        judge.ProbeSent(now);
        judge.Answered(now);
        for (int i = 0; i < 3; ++i)
            judge.CaseSent(now);
        judge.ProbeSent(now);
        for (int i = 0; i < row.ahead; ++i)
            judge.CaseSent(now);
        if (row.lastRound)
            judge.ProbeNow(now);
        judge.Answered(now += 1ms);
        EXPECT_EQ(judge.ProbeDue(now), row.probeDue);
        EXPECT_EQ(judge.MaySendCase(), !row.probeDue);
    }
}

TEST(FuzzAnswerRule, JudgesEachAnswerAsTestCentreDoes)
{
    const Endpoint target{0x7F000001, 7015};
    const Bytes frame = ParseHexBytes("0C 00 01 00 00 00 02 01 11 00 00 21").value();
    const auto ack = std::get<AckFrame>(AcknowledgementFor(frame));
    auto with = [&](std::size_t at, std::uint8_t value) {
        Bytes b(ack.begin(), ack.end());
        b[at] = value;
        return b;
    };
    struct Row
    {
        const char* name;
        Bytes sent;
        Bytes answer;
        Endpoint from;
        bool broken;
    };
    const Bytes ackFrame(ack.begin(), ack.end());
    const Row rows[] = {
        {"its acknowledgement", frame, ackFrame, target, false},
        {"a wrong checksum", frame, with(7, 0), target, true},
        {"a wrong echo", frame, with(1, 5), target, true},
        {"bit 7 missing", frame, with(6, CMD_STATUS), target, true},
        {"from another port", frame, ackFrame, {0x7F000001, 7016}, true},
        {"an answer to an acknowledgement", ackFrame, ackFrame, target, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FuzzAnswerRule rule;
        rule.Sent(target, row.sent, 3, {});
        const auto broken = rule.Received(row.from, row.answer, {});
        EXPECT_EQ(broken.has_value(), row.broken);
        if (broken) {
            EXPECT_EQ(broken->caseIndex, 3U);
        }
    }
    FuzzAnswerRule rule;
    rule.Sent(target, frame, 1, {});
    EXPECT_FALSE(rule.Received(target, ackFrame, {}));
    EXPECT_TRUE(rule.Received(target, ackFrame, {})) << "a second answer to one frame";
    // A frame whose answer was lost long ago, its place taken since: the answer to its copy keeps the rule.
    rule.Sent(target, frame, 2, {});
    for (std::uint64_t i = 0; i < 70'000; ++i)
        rule.Sent(target, ackFrame, 3 + i, {});
    rule.Sent(target, frame, 80'000, {});
    EXPECT_FALSE(rule.Received(target, ackFrame, {}));
}

namespace {

std::vector<FuzzFrame> Frames(int count)
{
    std::vector<FuzzFrame> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(
            {Bytes{static_cast<std::uint8_t>(i), 0xAA, 0xBB, 0xCC}, static_cast<std::uint64_t>(i), 0});
    return frames;
}

bool Has(std::span<const FuzzFrame> frames, std::uint8_t first)
{
    return std::ranges::any_of(frames,
                               [&](const FuzzFrame& f) { return !f.bytes.empty() && f.bytes[0] == first; });
}

} // namespace

TEST(Minimise, FindsTheDecisiveFramesAndNeverReturnsOneThatFailed)
{
    struct Row
    {
        const char* name;
        int count;
        std::function<bool(std::span<const FuzzFrame>)> fault;
        std::vector<std::uint64_t> cases; // of the result
        bool reproduced;
        std::size_t lastBytes; // of the decisive frame
    };
    const auto byteKept = [](auto f) {
        return !f.empty() && f.back().bytes.size() >= 1 && f.back().bytes[0] == 49 &&
               std::ranges::count(f.back().bytes, 0xCC) == 1;
    };
    const auto inOrder = [](auto f) {
        auto a = std::ranges::find_if(f, [](const FuzzFrame& x) { return x.bytes[0] == 12; });
        return a != f.end() && std::any_of(a, f.end(), [](const FuzzFrame& x) { return x.bytes[0] == 40; });
    };
    int flakyTries = 0;
    // clang-format off
    const Row rows[] = {
        {"one decisive frame", 50, [](auto f) { return Has(f, 37); }, {37}, true, 1},
        {"the byte that matters kept", 50, byteKept, {49}, true, 2},
        {"two frames in order", 60, inOrder, {12, 40}, true, 1},
        {"never reproduced", 30, [](auto) { return false; }, {}, false, 0},
        {"flaky: fails from the fourth try", 30, [&flakyTries](auto f) { return ++flakyTries < 4 && Has(f, 29); }, {}, true, 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::vector<FuzzFrame>> tried;
        std::vector<bool> results;
        const Reproduces reproduces = [&](std::span<const FuzzFrame> f) {
            tried.emplace_back(f.begin(), f.end());
            results.push_back(row.fault(f));
            return results.back();
        };
        const Minimised result = Minimise(Frames(row.count), reproduces, 200);
        EXPECT_EQ(result.reproduced, row.reproduced);
        if (!row.cases.empty()) {
            std::vector<std::uint64_t> cases;
            for (const auto& f : result.frames)
                cases.push_back(f.caseIndex);
            EXPECT_EQ(cases, row.cases);
            EXPECT_EQ(result.frames.back().bytes.size(), row.lastBytes);
        }
        // What came back reproduced the last time it was tried.
        for (std::size_t i = tried.size(); row.reproduced && i-- > 0;) {
            const bool same =
                std::ranges::equal(tried[i], result.frames, {}, &FuzzFrame::bytes, &FuzzFrame::bytes);
            if (same) {
                EXPECT_TRUE(results[i]);
                break;
            }
        }
    }
}

TEST(FindingFiles, HoldTheFramesAndAScenarioThatRunReads)
{
    const Bytes frame = ParseHexBytes("0C 00 01 00 00 00 02 01 11 00 00 21").value();
    FuzzFinding finding{.kind = FindingKind::Rule,
                        .seed = 99,
                        .frames = {{{}, 4, 0}, {frame, 5, 5}},
                        .capture = {{1, true, frame}, {2, false, {0x08}}},
                        .message = "a wrong checksum",
                        .expected = "08 00 01 00 00 00 82 8B",
                        .got = "08",
                        .command = "veltrano-cli fuzz centre",
                        .local = {0x7F000001, 40000},
                        .target = {0x7F000001, 7015}};
    const auto dir = std::filesystem::temp_directory_path() / "veltrano-finding-test";
    std::filesystem::remove_all(dir);
    const auto folder = WriteFinding(dir.string(), 1, finding);
    ASSERT_TRUE(folder) << folder.error();
    std::ifstream json(std::filesystem::path(*folder) / "finding.json");
    std::stringstream text;
    text << json.rdbuf();
    EXPECT_NE(text.str().find(R"("cases":[4,5],"classes":["empty","checksum"],"frames":["","0C 00 01)"),
              std::string::npos)
        << text.str();
    EXPECT_TRUE(std::filesystem::file_size(std::filesystem::path(*folder) / "capture.pcap") > 24);
    const auto scenario =
        ParseScenario(FindingScenario(finding, "f"), "scenario.yaml", {{"peer", "127.0.0.1:9"}});
    ASSERT_TRUE(scenario) << scenario.error();
    std::vector<StepKind> kinds;
    for (const auto& step : scenario->steps)
        kinds.push_back(step.kind);
    EXPECT_EQ(kinds, (std::vector{StepKind::Send, StepKind::Send, StepKind::ExpectAck, StepKind::Send,
                                  StepKind::ExpectAck}));
    EXPECT_TRUE(scenario->steps[0].bytes.empty()) << "the empty datagram";
    EXPECT_EQ(scenario->peer, "127.0.0.1:9");
    std::filesystem::remove_all(dir);
}

// A panel's finding plays the same answers as a centre: each case's datagrams to the next frame, a late one
// late; then the panel must send on, or send nothing malformed.
TEST(FindingFiles, OfAPanelAnswerAsTheFuzzerDidAndWaitForThePanel)
{
    const auto row = [](std::string_view id) {
        return static_cast<std::size_t>(FindFuzzClass(id) - FuzzClasses().data());
    };
    const Bytes ack = ParseHexBytes("08 00 01 00 00 00 82 8B").value();
    for (const auto kind : {FindingKind::Crash, FindingKind::Rule}) {
        FuzzFinding finding;
        finding.kind = kind;
        finding.side = FuzzSide::Panel;
        finding.frames = {{ack, 7, row("answer-duplicated")},
                          {ack, 7, row("answer-duplicated")},
                          {ack, 8, row("answer-late")}};
        finding.local = {0x7F000001, 7015};
        finding.silenceMs = 400;
        finding.lateMs = 900;
        const auto scenario = ParseScenario(FindingScenario(finding, "f"), "scenario.yaml", {{"port", "9"}});
        ASSERT_TRUE(scenario) << scenario.error();
        EXPECT_EQ(scenario->role, ScenarioRole::Centre);
        EXPECT_EQ(scenario->port, 9);
        std::vector<StepKind> kinds;
        for (const auto& step : scenario->steps)
            kinds.push_back(step.kind);
        const StepKind last = kind == FindingKind::Rule ? StepKind::ExpectNoFrame : StepKind::ExpectFrame;
        EXPECT_EQ(kinds, (std::vector{StepKind::Answer, StepKind::ExpectFrame, StepKind::Answer,
                                      StepKind::ExpectFrame, last}));
        EXPECT_EQ(scenario->steps[0].answers, (std::vector{ack, ack}));
        EXPECT_EQ(scenario->steps[2].delay, 900ms);
        EXPECT_EQ(scenario->steps.back().within, 400ms);
        EXPECT_EQ(scenario->steps.back().match.malformed,
                  kind == FindingKind::Rule ? std::optional(true) : std::nullopt);
    }
}
