#include "link/ack_tracker.h"
#include "link/line_output.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::AckTracker;
using Counter = std::uint64_t AckTracker::Counts::*;

const Endpoint PEER{LOOPBACK_ADDRESS, 8015};
const Endpoint LOCAL{LOOPBACK_ADDRESS, 40000};
using known::STATUS;
using known::STATUS_ACK;
const std::vector<std::uint8_t> SPOILT_ACK = Bytes("08 00 01 00 00 00 82 74");
const std::vector<std::uint8_t> OTHER_DEVICE_ACK = Bytes("08 00 02 00 00 00 82 8C");
const MonoTime T0{std::chrono::seconds(100)};

FrameRecord Arrival(const std::vector<std::uint8_t>& bytes)
{
    return MakeRecord(0, Direction::In, PEER, LOCAL, bytes);
}

TEST(AckTracker, EachArrivalIsCountedAndNotedByWhatItAnswers)
{
    AckTracker tracker({64, {}});
    tracker.Track(PEER, STATUS, 1, T0);
    struct Case
    {
        const char* name;
        std::vector<std::uint8_t> datagram;
        const char* note;
        std::optional<std::int64_t> rttUs;
        Counter counted;
    };
    // clang-format off
    const Case cases[] = {
        {"the frame echoed back",      STATUS,           "",                        std::nullopt, &AckTracker::Counts::unexpected},
        {"checksum spoilt, not taken", SPOILT_ACK,       "bad checksum, not taken", std::nullopt, &AckTracker::Counts::badAcks},
        {"the answer, timed",          STATUS_ACK,       "",                        7000,         &AckTracker::Counts::acknowledged},
        {"a repeat",                   STATUS_ACK,       "no frame waiting",        std::nullopt, &AckTracker::Counts::noFrameWaiting},
        {"another device's",           OTHER_DEVICE_ACK, "no frame waiting",        std::nullopt, &AckTracker::Counts::noFrameWaiting},
    };
    // clang-format on
    std::uint64_t received = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AckTracker::Counts before = tracker.Totals();
        FrameRecord record = Arrival(c.datagram);
        tracker.Received(record, T0 + 7ms);
        EXPECT_EQ(record.note, c.note);
        EXPECT_EQ(record.rttUs, c.rttUs);
        EXPECT_EQ(tracker.Totals().*c.counted, before.*c.counted + 1);
        EXPECT_EQ(tracker.Totals().received, ++received);
    }
    EXPECT_EQ(tracker.Trips().Count(), 1U);
    EXPECT_EQ(tracker.Trips().Max(), 7000);
    EXPECT_EQ(tracker.Waiting(), 0U);
}

TEST(AckTracker, WithoutPairingArrivalsAreOnlyCounted)
{
    AckTracker tracker({64, {}}, false);
    EXPECT_EQ(tracker.Track(PEER, STATUS, 1, T0), 0U);
    EXPECT_EQ(tracker.Waiting(), 0U);
    for (const auto& datagram : {STATUS_ACK, STATUS, SPOILT_ACK}) {
        FrameRecord record = Arrival(datagram);
        tracker.Received(record, T0 + 1ms);
        EXPECT_TRUE(record.note.empty());
        EXPECT_FALSE(record.rttUs);
    }
    const AckTracker::Counts& counts = tracker.Totals();
    EXPECT_EQ(counts.received, 3U);
    EXPECT_EQ(counts.acknowledged + counts.noFrameWaiting + counts.badAcks + counts.unexpected, 0U);
}

