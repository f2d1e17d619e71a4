#include "suite/scenario.h"

#include "protocol/hex.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <string>

using namespace veltrano;

TEST(ParseScenario, PanelStepsUnrolledWithIdsAndEventsCarryingStatus)
{
    const auto scenario = ParseScenario(R"(
name: acks
role: panel
vars: {peer: "127.0.0.1:8015", wait: 20}
peer: ${peer}
timeout: 700
steps:
  - send: {event: zone-alarm, comm: 0, dev: 1, zone: 1}
  - expect-ack
  - repeat:
      times: 2
      steps:
        - send: {event: tamper, comm: 0, dev: 1, id: tamper}
        - expect-no-ack: {within: 50}
  - wait: ${wait}
)",
                                        "a.yaml", {{"peer", "localhost:9000"}});
    ASSERT_TRUE(scenario.has_value()) << scenario.error();
    EXPECT_EQ(scenario->peer, "localhost:9000");
    EXPECT_EQ(scenario->peerAt.line, 5);
    struct Row
    {
        const char* id;
        StepKind kind;
        int withinMs;
        const char* hex;
    };
    const Row rows[] = {
        {"1-send", StepKind::Send, 700, known::STATUS_HEX},
        {"2-expect-ack", StepKind::ExpectAck, 700, ""},
        // The second tamper carries the alarm and tamper of the first: the status carries over.
        {"tamper#3.1.1", StepKind::Send, 700, "0C 00 01 00 00 00 02 01 15 00 00 25"},
        {"3.1.2-expect-no-ack", StepKind::ExpectNoAck, 50, ""},
        {"tamper#3.2.1", StepKind::Send, 700, "0C 00 01 00 00 00 02 01 15 00 00 25"},
        {"3.2.2-expect-no-ack", StepKind::ExpectNoAck, 50, ""},
        {"4-wait", StepKind::Wait, 20, ""},
    };
    ASSERT_EQ(scenario->steps.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const ScenarioStep& step = scenario->steps[i];
        EXPECT_EQ(step.id, rows[i].id);
        EXPECT_EQ(step.kind, rows[i].kind) << rows[i].id;
        EXPECT_EQ(step.within.count(), rows[i].withinMs) << rows[i].id;
        EXPECT_EQ(FormatBytesHex(step.bytes), rows[i].hex) << rows[i].id;
    }
}

TEST(ParseScenario, CentreMatchAndAnswers)
{
    const auto scenario = ParseScenario(R"(
role: centre
port: 18020
steps:
  - answer: withhold
  - answer: {delay: 30}
  - expect-frame: {command: status, comm: 0, dev: 1, alarm: [1, 3], flags: [disarmed, mains_absent]}
)",
                                        "c.yaml");
    ASSERT_TRUE(scenario.has_value()) << scenario.error();
    EXPECT_EQ(scenario->port, 18020);
    ASSERT_EQ(scenario->steps.size(), 3U);
    EXPECT_EQ(scenario->steps[0].answer, AnswerMode::Withhold);
    EXPECT_EQ(scenario->steps[1].answer, AnswerMode::Delay);
    EXPECT_EQ(scenario->steps[1].delay.count(), 30);
    const FrameMatch& match = scenario->steps[2].match;
    EXPECT_EQ(scenario->steps[2].what, "a frame command 0x02 comm 0 dev 1 alarm 0x05 flags 0x11");
    EXPECT_TRUE(match.Matches(DecodeFrame(ParseHexBytes("0C 00 01 00 00 00 02 05 11 00 00 25").value())));
    EXPECT_FALSE(match.Matches(DecodeFrame(known::STATUS)));
}

