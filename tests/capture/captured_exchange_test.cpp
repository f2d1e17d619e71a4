#include "capture/captured_exchange.h"
#include "capture/frame_verdict.h"
#include "sim/sweep_walk.h"
#include "tests/support/capture_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using namespace veltrano;

namespace {

using veltrano::FrameVerdict;

// Addresses as captured, from the documentation ranges: only ever read, never sent to.
const Endpoint CENTRE{Ipv4(203, 0, 113, 7), 7015};
const Endpoint PANEL_A{Ipv4(192, 0, 2, 1), 40001};
const Endpoint PANEL_B{Ipv4(192, 0, 2, 2), 40001};

std::vector<std::uint8_t> AckOf(std::span<const std::uint8_t> frame)
{
    const AckFrame ack = std::get<AckFrame>(AcknowledgementFor(frame));
    return {ack.begin(), ack.end()};
}

struct Exchange
{
    QTemporaryDir dir;
    std::unique_ptr<CaptureReader> reader;
    std::unique_ptr<CapturedExchange> exchange;

    Exchange(const std::vector<TestRecord>& records, CapturedExchange::Limits limits = {})
    {
        const std::string path = dir.filePath(QStringLiteral("x.pcap")).toStdString();
        EXPECT_TRUE(WriteBytes(path, PcapFile(101, records)));
        reader = std::move(*CaptureReader::Open(path));
        exchange = std::make_unique<CapturedExchange>(*reader, limits);
    }

