#include "fleet/supervisor.h"

#include "protocol/frame_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using namespace std::chrono_literals;

const MonoTime START = MonoTime{} + 1h;

DecodedFrame Frame(std::vector<std::uint8_t> bytes)
{
    return DecodeFrame(bytes);
}

const DecodedFrame STATUS_0_1 = Frame({0x0C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x11, 0x00, 0x00, 0x21});
const DecodedFrame ONLINE_0_2 = Frame({0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x0B});
const DecodedFrame ACK_0_1 = Frame({0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x82, 0x8B});

std::vector<Supervisor::Report> Check(Supervisor& supervisor, std::chrono::microseconds at)
{
    std::vector<Supervisor::Report> reports;
    supervisor.Check(START + at, [&](const Supervisor::Report& report) { reports.push_back(report); });
    return reports;
}

TEST(Supervisor, ReportsEachSilentPanelMissingOnceAndBackWhenHeard)
{
    Supervisor supervisor({2s, 8}, START);
    const Endpoint a{0x7F000002, 5000};
    const Endpoint b{0x7F000003, 5000};
    supervisor.Heard(a, STATUS_0_1, START);
    supervisor.Heard(a, ONLINE_0_2, START + 1s);
    supervisor.Heard(b, STATUS_0_1, START + 1s);
    EXPECT_FALSE(supervisor.Heard(a, ACK_0_1, START + 1s)) << "an acknowledgement is no panel's frame";
    EXPECT_EQ(supervisor.Seen(), 3u);

    EXPECT_TRUE(Check(supervisor, 2s).empty());
    const auto first = Check(supervisor, 2500ms);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].change, Supervisor::Change::Missing);
    EXPECT_EQ(first[0].panel->peer, a);
    EXPECT_EQ(first[0].panel->dev, 1);
    EXPECT_EQ(first[0].silentUs, 2'500'000);
    EXPECT_EQ(Check(supervisor, 3500ms).size(), 2u);
    EXPECT_TRUE(Check(supervisor, 9s).empty()) << "reported once";
    EXPECT_EQ(supervisor.MissingNow(), 3u);

    const auto back = supervisor.Heard(a, STATUS_0_1, START + 10s);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->change, Supervisor::Change::Back);
    EXPECT_EQ(back->silentUs, 10'000'000);
    EXPECT_EQ(back->panel->gaps, 1u);
    EXPECT_TRUE(back->panel->hasStatus);
    EXPECT_EQ(back->panel->status, (StatusBytes{0x01, 0x11, 0x00, 0x00}));
    EXPECT_EQ(supervisor.MissingNow(), 2u);

    const auto longest = supervisor.LongestSilences(2, START + 20s);
    ASSERT_EQ(longest.size(), 2u);
    EXPECT_EQ(supervisor.SilenceUs(*longest[0], START + 20s), 19'000'000) << "still missing";
    EXPECT_EQ(supervisor.SilenceUs(*longest[1], START + 20s), 19'000'000);
}

TEST(Supervisor, FollowsAtMostItsPeersAndCountsTheRest)
{
    Supervisor supervisor({1s, 2}, START);
    for (std::uint32_t address = 1; address <= 4; ++address)
        supervisor.Heard({LOOPBACK_ADDRESS + address, 5000}, STATUS_0_1, START);
    supervisor.Heard({LOOPBACK_ADDRESS + 1, 5001}, STATUS_0_1, START); // the same panel, restarted
    supervisor.Heard({LOOPBACK_ADDRESS + 1, 5000}, ONLINE_0_2, START);
    EXPECT_EQ(supervisor.Seen(), 3u);
    EXPECT_EQ(supervisor.Unfollowed(), 2u);
}

// Thousands of panels from two addresses, heard round in one order, then in a shuffled one: each is one
// panel however it is found, and those not heard again go missing, the others not.
TEST(Supervisor, KnowsEachPanelWhateverTheOrderItIsHeardIn)
{
    constexpr int PER_ADDRESS = 2'000;
    std::vector<std::pair<Endpoint, DecodedFrame>> panels;
    for (std::uint32_t address = 1; address <= 2; ++address)
        for (int n = 0; n < PER_ADDRESS; ++n) {
            const auto comm = static_cast<std::uint8_t>(n / 240), dev = static_cast<std::uint8_t>(n % 240);
            const std::vector<std::uint8_t> online{0x08, comm, dev, 0x00, 0x00, 0x00, 0x01, 0x00};
            panels.emplace_back(Endpoint{LOOPBACK_ADDRESS + address, 5000}, Frame(online));
        }
    Supervisor supervisor({1s, 8}, START);
    for (const auto round : {0s, 1s})
        for (const auto& [peer, frame] : panels)
            supervisor.Heard(peer, frame, START + round);
    std::shuffle(panels.begin(), panels.end(), std::mt19937(3));
    for (std::size_t i = 0; i < panels.size(); i += 2)
        supervisor.Heard({panels[i].first.address, 5001}, panels[i].second, START + 2s);
    EXPECT_EQ(supervisor.Seen(), panels.size());
    EXPECT_EQ(Check(supervisor, 2500ms).size(), panels.size() / 2);
    for (std::size_t i = 0; i < panels.size(); ++i) {
        const auto& [peer, frame] = panels[i];
        const auto found = std::ranges::find_if(supervisor.Panels(), [&](const SupervisedPanel& p) {
            return p.peer.address == peer.address && p.comm == frame.comm && p.dev == frame.device;
        });
        ASSERT_NE(found, supervisor.Panels().end());
        EXPECT_EQ(found->missing, i % 2 == 1);
        EXPECT_EQ(found->peer.port, i % 2 == 0 ? 5001 : 5000);
    }
}

} // namespace
