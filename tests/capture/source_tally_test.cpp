#include "capture/source_tally.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::FrameVerdict;
using veltrano::SourceTally;

// Addresses as captured, from the documentation ranges: only ever read, never sent to.
const Endpoint PANEL_A{Ipv4(192, 0, 2, 1), 40001};
const Endpoint PANEL_B{Ipv4(192, 0, 2, 2), 40001};
using known::STATUS;
using known::STATUS_ACK;
const std::vector<std::uint8_t> OTHER_ACK = Bytes("08 00 01 00 00 00 82 8C");
const std::vector<std::uint8_t> EMPTY_FRAME = {};
const SourceTally::TimePoint T0{std::chrono::seconds(50)};

CapturedFrame Frame(const Endpoint& source, std::uint64_t number, const std::vector<std::uint8_t>& bytes,
                    std::optional<std::vector<std::uint8_t>> answer = std::nullopt)
{
    CapturedFrame frame;
    frame.number = number;
    frame.source = source;
    std::copy(bytes.begin(), bytes.end(), frame.storage.begin());
    frame.size = bytes.size();
    if (answer) {
        AckFrame ack{};
        std::copy(answer->begin(), answer->end(), ack.begin());
        frame.answer = ack;
    }
    return frame;
}

TEST(SourceTally, EachFailingFrameTellsWhatWasWantedAndWhatCame)
{
    struct Case
    {
        const char* name;
        FrameVerdict verdict;
        bool expectSame;
        std::optional<std::vector<std::uint8_t>> captured;
        std::optional<std::vector<std::uint8_t>> live;
        std::uint64_t failed;
        std::string wanted;
        std::string got;
    };
    // clang-format off
    const Case cases[] = {
        {"same",                             FrameVerdict::Same,             false, STATUS_ACK,   STATUS_ACK,   0, "", ""},
        {"missing: the rule's answer wanted", FrameVerdict::Missing,         false, STATUS_ACK,   std::nullopt, 1, known::STATUS_ACK_HEX, "nothing"},
        {"against the rule",                 FrameVerdict::RuleBroken,       false, std::nullopt, OTHER_ACK,    1, known::STATUS_ACK_HEX, "08 00 01 00 00 00 82 8C"},
        {"differs, not expected the same",   FrameVerdict::Differs,          false, OTHER_ACK,    STATUS_ACK,   0, "", ""},
        {"differs: the captured one wanted", FrameVerdict::Differs,          true,  OTHER_ACK,    STATUS_ACK,   1, "08 00 01 00 00 00 82 8C", known::STATUS_ACK_HEX},
        {"no captured answer passes",        FrameVerdict::NoCapturedAnswer, true,  std::nullopt, STATUS_ACK,   0, "", ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceTally tally(c.expectSame, 10);
        tally.Sent(PANEL_A, T0);
        const std::optional<std::span<const std::uint8_t>> live =
            c.live ? std::optional<std::span<const std::uint8_t>>(*c.live) : std::nullopt;
        tally.Judged(Frame(PANEL_A, 7, STATUS, c.captured), c.verdict, live, T0 + 5ms);
        const SourceTally::Source& source = tally.Sources().at(PANEL_A);
        EXPECT_EQ(source.frames, 1U);
        EXPECT_EQ(source.failed, c.failed);
        ASSERT_EQ(source.failures.size(), c.failed);
        if (c.failed == 0)
            continue;
        EXPECT_EQ(source.failures[0].frame, 7U);
        EXPECT_EQ(source.failures[0].verdict, c.verdict);
        EXPECT_EQ(source.failures[0].wanted, c.wanted);
        EXPECT_EQ(source.failures[0].got, c.got);
    }
}

TEST(SourceTally, SourcesAreKeptApartTimedAndTheirFailuresBounded)
{
    SourceTally tally(false, 2);
    tally.Sent(PANEL_A, T0);
    tally.Sent(PANEL_B, T0 + 1s);
    tally.Sent(PANEL_A, T0 + 2s); // not the first: the start stays
    for (std::uint64_t i = 1; i <= 5; ++i)
        tally.Judged(Frame(PANEL_A, i, STATUS), FrameVerdict::Missing, std::nullopt,
                     T0 + std::chrono::seconds(i));
    tally.Judged(Frame(PANEL_B, 9, STATUS), FrameVerdict::Same, std::span<const std::uint8_t>(STATUS_ACK),
                 T0 + 3s);
    // An empty datagram has no answer under the rule.
    tally.Judged(Frame(PANEL_B, 10, EMPTY_FRAME), FrameVerdict::RuleBroken,
                 std::span<const std::uint8_t>(STATUS_ACK), T0 + 4s);

    const auto& a = tally.Sources().at(PANEL_A);
    EXPECT_EQ(a.frames, 5U);
    EXPECT_EQ(a.failed, 5U);
    ASSERT_EQ(a.failures.size(), 2U);
    EXPECT_EQ(a.failures[0].frame, 1U);
    EXPECT_EQ(a.failures[1].frame, 2U);
    EXPECT_EQ(a.first, T0);
    EXPECT_EQ(a.last, T0 + 5s);

    const auto& b = tally.Sources().at(PANEL_B);
    EXPECT_EQ(b.frames, 2U);
    EXPECT_EQ(b.failed, 1U);
    ASSERT_EQ(b.failures.size(), 1U);
    EXPECT_EQ(b.failures[0].wanted, "no answer");
    EXPECT_EQ(b.first, T0 + 1s);
    EXPECT_EQ(b.last, T0 + 4s);
}

} // namespace
