#include "suite/scenario_machine.h"

#include "protocol/hex.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Endpoint PEER{LOOPBACK_ADDRESS, 18015};
const Endpoint PANEL{LOOPBACK_ADDRESS, 40000};
const MonoTime T0 = MonoTime{} + 10s;

// Two frames of one device that an acknowledgement cannot tell apart, and their one acknowledgement.
const char* const A = known::STATUS_HEX;
const char* const B = "0C 00 01 00 00 00 02 00 11 00 00 20";
const char* const ACK = known::STATUS_ACK_HEX;
const char* const SPOILT_ACK = "08 00 01 00 00 00 82 74";
const char* const OTHER_ACK = "08 00 02 00 00 00 82 8C"; // of device 2

Bytes Hex(std::string_view text)
{
    return ParseHexBytes(text).value();
}

Scenario Parse(const std::string& role, const std::string& steps)
{
    const std::string place = role == "panel" ? "peer: 127.0.0.1:18015" : "port: 18015";
    const std::string text = "role: " + role + "\n" + place + "\ntimeout: 50\nsteps:\n" + steps;
    auto scenario = ParseScenario(text, "t.yaml");
    EXPECT_TRUE(scenario) << scenario.error();
    return scenario.value_or(Scenario{});
}

// A datagram that comes once step `step` has begun.
struct Arrival
{
    std::size_t step;
    const char* hex;
};

// Runs the panel role's steps to the end, each waiting step to its deadline; the verdict of each step.
std::vector<Verdict> RunPanel(const std::string& steps, const std::vector<Arrival>& arrivals)
{
    ScenarioMachine machine(Parse("panel", steps), PEER);
    std::vector<Verdict> verdicts;
    MonoTime now = T0;
    for (std::size_t step = 0; step < 100; ++step) {
        const auto start = machine.Begin(now);
        if (start == ScenarioMachine::Start::End)
            break;
        if (start == ScenarioMachine::Start::Send)
            machine.Sent(0, now);
        for (const Arrival& arrival : arrivals) {
            if (arrival.step != step)
                continue;
            now += 1ms;
            const Bytes bytes = Hex(arrival.hex);
            machine.PanelHeard(PEER, bytes, DecodeFrame(bytes), now);
        }
        machine.Check(now);
        auto verdict = machine.TakeVerdict();
        if (!verdict && start == ScenarioMachine::Start::Wait) {
            now = machine.Deadline();
            machine.Expire(now);
            verdict = machine.TakeVerdict();
        }
        if (!verdict) {
            ADD_FAILURE() << "step " << step << " not judged";
            break;
        }
        verdicts.push_back(std::move(*verdict));
    }
    return verdicts;
}

} // namespace

