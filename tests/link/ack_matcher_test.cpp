#include "link/ack_matcher.h"
#include "link/round_trips.h"
#include "protocol/acknowledgement.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <variant>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using Outcome = AckMatcher::Outcome;

const Endpoint PEER{LOOPBACK_ADDRESS, 8015};
const Endpoint OTHER_PEER{LOOPBACK_ADDRESS, 8016};
using known::STATUS;
using known::STATUS_ACK;
const std::vector<std::uint8_t> SPOILT_ACK = Bytes("08 00 01 00 00 00 82 74");
const std::vector<std::uint8_t> OTHER_DEVICE_ACK = Bytes("08 00 02 00 00 00 82 8C");
const MonoTime T0{};

TEST(AckMatcher, AnAcknowledgementTakesTheOldestWaitingFrameOfItsKeyFromItsPeer)
{
    AckMatcher matcher;
    matcher.Sent(PEER, STATUS, 1, T0);
    matcher.Sent(OTHER_PEER, STATUS, 2, T0 + 1ms);
    matcher.Sent(PEER, STATUS, 3, T0 + 2ms);
    struct Case
    {
        const char* name;
        Endpoint from;
        std::vector<std::uint8_t> datagram;
        Outcome outcome;
        std::uint64_t id;
    };
    // clang-format off
    const Case cases[] = {
        {"the frame echoed back",  PEER,       STATUS,           Outcome::NotAck,      0},
        {"another device's",       PEER,       OTHER_DEVICE_ACK, Outcome::Unmatched,   0},
        {"checksum spoilt",        PEER,       SPOILT_ACK,       Outcome::BadChecksum, 1},
        {"the oldest first",       PEER,       STATUS_ACK,       Outcome::Answered,    1},
        {"then the next",          PEER,       STATUS_ACK,       Outcome::Answered,    3},
        {"a repeat",               PEER,       STATUS_ACK,       Outcome::Duplicate,   3},
        {"from the other peer",    OTHER_PEER, STATUS_ACK,       Outcome::Answered,    2},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AckMatcher::Match match = matcher.Received(c.from, c.datagram, T0 + 10ms);
        EXPECT_EQ(match.outcome, c.outcome);
        EXPECT_EQ(match.id, c.id);
    }
    EXPECT_EQ(matcher.Waiting(), 0U);
    const AckMatcher::Counts& totals = matcher.Totals();
    EXPECT_EQ(totals.answered, 3U);
    EXPECT_EQ(totals.duplicated, 1U);
    EXPECT_EQ(totals.badChecksum, 1U);
    EXPECT_EQ(totals.unmatched, 1U);
}

TEST(AckMatcher, RoundTripsCountFromTheLastSend)
{
    AckMatcher matcher;
    const auto ticket = matcher.Sent(PEER, STATUS, 7, T0);
    EXPECT_TRUE(matcher.Resent(ticket, T0 + 1000ms));
    const AckMatcher::Match match = matcher.Received(PEER, STATUS_ACK, T0 + 1250ms);
    EXPECT_EQ(match.outcome, Outcome::Answered);
    EXPECT_EQ(match.rtt, 250ms);
    EXPECT_FALSE(matcher.Resent(ticket, T0 + 2s)); // answered: nothing waits
}

TEST(AckMatcher, FramesGivenUpAnswerLate)
{
    AckMatcher matcher({16, 100ms});
    const auto forgotten = matcher.Sent(PEER, STATUS, 1, T0);
    EXPECT_TRUE(matcher.Forget(forgotten));
    EXPECT_EQ(matcher.Received(PEER, STATUS_ACK, T0 + 1ms).outcome, Outcome::Late);

    matcher.Sent(PEER, STATUS, 2, T0);
    matcher.Sent(OTHER_PEER, STATUS, 3, T0 + 50ms);
    std::vector<std::uint64_t> expired;
    matcher.Expire(T0 + 120ms, [&](std::uint64_t id) { expired.push_back(id); });
    EXPECT_EQ(expired, std::vector<std::uint64_t>{2});
    EXPECT_EQ(matcher.Received(PEER, STATUS_ACK, T0 + 130ms).outcome, Outcome::Late);
    EXPECT_EQ(matcher.Received(OTHER_PEER, STATUS_ACK, T0 + 130ms).outcome, Outcome::Answered);
    EXPECT_EQ(matcher.Totals().expired, 1U);
}

TEST(AckMatcher, TheCapacityPushesOutTheOldest)
{
    AckMatcher matcher({4, {}});
    for (std::uint64_t id = 0; id < 6; ++id)
        matcher.Sent(PEER, STATUS, id, T0);
    EXPECT_EQ(matcher.Waiting(), 4U);
    EXPECT_EQ(matcher.Totals().pushedOut, 2U);
    EXPECT_EQ(matcher.Received(PEER, STATUS_ACK, T0).id, 2U);
    matcher.Clear();
    EXPECT_EQ(matcher.Received(PEER, STATUS_ACK, T0).outcome, Outcome::Unmatched);
}

