#include "capture/replayed_frames.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::FrameVerdict;
using veltrano::ReplayedFrames;

// Addresses as captured, from the documentation ranges: only ever read, never sent to.
const Endpoint CENTRE{LOOPBACK_ADDRESS, 7015};
const Endpoint LOCAL{LOOPBACK_ADDRESS, 40000};
const Endpoint PANEL_A{Ipv4(192, 0, 2, 1), 40001};
const Endpoint PANEL_B{Ipv4(192, 0, 2, 2), 40001};
using known::STATUS;
using known::STATUS_ACK;
const std::vector<std::uint8_t> SPOILT_ACK = Bytes("08 00 01 00 00 00 82 74");
const MonoTime T0{std::chrono::seconds(100)};
constexpr std::chrono::milliseconds TIMEOUT{200};

CapturedFrame Frame(std::uint64_t number, std::optional<std::vector<std::uint8_t>> answer = std::nullopt,
                    std::size_t sender = 0, const Endpoint& source = PANEL_A)
{
    CapturedFrame frame;
    frame.number = number;
    frame.timeNs = static_cast<std::int64_t>(number) * 1000;
    frame.source = source;
    frame.sender = sender;
    std::copy(STATUS.begin(), STATUS.end(), frame.storage.begin());
    frame.size = STATUS.size();
    if (answer) {
        AckFrame ack{};
        std::copy(answer->begin(), answer->end(), ack.begin());
        frame.answer = ack;
    }
    return frame;
}

// What the replay's lines would show of each frame judged: "<number> <send error> key=value...".
struct Lines
{
    std::vector<std::string> shown;
    ReplayedFrames::OnJudged Collect()
    {
        return [this](const ReplayedFrames::Judged& judged) {
            std::string line = std::to_string(judged.frame.number) + " " + std::to_string(judged.sendError);
            for (const RecordField& field : judged.fields)
                AppendFieldText(line, field);
            shown.push_back(line);
        };
    }
};

ReplayedFrames::Limits Limits(bool expectSame = false)
{
    return {CENTRE, TIMEOUT, 64, expectSame, 10};
}

// The answer to the frame: its record noted, then the frame judged by it.
std::string Arrive(ReplayedFrames& frames, const std::vector<std::uint8_t>& bytes, MonoTime at,
                   std::size_t lane = 0)
{
    FrameRecord record = MakeRecord(0, Direction::In, CENTRE, LOCAL, bytes);
    if (const auto id = frames.Received(lane, record, at))
        frames.Answer(*id, bytes, at);
    return std::string(record.note);
}

