#include "link/proxy_pairing.h"
#include "link/proxy_sessions.h"
#include "protocol/frame_decoder.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

const MonoTime T0 = MonoTime{} + 1h;
const Endpoint A1{Ipv4(127, 0, 0, 2), 8015};
const Endpoint A2{Ipv4(127, 0, 0, 2), 8016}; // another panel behind the same address
const Endpoint B1{Ipv4(127, 0, 0, 3), 8015};

TEST(ProxySessions, OneStableSessionPerSourceAndAnswersRoutedToIt)
{
    ProxySessions sessions({.idle = 10s, .maxSessions = 8});
    const auto a1 = sessions.Up(A1, T0);
    const auto a2 = sessions.Up(A2, T0);
    const auto b1 = sessions.Up(B1, T0);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_TRUE(a1->created && a2->created && b1->created);
    EXPECT_NE(a1->slot, a2->slot);
    const auto again = sessions.Up(A1, T0 + 1s);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->created);
    EXPECT_EQ(again->slot, a1->slot);
    EXPECT_EQ(sessions.Down(a1->slot, T0), A1);
    EXPECT_EQ(sessions.Down(a2->slot, T0), A2);
    EXPECT_EQ(sessions.Down(b1->slot, T0), B1);
    EXPECT_EQ(sessions.Down(99, T0), std::nullopt);
    EXPECT_EQ(sessions.Active(), 3U);
}

TEST(ProxySessions, SilenceBothWaysExpiresASessionAndFreesItsSlot)
{
    ProxySessions sessions({.idle = 10s, .maxSessions = 8});
    const auto a1 = sessions.Up(A1, T0);
    const auto b1 = sessions.Up(B1, T0);
    // An answer keeps B1's session alive; A1 is silent both ways.
    sessions.Down(b1->slot, T0 + 6s);
    std::vector<std::uint32_t> closed;
    EXPECT_EQ(sessions.Expire(T0 + 9s, [&](std::uint32_t slot) { closed.push_back(slot); }), 0U);
    EXPECT_EQ(sessions.Expire(T0 + 10s, [&](std::uint32_t slot) { closed.push_back(slot); }), 1U);
    EXPECT_EQ(closed, std::vector<std::uint32_t>{a1->slot});
    EXPECT_EQ(sessions.Down(a1->slot, T0 + 10s), std::nullopt);
    // A1 again: a new session, in the freed slot.
    const auto back = sessions.Up(A1, T0 + 11s);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->created);
    EXPECT_EQ(sessions.ExpiredCount(), 1U);
    EXPECT_EQ(sessions.OpenedCount(), 3U);
}

TEST(ProxySessions, PastTheBoundADatagramIsRefusedAndCounted)
{
    ProxySessions sessions({.idle = 10s, .maxSessions = 2});
    EXPECT_TRUE(sessions.Up(A1, T0));
    EXPECT_TRUE(sessions.Up(A2, T0));
    EXPECT_FALSE(sessions.Up(B1, T0));
    EXPECT_FALSE(sessions.Up(B1, T0));
    EXPECT_TRUE(sessions.Up(A1, T0)); // known sources still pass
    EXPECT_EQ(sessions.RefusedCount(), 2U);
    sessions.Expire(T0 + 10s, [](std::uint32_t) {});
    EXPECT_TRUE(sessions.Up(B1, T0 + 10s));
}

} // namespace

// Each leg pairs an answer with the frame it answers, timed from the sender's latest copy.
TEST(ProxyPairing, TimesEachLegFromItsLatestCopy)
{
    using namespace std::chrono_literals;
    struct Row
    {
        const char* name;
        std::vector<std::chrono::milliseconds> sent; // copies of the frame, on both legs
        bool answered;
        std::int64_t rttUs; // -1: no frame it answers
    };
    const Row rows[] = {
        {"one copy", {0ms}, true, 5000},
        {"a retry restarts the round trip", {0ms, 3ms}, true, 2000},
        {"an answer to nothing sent", {}, true, -1},
        {"no answer yet", {0ms}, false, -1},
    };
    const veltrano::Endpoint panel{veltrano::LOOPBACK_ADDRESS, 40000};
    const auto ack = known::STATUS_ACK;
    for (const Row& row : rows) {
        veltrano::ProxyPairing pairing;
        const veltrano::MonoTime t0{};
        for (const auto at : row.sent) {
            pairing.PanelSent(panel, known::STATUS, t0 + at);
            pairing.CentreSent(panel, known::STATUS, t0 + at);
        }
        EXPECT_EQ(pairing.CentreWaiting(), row.sent.empty() ? 0U : 1U) << row.name;
        if (!row.answered)
            continue;
        const auto decoded = veltrano::DecodeFrame(ack);
        EXPECT_EQ(pairing.CentreAnswered(panel, ack, decoded, t0 + 5ms), row.rttUs) << row.name;
        const auto match = pairing.PanelAnswered(panel, ack, decoded, t0 + 5ms);
        EXPECT_EQ(match.rttUs.value_or(-1), row.rttUs) << row.name;
    }
}