// The matcher against the rule done the slow way, over the frames its ring still holds: the oldest waiting
// frame of the key from the peer is answered; with none, the newest answered or given up tells a repeat
// from a late answer. Many turns of a small ring, few keys and peers, so that chains cross and fall out.
TEST(AckMatcher, AgreesWithTheRuleOverManyTurnsOfItsRing)
{
    constexpr std::size_t CAPACITY = 64;
    struct Frame
    {
        Endpoint peer;
        std::uint64_t key{0};
        std::uint64_t id{0};
        AckMatcher::Ticket ticket{0};
        enum
        {
            Waiting,
            Answered,
            GivenUp
        } state{Waiting};
    };
    std::vector<Frame> ring; // the last CAPACITY frames sent, oldest first
    AckMatcher matcher({CAPACITY, {}});
    std::mt19937 random(7);
    const Endpoint peers[] = {PEER, OTHER_PEER, {LOOPBACK_ADDRESS + 1, 8015}};
    for (std::uint64_t id = 1; id <= 20'000; ++id) {
        const Endpoint& peer = peers[random() % 3];
        std::vector<std::uint8_t> frame = STATUS;
        frame[FRAME_DEVICE_NO] = static_cast<std::uint8_t>(random() % 4);
        const auto ack = std::get<AckFrame>(AcknowledgementFor(frame));
        switch (random() % 4) {
        case 0:
        case 1: {
            const auto ticket = matcher.Sent(peer, frame, id, T0 + std::chrono::microseconds(id));
            if (ring.size() == CAPACITY)
                ring.erase(ring.begin());
            ring.push_back({peer, AckPairingKey(frame), id, ticket});
            break;
        }
        case 2: {
            Frame* oldest = nullptr;
            Frame* finished = nullptr;
            for (Frame& f : ring) {
                if (f.peer != peer || f.key != AckPairingKey(ack))
                    continue;
                if (f.state == Frame::Waiting && oldest == nullptr)
                    oldest = &f;
                if (f.state != Frame::Waiting)
                    finished = &f;
            }
            const AckMatcher::Match match = matcher.Received(peer, ack, T0 + std::chrono::microseconds(id));
            SCOPED_TRACE(id);
            if (oldest != nullptr) {
                ASSERT_EQ(match.outcome, Outcome::Answered);
                ASSERT_EQ(match.id, oldest->id);
                ASSERT_EQ(match.rtt.count(), static_cast<std::int64_t>(id - oldest->id));
                oldest->state = Frame::Answered;
            } else if (finished != nullptr) {
                ASSERT_EQ(match.outcome,
                          finished->state == Frame::Answered ? Outcome::Duplicate : Outcome::Late);
                ASSERT_EQ(match.id, finished->id);
            } else {
                ASSERT_EQ(match.outcome, Outcome::Unmatched);
            }
            break;
        }
        default:
            if (ring.empty())
                break;
            Frame& f = ring[random() % ring.size()];
            ASSERT_EQ(matcher.Forget(f.ticket), f.state == Frame::Waiting);
            if (f.state == Frame::Waiting)
                f.state = Frame::GivenUp;
        }
    }
    std::size_t waiting = 0;
    for (const Frame& f : ring)
        waiting += f.state == Frame::Waiting ? 1 : 0;
    EXPECT_EQ(matcher.Waiting(), waiting);
}

TEST(AckMatcher, FramesToMorePeersThanItCanNameStayUnpaired)
{
    AckMatcher matcher({std::size_t{1} << 17, {}});
    const auto PeerNumber = [](std::size_t n) {
        return Endpoint{LOOPBACK_ADDRESS + static_cast<std::uint32_t>(n >> 16),
                        static_cast<std::uint16_t>(n)};
    };
    for (std::size_t n = 0; n <= AckMatcher::MAX_PEERS; ++n)
        matcher.Sent(PeerNumber(n), STATUS, n, T0);
    const auto beyond = PeerNumber(AckMatcher::MAX_PEERS);
    EXPECT_EQ(matcher.Received(beyond, STATUS_ACK, T0).outcome, Outcome::Unmatched);
    EXPECT_EQ(matcher.Received(PeerNumber(0), STATUS_ACK, T0).id, 0U);
    EXPECT_EQ(matcher.Received(PeerNumber(AckMatcher::MAX_PEERS - 1), STATUS_ACK, T0).id,
              AckMatcher::MAX_PEERS - 1);

    // A turn of the ring later the peers no frame names any more are let go, and a new one pairs again.
    for (std::size_t n = 0; n < (std::size_t{1} << 17); ++n)
        matcher.Sent(PEER, STATUS, n, T0);
    const Endpoint fresh{LOOPBACK_ADDRESS + 2, 9000};
    matcher.Sent(fresh, STATUS, 42, T0);
    EXPECT_EQ(matcher.Received(fresh, STATUS_ACK, T0).id, 42U);
    EXPECT_EQ(matcher.Received(PEER, STATUS_ACK, T0).outcome, Outcome::Answered);
}

TEST(RoundTrips, PercentilesTakeTheNearestRankRoundedUp)
{
    struct Case
    {
        const char* name;
        int samples; // 1 to samples microseconds
        double fraction;
        std::int64_t expected;
    };
    // clang-format off
    const Case cases[] = {
        {"median of four is the second", 4,   0.50, 2},
        {"a rank rounded up",            3,   0.50, 2},
        {"p90 of a hundred",             100, 0.90, 90},
        {"p99 of a hundred",             100, 0.99, 99},
        {"p100 is the largest",          10,  1.00, 10},
        {"p0 is the smallest",           10,  0.00, 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoundTrips trips;
        for (int us = c.samples; us >= 1; --us)
            trips.Add(us);
        EXPECT_EQ(trips.Percentile(c.fraction), c.expected);
    }
    EXPECT_EQ(PercentileRank(0.5, 0), 0U);

    RoundTrips wide;
    for (std::int64_t us = 1; us <= 100'000; ++us)
        wide.Add(us);
    for (const double fraction : {0.5, 0.9, 0.99}) {
        const double exact = fraction * 100'000;
        EXPECT_GE(static_cast<double>(wide.Percentile(fraction)), exact);
        EXPECT_LE(static_cast<double>(wide.Percentile(fraction)), exact * (1 + 1.0 / 64));
    }
    EXPECT_EQ(wide.Min(), 1);
    EXPECT_EQ(wide.Max(), 100'000);
}

} // namespace