// Each frame is judged by what came back for it; a replay fails on missing or broken answers, and on
// differences when the same answers are expected.
TEST(ReplayedFrames, EachFrameIsJudgedByWhatCameBackForIt)
{
    struct Case
    {
        const char* name;
        std::optional<std::vector<std::uint8_t>> captured;
        bool handed;
        int sendError;
        std::optional<std::vector<std::uint8_t>> live;
        std::string note; // of the answer's line
        std::string line;
        bool expectSame;
        bool failed; // the replay
    };
    const std::string ack = " captured_answer=08 00 01 00 00 00 82 8B";
    const std::string spoilt = " captured_answer=08 00 01 00 00 00 82 74";
    const std::string live = " live_answer=08 00 01 00 00 00 82 8B";
    const std::string liveSpoilt = " live_answer=08 00 01 00 00 00 82 74";
    // clang-format off
    const Case cases[] = {
        {"answered as captured",        STATUS_ACK,   true,  0,       STATUS_ACK,   "",             "7 0 verdict=same capture_frame=7" + ack + live, false, false},
        {"the capture had a spoilt one", SPOILT_ACK,  true,  0,       STATUS_ACK,   "",             "7 0 verdict=differs capture_frame=7" + spoilt + live, false, false},
        {"differs, the same expected",  SPOILT_ACK,   true,  0,       STATUS_ACK,   "",             "7 0 verdict=differs capture_frame=7" + spoilt + live, true, true},
        {"nothing captured",            std::nullopt, true,  0,       STATUS_ACK,   "",             "7 0 verdict=no_captured_answer capture_frame=7" + live, false, false},
        {"nothing captured, the same expected", std::nullopt, true, 0, STATUS_ACK,  "",             "7 0 verdict=no_captured_answer capture_frame=7" + live, true, false},
        {"nothing captured, a spoilt live answer", std::nullopt, true, 0, SPOILT_ACK, "bad checksum", "7 0 verdict=rule_broken capture_frame=7" + liveSpoilt, false, true},
        {"a spoilt live answer",        STATUS_ACK,   true,  0,       SPOILT_ACK,   "bad checksum", "7 0 verdict=rule_broken capture_frame=7" + ack + liveSpoilt, false, true},
        {"no answer in time",           STATUS_ACK,   true,  0,       std::nullopt, "",             "7 0 verdict=missing capture_frame=7" + ack, false, true},
        {"refused by the system",       STATUS_ACK,   false, ENOBUFS, std::nullopt, "",             "7 " + std::to_string(ENOBUFS) + " verdict=missing capture_frame=7" + ack, false, true},
        {"refused, no reason given",    std::nullopt, false, 0,       std::nullopt, "",             "7 " + std::to_string(EAGAIN) + " verdict=missing capture_frame=7", false, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Lines lines;
        ReplayedFrames frames(Limits(c.expectSame), lines.Collect());
        frames.Add(Frame(7, c.captured));
        frames.Sent(1, c.handed ? 1 : 0, c.sendError, T0, 0);
        if (c.live) {
            EXPECT_EQ(Arrive(frames, *c.live, T0 + 1ms), c.note);
        }
        frames.Expire(T0 + TIMEOUT - 1ms);
        if (!c.live && c.handed) {
            EXPECT_TRUE(lines.shown.empty()) << "judged before its timeout";
        }
        frames.Expire(T0 + TIMEOUT);
        ASSERT_EQ(lines.shown.size(), 1U);
        EXPECT_EQ(lines.shown[0], c.line);
        EXPECT_TRUE(frames.AllJudged());
        EXPECT_EQ(frames.Frames(), 1U);
        EXPECT_EQ(frames.Refused(), c.handed ? 0U : 1U);
        EXPECT_EQ(frames.Answered(), c.live ? 1U : 0U);
        EXPECT_EQ(frames.Failed(), c.failed);
    }
}

TEST(ReplayedFrames, ASpoiltAnswerJudgesOneFrameAndTheNextWaitsForTheNextAnswer)
{
    Lines lines;
    ReplayedFrames frames(Limits(), lines.Collect());
    frames.Add(Frame(1, STATUS_ACK));
    frames.Add(Frame(2, STATUS_ACK));
    frames.Sent(2, 2, 0, T0, 0);
    struct Case
    {
        const char* name;
        std::vector<std::uint8_t> datagram;
        std::string note;
        std::size_t judged;
    };
    // clang-format off
    const Case cases[] = {
        {"the first frame, against the rule", SPOILT_ACK, "bad checksum",                  1},
        {"the second, answered",              STATUS_ACK, "",                              2},
        {"a repeat judges nothing",           STATUS_ACK, "no frame waiting",              2},
        {"nor does a spoilt repeat",          SPOILT_ACK, "bad checksum, no frame waiting", 2},
        {"nor an echo",                       STATUS,     "",                              2},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Arrive(frames, c.datagram, T0 + 2ms), c.note);
        EXPECT_EQ(lines.shown.size(), c.judged);
    }
    EXPECT_EQ(frames.Count(FrameVerdict::RuleBroken), 1U);
    EXPECT_EQ(frames.Count(FrameVerdict::Same), 1U);
    EXPECT_EQ(frames.Trips().Count(), 1U);
    EXPECT_EQ(frames.Trips().Max(), 2000);
}