// Expect-ack takes only the last frame's own answer; expect-no-ack fails on anything carrying the frame's
// key.
TEST(ScenarioMachine, ExpectAckAndExpectNoAckJudgeTheLastFramesAnswer)
{
    struct Row
    {
        const char* name;
        std::string steps; // the last one is judged, the others pass
        std::vector<Arrival> arrivals;
        Outcome outcome;
        std::string message; // found in the last verdict's message
    };
    const auto send = [](const char* hex) { return std::string("  - send: {hex: \"") + hex + "\"}\n"; };
    const std::string expectAck = "  - expect-ack\n", expectNoAck = "  - expect-no-ack\n";
    const std::string ack = ACK, spoilt = SPOILT_ACK;
    // clang-format off
    const Row rows[] = {
        {"answered", send(A) + expectAck, {{0, ACK}}, Outcome::Passed, ack + " after 1.000 ms"},
        {"answered while it waits", send(A) + expectAck, {{1, ACK}}, Outcome::Passed, ack},
        {"nothing", send(A) + expectAck, {}, Outcome::Failed, "expected " + ack + " from 127.0.0.1:18015 within 50 ms, got nothing"},
        {"a spoilt checksum", send(A) + expectAck, {{0, SPOILT_ACK}}, Outcome::Failed, "got " + spoilt + " after 1.000 ms"},
        {"a spoilt checksum, then the right one", send(A) + expectAck, {{0, SPOILT_ACK}, {0, ACK}}, Outcome::Passed, ack + " after 2.000 ms"},
        {"another device's", send(A) + expectAck, {{0, OTHER_ACK}}, Outcome::Failed, "got nothing"},
        {"the answer of an earlier frame", send(A) + send(B) + expectAck, {{1, ACK}}, Outcome::Failed, "got only " + ack + " after 1.000 ms, taken for an earlier frame"},
        {"a copy keeps its place", send(A) + send(A) + expectAck, {{1, ACK}}, Outcome::Passed, ack},
        {"an acknowledgement sent", send(ACK) + expectAck, {}, Outcome::Failed, ack + " is not answered by the centre rule"},
        {"nothing sent", expectAck, {}, Outcome::Failed, "no frame was sent before it"},
        {"no ack: nothing", send(A) + expectNoAck, {}, Outcome::Passed, std::string("nothing answered ") + A + " within 50 ms"},
        {"no ack: another device's answer", send(A) + expectNoAck, {{1, OTHER_ACK}}, Outcome::Passed, "nothing answered"},
        {"no ack: its answer", send(A) + expectNoAck, {{0, ACK}}, Outcome::Failed, std::string("expected no answer to ") + A + " within 50 ms, got " + ack + " after 1.000 ms"},
        // The matcher takes neither: still an answer to the frame.
        {"no ack: its answer with a spoilt checksum", send(A) + expectNoAck, {{1, SPOILT_ACK}}, Outcome::Failed, "got " + spoilt},
        {"no ack: an answer to an acknowledgement", send(ACK) + expectNoAck, {{1, ACK}}, Outcome::Failed, "got " + ack},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto verdicts = RunPanel(row.steps, row.arrivals);
        ASSERT_EQ(verdicts.size(), static_cast<std::size_t>(std::ranges::count(row.steps, '\n')));
        for (std::size_t i = 0; i + 1 < verdicts.size(); ++i)
            EXPECT_EQ(verdicts[i].outcome, Outcome::Passed) << i << ": " << verdicts[i].message;
        const Verdict& last = verdicts.back();
        EXPECT_EQ(last.outcome, row.outcome) << last.message;
        EXPECT_NE(last.message.find(row.message), std::string::npos) << last.message;
    }
}

TEST(ScenarioMachine, SendThatDidNotGoFailsAndIsNoLastFrame)
{
    ScenarioMachine machine(Parse("panel", std::string("  - send: {hex: \"") + A + "\"}\n  - expect-ack\n"),
                            PEER);
    ASSERT_EQ(machine.Begin(T0), ScenarioMachine::Start::Send);
    machine.Sent(ECONNREFUSED, T0);
    const auto sent = machine.TakeVerdict();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->outcome, Outcome::Failed);
    EXPECT_NE(sent->message.find("not sent to 127.0.0.1:18015: "), std::string::npos) << sent->message;
    EXPECT_EQ(machine.Begin(T0), ScenarioMachine::Start::Judged);
    EXPECT_EQ(machine.TakeVerdict()->message, "no frame was sent before it");
    EXPECT_EQ(machine.Begin(T0), ScenarioMachine::Start::End);
}

