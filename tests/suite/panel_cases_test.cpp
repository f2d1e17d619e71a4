#include "suite/panel_cases.h"

#include "protocol/hex.h"
#include "sim/event_builder.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

const Endpoint PANEL{LOOPBACK_ADDRESS, 40000};
const MonoTime START = MonoTime{} + 10s;

std::vector<std::uint8_t> Online(std::uint8_t comm, std::uint8_t device)
{
    const auto built = BuildEvent(0, DEFAULT_STATUS, comm, device, 1); // Frame() points into it
    const auto frame = std::get<BuiltEvent>(built).Frame();
    return {frame.begin(), frame.end()};
}

struct Heard
{
    std::vector<std::uint8_t> bytes;
    int atMs; // after the start
};

// The verdicts, by id, of a run that heard `frames` and ended `endMs` after its start.
std::map<std::string, Verdict> Judge(const PanelSettings& settings, const std::vector<Heard>& frames,
                                     int endMs)
{
    PanelRecording recording(settings.withhold, START);
    for (const Heard& frame : frames)
        recording.Heard(PANEL, frame.bytes, START + std::chrono::milliseconds(frame.atMs));
    recording.End(START + std::chrono::milliseconds(endMs));
    std::map<std::string, Verdict> verdicts;
    for (Verdict& verdict : JudgePanel(recording, settings))
        verdicts.emplace(verdict.id, std::move(verdict));
    return verdicts;
}

} // namespace

TEST(PanelCases, EveryIdInTheOrderOfTheVerdicts)
{
    std::vector<std::string_view> ids;
    for (const PanelCase& row : PanelCases()) {
        ids.push_back(row.id);
        EXPECT_FALSE(row.requirement.empty()) << row.id;
    }
    EXPECT_EQ(ids,
              (std::vector<std::string_view>{"well-formed", "retries", "heartbeat", "status-consistent"}));
}

TEST(PanelCases, WithoutFramesTheJudgedCasesFailAndTheOthersSayWhatTheyNeed)
{
    struct Row
    {
        const char* name;
        PanelSettings settings;
        std::map<std::string, std::string> messages; // id to message
    };
    // clang-format off
    const Row rows[] = {
        {"defaults", {}, {{"well-formed", "no frame received"}, {"retries", "needs --withhold"}, {"heartbeat", "needs --heartbeat"}, {"status-consistent", "no frame received"}}},
        {"withhold and heartbeat", {.withhold = 1, .heartbeatS = 1}, {{"well-formed", "no frame received"}, {"retries", "no frame received"}, {"heartbeat", "no frame received"}, {"status-consistent", "no frame received"}}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const auto& [id, verdict] : Judge(row.settings, {}, 1000)) {
            EXPECT_EQ(verdict.message, row.messages.at(id)) << id;
            EXPECT_EQ(verdict.outcome,
                      verdict.message == "no frame received" ? Outcome::Failed : Outcome::Skipped)
                << id;
            EXPECT_DOUBLE_EQ(verdict.seconds, 1.0);
        }
    }
}