TEST(ReplayedFrames, LanesPairApartAndTimeoutsFollowTheOrderSent)
{
    Lines lines;
    ReplayedFrames frames(Limits(), lines.Collect());
    frames.Add(Frame(1, STATUS_ACK, 0, PANEL_A));
    frames.Sent(1, 1, 0, T0, 0);
    frames.Add(Frame(2, STATUS_ACK, 1, PANEL_B));
    frames.Sent(1, 1, 0, T0 + 50ms, 0);
    EXPECT_EQ(frames.Outstanding(), 2U);
    // Lane 1's answer is the second frame's, though the first waits longer for the same key.
    Arrive(frames, STATUS_ACK, T0 + 60ms, 1);
    ASSERT_EQ(lines.shown.size(), 1U);
    EXPECT_EQ(lines.shown[0].substr(0, 2), "2 ");
    EXPECT_FALSE(frames.AllJudged());
    frames.Expire(T0 + TIMEOUT);
    ASSERT_EQ(lines.shown.size(), 2U);
    EXPECT_EQ(lines.shown[1].substr(0, 2), "1 ");
    EXPECT_TRUE(frames.AllJudged());
    EXPECT_EQ(frames.Outstanding(), 0U);
    EXPECT_EQ(frames.LastSentTimeNs(), 2000);
    // The tally keeps the sources apart.
    EXPECT_EQ(frames.Tally().Sources().at(PANEL_A).failed, 1U);
    EXPECT_EQ(frames.Tally().Sources().at(PANEL_B).failed, 0U);
    // Late, the first frame's answer judges nothing.
    EXPECT_EQ(Arrive(frames, STATUS_ACK, T0 + TIMEOUT + 1ms, 0), "no frame waiting");
    EXPECT_EQ(lines.shown.size(), 2U);
}

TEST(ReplayedFrames, HeldVerdictsCountAtOnceAndComeOutInOrderWithTheirOwnAnswers)
{
    Lines lines;
    ReplayedFrames frames(Limits(), lines.Collect());
    for (std::uint64_t number = 1; number <= 3; ++number) {
        frames.Add(Frame(number, STATUS_ACK, number - 1));
        frames.Sent(1, 1, 0, T0, 0);
    }
    const std::vector<std::uint8_t> spoilt = Bytes("08 00 01 00 00 00 82 8C");
    frames.Hold();
    Arrive(frames, STATUS_ACK, T0 + 1ms, 1);
    Arrive(frames, spoilt, T0 + 1ms, 2);
    // Judged already, so the window has room for the next frames, but nothing shown yet.
    EXPECT_EQ(frames.Outstanding(), 1U);
    EXPECT_EQ(frames.Held(), 2U);
    EXPECT_TRUE(lines.shown.empty());
    // A frame added and refused meanwhile is held behind them.
    frames.Add(Frame(4, STATUS_ACK, 0));
    frames.Sent(1, 0, EAGAIN, T0 + 2ms, 0);
    frames.Release(1);
    ASSERT_EQ(lines.shown.size(), 1U);
    EXPECT_EQ(lines.shown[0], "2 0 verdict=same capture_frame=2 captured_answer=08 00 01 00 00 00 82 8B "
                              "live_answer=08 00 01 00 00 00 82 8B");
    frames.ReleaseAll();
    ASSERT_EQ(lines.shown.size(), 3U);
    EXPECT_EQ(lines.shown[1],
              "3 0 verdict=rule_broken capture_frame=3 captured_answer=08 00 01 00 00 00 82 8B "
              "live_answer=08 00 01 00 00 00 82 8C");
    EXPECT_EQ(lines.shown[2].substr(0, 4), "4 11");
    // No longer held: the first frame's timeout shows at once, and every frame is done with.
    frames.Expire(T0 + TIMEOUT);
    ASSERT_EQ(lines.shown.size(), 4U);
    EXPECT_EQ(lines.shown[3].substr(0, 2), "1 ");
    EXPECT_TRUE(frames.AllJudged());
}

TEST(ReplayedFrames, OneExpiryJudgesEveryFrameThatWaitedPastAnAnsweredOne)
{
    Lines lines;
    ReplayedFrames frames(Limits(), lines.Collect());
    for (std::uint64_t number = 1; number <= 4; ++number) {
        frames.Add(Frame(number, STATUS_ACK, number - 1));
        frames.Sent(1, 1, 0, T0, 0);
    }
    Arrive(frames, STATUS_ACK, T0 + 1ms, 1);
    Arrive(frames, STATUS_ACK, T0 + 1ms, 2);
    frames.Expire(T0 + TIMEOUT);
    ASSERT_EQ(lines.shown.size(), 4U);
    EXPECT_EQ(lines.shown[2].substr(0, 2), "1 ");
    EXPECT_EQ(lines.shown[3].substr(0, 2), "4 ");
    EXPECT_TRUE(frames.AllJudged());
}

} // namespace