TEST(ParseScenario, RefusedWithPlaceAndReason)
{
    struct Row
    {
        const char* name;
        const char* text;
        const char* error;
    };
    // clang-format off
    const Row rows[] = {
        {"not yaml", "role: [panel", "f.yaml:1:1: end of sequence flow not found"},
        {"not a mapping", "- a", "f.yaml:1:1: a scenario is a mapping with role and steps"},
        {"unknown top key", "role: panel\npeer: a:1\nsteps: [wait: 1]\ncolour: red", "f.yaml:4:1: unknown key \"colour\" in a scenario"},
        {"unknown role", "role: judge\nsteps: [wait: 1]", "f.yaml:1:7: role must be panel or centre"},
        {"no steps", "role: panel\npeer: a:1", "f.yaml:1:1: steps missing"},
        {"unknown step", "role: panel\npeer: a:1\nsteps:\n  - jump: 1", "f.yaml:4:5: unknown step \"jump\""},
        {"unknown step key", "role: panel\npeer: a:1\nsteps:\n  - send: {hex: '08', colour: 1}", "f.yaml:4:23: unknown key \"colour\" in send"},
        {"step of the other role", "role: centre\nport: 1\nsteps:\n  - send: {hex: '08'}", "f.yaml:4:5: send is a step of the panel role"},
        {"unknown event", "role: panel\npeer: a:1\nsteps:\n  - send: {event: boom, comm: 0, dev: 1}", "f.yaml:4:19: unknown event \"boom\""},
        {"zone needed", "role: panel\npeer: a:1\nsteps:\n  - send: {event: zone-alarm, comm: 0, dev: 1}", "f.yaml:4:11: event zone-alarm needs a zone from 1 to 8"},
        {"device out of range", "role: panel\npeer: a:1\nsteps:\n  - send: {event: 0, comm: 0, dev: 240}", "f.yaml:4:36: dev must be a whole number from 0 to 239"},
        {"bad hex", "role: panel\npeer: a:1\nsteps:\n  - send: {hex: 'zz'}", "f.yaml:4:17: hex:"},
        {"bad time", "role: panel\npeer: a:1\nsteps:\n  - expect-ack: {within: soon}", "f.yaml:4:26: within (ms) must be a whole number"},
        {"unknown answer", "role: centre\nport: 1\nsteps:\n  - answer: maybe", "f.yaml:4:13: unknown answer"},
        {"hex and a mode", "role: centre\nport: 1\nsteps:\n  - answer: {hex: '08', mode: twice}", "f.yaml:4:13: answer takes either hex or a mode"},
        {"bad answer hex", "role: centre\nport: 1\nsteps:\n  - answer: {hex: ['08', 'zz']}", "f.yaml:4:26: hex:"},
        {"malformed not a bool", "role: centre\nport: 1\nsteps:\n  - expect-no-frame: {malformed: 2}", "f.yaml:4:34: malformed takes true or false"},
        {"unknown flag", "role: centre\nport: 1\nsteps:\n  - expect-frame: {flags: [loud]}", "f.yaml:4:28: unknown device flag"},
        {"undeclared variable", "role: panel\npeer: ${peer}\nsteps: [wait: 1]", "f.yaml:2:7: peer: no variable \"peer\" declared"},
        {"duplicate id", "role: panel\npeer: a:1\nsteps:\n  - wait: {ms: 1, id: x}\n  - wait: {ms: 1, id: x}", "f.yaml:5:23: id \"x\" used twice"},
        {"repeats without end", "role: panel\npeer: a:1\nsteps:\n  - repeat: {times: 10000, steps: [{repeat: {times: 10000, steps: [wait: 0]}}]}", "more than 100000 steps"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto scenario = ParseScenario(row.text, "f.yaml");
        ASSERT_FALSE(scenario.has_value());
        EXPECT_NE(scenario.error().find(row.error), std::string::npos) << scenario.error();
    }
    const auto undeclared = ParseScenario("role: panel\npeer: a:1\nsteps: [wait: 1]", "f.yaml", {{"x", "1"}});
    ASSERT_FALSE(undeclared.has_value());
    EXPECT_EQ(undeclared.error(), "f.yaml:1:1: --var x: the file declares no such variable");
}