TEST(ScenarioMachine, CentreAnswersTheNextFrameAsToldThenNormally)
{
    struct Row
    {
        const char* name;
        const char* answer; // the answer step's arguments
        Endpoint from;
        const char* note;                 // of the frame's record
        std::vector<std::string> replies; // the notes of its answers
        int delayMs;
        bool spoilt;
    };
    // clang-format off
    const Row rows[] = {
        {"normal", "{mode: normal}", PANEL, "", {""}, 0, false},
        {"withhold", "{mode: withhold}", PANEL, "answer withheld", {}, 0, false},
        {"twice", "{mode: twice}", PANEL, "", {"", "duplicate"}, 0, false},
        {"delay", "{delay: 300}", PANEL, "", {"delayed"}, 300, false},
        {"bad checksum", "{mode: bad-checksum}", PANEL, "", {"checksum spoilt"}, 0, true},
        {"hex, late", "{hex: ['08 00 01 00 00 00 82 74', '08 00 01 00 00 00 82 74'], delay: 20}", PANEL, "", {"answer given as hex", "answer given as hex"}, 20, true},
        {"a broadcast sender", "{mode: twice}", Endpoint{0xFFFFFFFF, 40000}, "", {}, 0, false},
        {"from port 0", "{mode: twice}", Endpoint{LOOPBACK_ADDRESS, 0}, "", {}, 0, false},
    };
    // clang-format on
    const Bytes frame = Hex(A);
    const Bytes ack = Hex(ACK);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScenarioMachine machine(
            Parse("centre", std::string("  - answer: ") + row.answer + "\n  - wait: {ms: 1000}\n"), PEER);
        ASSERT_EQ(machine.Begin(T0), ScenarioMachine::Start::Judged);
        EXPECT_EQ(machine.TakeVerdict()->outcome, Outcome::Passed);
        ASSERT_EQ(machine.Begin(T0), ScenarioMachine::Start::Wait);
        const ScenarioHearing hearing = machine.CentreHeard(row.from, frame, DecodeFrame(frame), T0);
        EXPECT_EQ(hearing.note, row.note);
        std::vector<std::string> notes;
        for (const ScenarioReply& reply : hearing.replies) {
            notes.emplace_back(reply.note);
            EXPECT_EQ(reply.delay, std::chrono::milliseconds(row.delayMs));
            EXPECT_EQ(std::ranges::equal(reply.bytes, ack), !row.spoilt);
            EXPECT_TRUE(std::ranges::equal(std::span(reply.bytes).first(7), std::span(ack).first(7)));
        }
        EXPECT_EQ(notes, row.replies);
        // The frame after the one the mode took is answered once; a frame not answered leaves the mode
        // (twice, in those rows) for the next.
        const ScenarioHearing next = machine.CentreHeard(PANEL, frame, DecodeFrame(frame), T0);
        const std::size_t expected = row.from == PANEL ? 1 : 2;
        ASSERT_EQ(next.replies.size(), expected);
    }
}

TEST(ScenarioMachine, ExpectFrameTakesTheFirstMatchAndLeavesLaterFramesForTheNext)
{
    ScenarioMachine machine(Parse("centre", "  - expect-frame: {command: status, dev: 2, id: second}\n"
                                            "  - expect-frame: {command: online, id: first}\n"
                                            "  - expect-frame: {command: status, id: none}\n"),
                            PEER);
    const Bytes online = Hex("08 00 01 00 00 00 01 0A");
    const Bytes status2 = Hex("0C 00 02 00 00 00 02 01 11 00 00 22");
    ASSERT_EQ(machine.Begin(T0), ScenarioMachine::Start::Wait);
    machine.CentreHeard(PANEL, online, DecodeFrame(online), T0 + 1ms);
    machine.Check(T0 + 1ms);
    EXPECT_FALSE(machine.TakeVerdict());
    machine.CentreHeard(PANEL, status2, DecodeFrame(status2), T0 + 3ms);
    machine.Check(T0 + 3ms);
    const auto second = machine.TakeVerdict();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->outcome, Outcome::Passed);
    EXPECT_EQ(second->message, "0C 00 02 00 00 00 02 01 11 00 00 22 from 127.0.0.1:40000 after 3.000 ms");
    // The online frame came before the one taken: judged with it, not left for the next step.
    ASSERT_EQ(machine.Begin(T0 + 4ms), ScenarioMachine::Start::Wait);
    machine.CentreHeard(PANEL, online, DecodeFrame(online), T0 + 5ms);
    machine.CentreHeard(PANEL, online, DecodeFrame(online), T0 + 6ms);
    machine.Check(T0 + 6ms);
    ASSERT_TRUE(machine.TakeVerdict());
    // One online frame is left, and is no status frame.
    ASSERT_EQ(machine.Begin(T0 + 7ms), ScenarioMachine::Start::Wait);
    machine.Expire(machine.Deadline());
    const auto none = machine.TakeVerdict();
    ASSERT_TRUE(none);
    EXPECT_EQ(none->outcome, Outcome::Failed);
    EXPECT_EQ(none->message, "expected a frame command 0x02 within 50 ms, got 1 other frame, the last "
                             "08 00 01 00 00 00 01 0A from 127.0.0.1:40000");
    EXPECT_DOUBLE_EQ(none->seconds, 0.05);
}