    std::vector<CapturedFrame> All()
    {
        std::vector<CapturedFrame> frames;
        for (int i = 0; i < 1000; ++i) {
            auto next = exchange->Next();
            if (!next || !*next)
                break;
            frames.push_back(**next);
        }
        return frames;
    }
};

TEST(CapturedExchangeTest, EachFrameTakesTheAnswerToItsOwnSource)
{
    // Both panels send the same frame; the centre answers B first, then A, and A's first frame never.
    SweepWalk walk(1);
    const auto frame = walk.Next();
    const auto ack = AckOf(frame);
    Exchange x({
        {1'000, Ipv4Udp(PANEL_A, CENTRE, frame)},
        {2'000, Ipv4Udp(PANEL_B, CENTRE, frame)},
        {3'000, Ipv4Udp(CENTRE, PANEL_B, ack)},
        {4'000, Ipv4Udp(PANEL_A, CENTRE, frame)},
        {5'000, Ipv4Udp(CENTRE, PANEL_A, ack)},
    });
    const auto frames = x.All();
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_EQ(frames[0].number, 1U);
    EXPECT_TRUE(frames[0].answer); // the oldest frame of A waiting takes A's answer
    EXPECT_TRUE(frames[1].answer);
    EXPECT_FALSE(frames[2].answer);
    EXPECT_EQ(frames[0].sender, frames[2].sender);
    EXPECT_NE(frames[0].sender, frames[1].sender);
    EXPECT_EQ(x.exchange->Sources(), 2U);
    EXPECT_EQ(x.exchange->CapturedAnswers(), 2U);
}

TEST(CapturedExchangeTest, AnswerWithABadChecksumIsTheCapturedAnswerAndALiveRightOneDiffers)
{
    SweepWalk walk(1);
    const auto frame = walk.Next();
    auto spoilt = AckOf(frame);
    spoilt.back() ^= 0xFF;
    Exchange x({
        {1'000, Ipv4Udp(PANEL_A, CENTRE, frame)},
        {2'000, Ipv4Udp(CENTRE, PANEL_A, spoilt)},
    });
    const auto frames = x.All();
    ASSERT_EQ(frames.size(), 1U);
    ASSERT_TRUE(frames[0].answer);
    EXPECT_TRUE(std::ranges::equal(*frames[0].answer, spoilt));
    const auto live = AckOf(frame);
    const FrameVerdict verdict =
        veltrano::Judge(frame, frames[0].answer, std::span<const std::uint8_t>(live));
    EXPECT_EQ(veltrano::VerdictKey(verdict), "differs");
    EXPECT_TRUE(veltrano::Fails(verdict, true)); // --expect-same
}

TEST(CapturedExchangeTest, LooksAheadNoFurtherThanItsLimits)
{
    SweepWalk walk(1);
    const auto frame = walk.Next();
    const auto late = Ipv4Udp(CENTRE, PANEL_A, AckOf(frame));
    struct Case
    {
        const char* name;
        CapturedExchange::Limits limits;
        std::int64_t answerUs;
        bool answered;
    };
    const Case cases[] = {
        {"within the time", {std::chrono::milliseconds(10), 2048, 256}, 9'000, true},
        {"past the time", {std::chrono::milliseconds(10), 2048, 256}, 11'000, false},
        {"past the frames", {std::chrono::seconds(1), 1, 256}, 2'000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Exchange x({{0, Ipv4Udp(PANEL_A, CENTRE, frame)},
                    {1, Ipv4Udp(PANEL_A, CENTRE, walk.Next())},
                    {c.answerUs, late}},
                   c.limits);
        const auto frames = x.All();
        ASSERT_EQ(frames.size(), 2U);
        EXPECT_EQ(frames[0].answer.has_value(), c.answered);
    }
}

TEST(CapturedExchangeTest, SourcesPastTheLimitShareSendersRoundRobin)
{
    SweepWalk walk(1);
    std::vector<TestRecord> records;
    for (std::uint16_t i = 0; i < 5; ++i)
        records.push_back(
            {i, Ipv4Udp({PANEL_A.address, static_cast<std::uint16_t>(40000 + i)}, CENTRE, walk.Next())});
    Exchange x(records, {std::chrono::seconds(1), 2048, 2});
    std::vector<std::size_t> senders;
    for (const CapturedFrame& frame : x.All())
        senders.push_back(frame.sender);
    EXPECT_EQ(senders, (std::vector<std::size_t>{0, 1, 0, 1, 0}));
    EXPECT_EQ(x.exchange->Senders(), 2U);
}

TEST(FrameVerdictTest, JudgesTheLiveAnswerByTheRuleThenByTheCapture)
{
    const auto frame = SweepWalk(1).Next();
    const auto ack = AckOf(frame);
    auto spoiled = ack;
    spoiled[ACK_FRAME_LENGTH - 1] ^= 0xFF;
    auto otherKey = ack;
    otherKey[1] ^= 1;
    AckFrame captured{};
    std::copy(ack.begin(), ack.end(), captured.begin());
    AckFrame capturedSpoiled{};
    std::copy(spoiled.begin(), spoiled.end(), capturedSpoiled.begin());
    using Live = std::optional<std::span<const std::uint8_t>>;
    struct Case
    {
        const char* name;
        std::optional<AckFrame> captured;
        Live live;
        FrameVerdict verdict;
    };
    const Case cases[] = {
        {"same", captured, Live(ack), FrameVerdict::Same},
        {"capture broke the rule", capturedSpoiled, Live(ack), FrameVerdict::Differs},
        {"no live answer", captured, std::nullopt, FrameVerdict::Missing},
        {"bad checksum", captured, Live(spoiled), FrameVerdict::RuleBroken},
        {"wrong key", captured, Live(otherKey), FrameVerdict::RuleBroken},
        {"wrong length", captured, Live(std::span(ack).first(7)), FrameVerdict::RuleBroken},
        {"nothing captured", std::nullopt, Live(ack), FrameVerdict::NoCapturedAnswer},
        {"nothing captured, bad checksum", std::nullopt, Live(spoiled), FrameVerdict::RuleBroken},
        {"nothing captured, wrong key", std::nullopt, Live(otherKey), FrameVerdict::RuleBroken},
        {"nothing captured, no live answer", std::nullopt, std::nullopt, FrameVerdict::Missing},
    };
    for (const Case& c : cases)
        EXPECT_EQ(veltrano::Judge(frame, c.captured, c.live), c.verdict) << c.name;
    EXPECT_FALSE(Fails(FrameVerdict::Differs, false));
    EXPECT_TRUE(Fails(FrameVerdict::Differs, true));
}

} // namespace