// Retries within the window and no more than allowed; a heartbeat that misses a device late or silent
// before the end; well-formed and status-consistent naming the frame.
TEST(PanelCases, EachJudgedCaseNamesWhatItHeardWrong)
{
    struct Row
    {
        const char* name;
        PanelSettings settings;
        std::vector<Heard> frames;
        int endMs;
        const char* id;
        Outcome outcome;
        const char* message; // found in the verdict's message
    };
    const auto retries = [](int withhold, int retries) {
        return PanelSettings{.withhold = withhold, .retryMinMs = 100, .retryMaxMs = 1500, .retries = retries};
    };
    const auto copies = [](std::initializer_list<int> atMs) { // of one frame
        std::vector<Heard> frames;
        for (int at : atMs)
            frames.push_back({Online(0, 1), at});
        return frames;
    };
    const auto hex = [](const char* text, int atMs) { return Heard{ParseHexBytes(text).value(), atMs}; };
    const PanelSettings heartbeat{.heartbeatS = 1};
    const char* const status = known::STATUS_HEX;
    // clang-format off
    const Row rows[] = {
        {"answered at once", retries(1, 3), copies({0, 200}), 5000, "retries", Outcome::Passed, "at most 3 times"},
        {"exactly --retries copies after the first", retries(2, 2), copies({0, 200, 400}), 5000, "retries", Outcome::Passed, "within 100-1500 ms"},
        {"one copy more than --retries", retries(3, 2), copies({0, 200, 400, 600}), 5000, "retries", Outcome::Failed, "sent at most 3 times, got 4 copies"},
        {"copy too soon", retries(1, 3), copies({0, 50}), 5000, "retries", Outcome::Failed, "got it after 50.0 ms"},
        {"copy too late", retries(1, 3), copies({0, 1600}), 5000, "retries", Outcome::Failed, "got it after 1600.0 ms"},
        {"never again", retries(1, 3), copies({0}), 5000, "retries", Outcome::Failed, "got none"},
        {"not again before the end", retries(1, 3), copies({4000}), 5000, "retries", Outcome::Failed, "got none before the run ended 1000.0 ms later"},
        {"again after its answer", retries(1, 3), copies({0, 200, 400}), 5000, "retries", Outcome::Failed,
         "expected no copy of 08 00 01 00 00 00 01 0A after its acknowledgement at +0.200 s, got one 200.0 ms later"},
        {"both keep sending", heartbeat, {{Online(0, 1), 0}, {Online(0, 2), 100}, {Online(0, 1), 900}, {Online(0, 2), 1000}, {Online(0, 1), 1800}, {Online(0, 2), 1900}}, 2000, "heartbeat", Outcome::Passed, "every device sent again within 1 s"},
        {"one falls silent before the end", heartbeat, {{Online(0, 1), 0}, {Online(0, 2), 100}, {Online(0, 1), 900}, {Online(0, 1), 1800}}, 2000, "heartbeat", Outcome::Failed,
         "expected comm 0 dev 2 again within 1 s of +0.100 s, got nothing until the end after 1.900 s"},
        {"a gap between two frames", heartbeat, {{Online(0, 1), 0}, {Online(0, 1), 1500}, {Online(0, 1), 2000}}, 2100, "heartbeat", Outcome::Failed,
         "expected comm 0 dev 1 again within 1 s of +0.000 s, got a frame after 1.500 s"},
        {"well formed", {}, {hex(status, 0)}, 1000, "well-formed", Outcome::Passed, "1 frames well formed"},
        {"wrong checksum", {}, {hex(status, 0), hex("08 00 01 00 00 00 01 0B", 100)}, 1000, "well-formed", Outcome::Failed,
         "frame at +0.100 s from 127.0.0.1:40000 (08 00 01 00 00 00 01 0B): checksum 0x0A expected"},
        {"one status only", {}, {hex(status, 0)}, 1000, "status-consistent", Outcome::Skipped, "no device sent two status frames"},
        {"one event at a time", {}, {hex("0C 00 01 00 00 00 02 00 11 00 00 20", 0), hex(status, 100)}, 1000, "status-consistent", Outcome::Passed,
         "every status change is one event of the catalogue"},
        {"two zones at once", {}, {hex(status, 0), hex("0C 00 01 00 00 00 02 06 11 00 00 26", 100)}, 1000, "status-consistent", Outcome::Failed,
         "expected comm 0 dev 1 to change by one event from 01 11 00 00, got 06 11 00 00 at +0.100 s (3 events: zone-alarm zone 2, zone-alarm zone 3, zone-alarm-restore zone 1)"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto verdicts = Judge(row.settings, row.frames, row.endMs);
        const Verdict& verdict = verdicts.at(row.id);
        EXPECT_EQ(verdict.outcome, row.outcome) << verdict.message;
        EXPECT_NE(verdict.message.find(row.message), std::string::npos) << verdict.message;
        // Every frame here but the wrong checksum's is well formed.
        if (std::string_view(row.id) != "well-formed") {
            EXPECT_EQ(verdicts.at("well-formed").outcome, Outcome::Passed);
        }
    }
}

TEST(PanelRecording, AnswersWhatTheCentreRuleAnswersButTheWithheldCopies)
{
    struct Row
    {
        const char* name;
        Endpoint from;
        std::vector<std::uint8_t> bytes;
        int withhold;
        std::vector<bool> answered; // of three copies in a row
    };
    const auto ack = std::get<AckFrame>(AcknowledgementFor(Online(0, 1)));
    // clang-format off
    const Row rows[] = {
        {"every copy", PANEL, Online(0, 1), 0, {true, true, true}},
        {"the first two withheld", PANEL, Online(0, 1), 2, {false, false, true}},
        {"an acknowledgement", PANEL, {ack.begin(), ack.end()}, 0, {false, false, false}},
        {"from port 0", Endpoint{LOOPBACK_ADDRESS, 0}, Online(0, 1), 0, {false, false, false}},
        {"from the broadcast address", Endpoint{0xFFFFFFFF, 40000}, Online(0, 1), 0, {false, false, false}},
        {"from a directed broadcast", Endpoint{Ipv4(192, 0, 2, 255), 40000}, Online(0, 1), 0, {false, false, false}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PanelRecording recording(row.withhold, START, {Ipv4(192, 0, 2, 255)});
        std::vector<bool> answered;
        for (int i = 0; i < 3; ++i) {
            const auto answer = recording.Heard(row.from, row.bytes, START);
            answered.push_back(answer.has_value());
            if (answer) {
                EXPECT_EQ(*answer, ack);
            }
        }
        EXPECT_EQ(answered, row.answered);
        EXPECT_EQ(recording.Frames().size(), 3U);
    }
}

TEST(ParseRetryWithin, MinToMaxInMilliseconds)
{
    struct Row
    {
        const char* text;
        int low; // -1: refused
        int high;
    };
    const Row rows[] = {
        {"1-5000", 1, 5000}, {"0-0", 0, 0},   {"5-1", -1, 0},       {"5", -1, 0},
        {"a-5", -1, 0},      {"1-5x", -1, 0}, {"1-3600001", -1, 0}, {"-1-5", -1, 0},
    };
    for (const Row& row : rows) {
        const auto window = ParseRetryWithin(row.text);
        if (row.low < 0) {
            ASSERT_FALSE(window) << row.text;
            EXPECT_EQ(window.error(), std::string("--retry-within ") + row.text +
                                          ": MIN-MAX in milliseconds, MIN not above MAX");
        } else {
            ASSERT_TRUE(window) << row.text;
            EXPECT_EQ(*window, std::pair(row.low, row.high)) << row.text;
        }
    }
}