TEST(ScenarioMachine, ExpectNoFrameFailsOnTheFirstMatchAndPassesAtItsDeadline)
{
    struct Row
    {
        const char* name;
        const char* heard; // hex, or none
        Outcome outcome;
    };
    const Row rows[] = {
        {"nothing", nullptr, Outcome::Passed},
        {"a well-formed frame", A, Outcome::Passed},
        {"a malformed one", "0C 00 01 00 00 00 02 01 11 00 00 00", Outcome::Failed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScenarioMachine machine(Parse("centre", "  - expect-no-frame: {malformed: true}\n"), PEER);
        ASSERT_EQ(machine.Begin(T0), ScenarioMachine::Start::Wait);
        if (row.heard != nullptr) {
            const Bytes frame = Hex(row.heard);
            machine.CentreHeard(PANEL, frame, DecodeFrame(frame), T0 + 1ms);
            machine.Check(T0 + 1ms);
        }
        auto verdict = machine.TakeVerdict();
        if (!verdict) {
            machine.Expire(machine.Deadline());
            verdict = machine.TakeVerdict();
        }
        ASSERT_TRUE(verdict);
        EXPECT_EQ(verdict->outcome, row.outcome) << verdict->message;
    }
}

TEST(ScenarioMachine, HearGivesEachRolesNoteRoundTripAndAnswers)
{
    struct Row
    {
        const char* name;
        std::string role;
        std::vector<const char*> heard; // after frame A went, 2 ms apart; the last is judged
        std::string note;
        std::optional<std::int64_t> rttUs;
        std::size_t replies;
    };
    const Row rows[] = {
        {"panel: its acknowledgement", "panel", {ACK}, "", 2000, 0},
        {"panel: a spoilt checksum", "panel", {SPOILT_ACK}, "bad checksum, not taken", std::nullopt, 0},
        {"panel: another device's", "panel", {OTHER_ACK}, "", std::nullopt, 0},
        {"panel: a second copy of the answer", "panel", {ACK, ACK}, "", std::nullopt, 0},
        {"panel: a frame", "panel", {B}, "", std::nullopt, 0},
        {"centre: a frame is answered", "centre", {A}, "", std::nullopt, 1},
        {"centre: an acknowledgement is not", "centre", {ACK}, "", std::nullopt, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string steps = row.role == "panel" ? std::string("  - send: {hex: \"") + A + "\"}\n"
                                                      : std::string("  - wait: {ms: 1000}\n");
        ScenarioMachine machine(Parse(row.role, steps), PEER);
        if (machine.Begin(T0) == ScenarioMachine::Start::Send)
            machine.Sent(0, T0);
        ScenarioHearing hearing;
        MonoTime at = T0;
        for (const char* hex : row.heard) {
            at += 2ms;
            const Bytes bytes = Hex(hex);
            hearing = machine.Hear(row.role == "panel" ? PEER : PANEL, bytes, DecodeFrame(bytes), at);
        }
        EXPECT_EQ(hearing.note, row.note);
        EXPECT_EQ(hearing.rttUs, row.rttUs);
        EXPECT_EQ(hearing.replies.size(), row.replies);
    }
}