TEST(AckTracker, AnAcknowledgementTakesOnlyAFrameOfItsOwnLane)
{
    AckTracker tracker({64, {}});
    tracker.Track(PEER, STATUS, 10, T0, 0);
    tracker.Track(PEER, STATUS, 20, T0 + 1ms, 1);
    const AckMatcher::Ticket forgotten = tracker.Track(PEER, STATUS, 30, T0 + 2ms, 2);
    EXPECT_EQ(tracker.Waiting(), 3U);
    EXPECT_TRUE(tracker.Forget(forgotten, 2));
    struct Case
    {
        const char* name;
        std::size_t lane;
        AckMatcher::Outcome outcome;
        std::uint64_t id;
    };
    // clang-format off
    const Case cases[] = {
        {"the second lane's frame",      1, AckMatcher::Outcome::Answered,  20},
        {"the first lane's frame",       0, AckMatcher::Outcome::Answered,  10},
        {"a lane whose frame was given up", 2, AckMatcher::Outcome::Late,   30},
        {"a lane that sent nothing",     3, AckMatcher::Outcome::Unmatched, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameRecord record = Arrival(STATUS_ACK);
        const AckMatcher::Match match = tracker.Received(record, T0 + 5ms, c.lane);
        EXPECT_EQ(match.outcome, c.outcome);
        EXPECT_EQ(match.id, c.id);
    }
    EXPECT_EQ(tracker.Waiting(), 0U);
    EXPECT_EQ(tracker.Lost(), 0U) << "a frame forgotten is not lost";
}

TEST(AckTracker, FramesGivenUpOrPushedOutAreLostAndTheSummaryTellsIt)
{
    AckTracker tracker({2, 100ms});
    tracker.Handed(3, 1);
    tracker.Track(PEER, STATUS, 1, T0);
    tracker.Track(PEER, Bytes("0C 00 02 00 00 00 02 01 11 00 00 22"), 2, T0 + 10ms);
    tracker.Track(PEER, Bytes("0C 00 03 00 00 00 02 01 11 00 00 23"), 3, T0 + 50ms); // pushes the first out
    EXPECT_EQ(tracker.Expire(T0 + 109ms), 0U);
    EXPECT_EQ(tracker.Expire(T0 + 110ms), 1U);
    EXPECT_EQ(tracker.Lost(), 2U);
    FrameRecord record = Arrival(SPOILT_ACK);
    tracker.Received(record, T0 + 120ms);

    std::string line;
    AppendSummary(line, veltrano::OutputFormat::Text, "x", veltrano::PairingFields(tracker));
    EXPECT_EQ(line,
              "summary: x acknowledged=0 lost=2 outstanding=1 no_frame_waiting=1 bad_acks=0 unexpected=0 "
              "rtt_p50_us=0 rtt_p90_us=0 rtt_p99_us=0 rtt_max_us=0\n");
    EXPECT_EQ(tracker.Totals().sent, 3U);
    EXPECT_EQ(tracker.Totals().sendFailed, 1U);
}

TEST(AckTracker, ASendingSummaryNamesThePairingOnlyWhenItPairs)
{
    struct Case
    {
        const char* name;
        bool pairing;
        std::string line;
    };
    // clang-format off
    const Case cases[] = {
        {"paired",   true,  "summary: x sent=5 received=1 acknowledged=1 lost=0 outstanding=4 no_frame_waiting=0 bad_acks=0 unexpected=0 "
                            "rtt_p50_us=2000 rtt_p90_us=2000 rtt_p99_us=2000 rtt_max_us=2000 send_failed=1 send_seconds=2 send_rate=2\n"},
        {"unpaired", false, "summary: x sent=5 received=1 send_failed=1 send_seconds=2 send_rate=2\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AckTracker tracker({64, {}}, c.pairing);
        tracker.Handed(5, 1);
        for (std::uint8_t dev = 1; dev <= 5; ++dev) {
            auto frame = STATUS;
            frame[2] = dev;
            tracker.Track(PEER, frame, dev, T0);
        }
        FrameRecord record = Arrival(STATUS_ACK);
        tracker.Received(record, T0 + 2ms);
        std::string line;
        AppendSummary(line, veltrano::OutputFormat::Text, "x", veltrano::SendingFields(tracker, 2.0));
        EXPECT_EQ(line, c.line);
    }
}

TEST(SendRate, FramesSpanOneIntervalFewerThanTheyAre)
{
    struct Case
    {
        const char* name;
        std::uint64_t sent;
        double seconds;
        double rate;
    };
    // clang-format off
    const Case cases[] = {
        {"nothing sent",      0, 1.0,  0},
        {"one frame, no span", 1, 0.0, 0},
        {"two frames at once", 2, 0.0, 0},
        {"eleven in two s",  11, 2.0,  5},
        {"a thousand in 1 s", 1001, 1.0, 1000},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(veltrano::SendRate(c.sent, c.seconds), c.rate) << c.name;
}

} // namespace
