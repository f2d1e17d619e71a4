#include "capture/replay_feed.h"
#include "tests/support/capture_files.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::Pacer;
using veltrano::ReplayedFrames;
using veltrano::ReplayFeed;

// Addresses as captured, from the documentation ranges: only ever read, never sent to.
const Endpoint CENTRE{Ipv4(203, 0, 113, 7), 7015};
const Endpoint PANEL_A{Ipv4(192, 0, 2, 1), 40001};
const Endpoint PANEL_B{Ipv4(192, 0, 2, 2), 40001};
using known::STATUS;
const MonoTime T0{std::chrono::seconds(100)};

// Two frames of panel A, one of B at the same time, and one more of A 100 ms later; `cutBy` bytes short.
struct Feed
{
    QTemporaryDir dir;
    std::unique_ptr<CaptureReader> reader;
    std::unique_ptr<CapturedExchange> exchange;
    ReplayedFrames frames{{CENTRE, 200ms, 64, false, 10}, [](const ReplayedFrames::Judged&) {}};
    std::unique_ptr<ReplayFeed> feed;
    std::vector<std::span<const std::uint8_t>> run;

    explicit Feed(Pacer::Mode mode, std::size_t cutBy = 0)
    {
        const std::string a = Ipv4Udp(PANEL_A, CENTRE, STATUS);
        const std::string file =
            PcapFile(101, {{1000, a}, {1000, a}, {1000, Ipv4Udp(PANEL_B, CENTRE, STATUS)}, {101'000, a}});
        const std::string path = dir.filePath(QStringLiteral("f.pcap")).toStdString();
        EXPECT_TRUE(WriteBytes(path, file.substr(0, file.size() - cutBy)));
        reader = std::move(*CaptureReader::Open(path));
        exchange = std::make_unique<CapturedExchange>(*reader, CapturedExchange::Limits{});
        feed = std::make_unique<ReplayFeed>(*exchange, frames, mode, T0);
    }

    // The run taken, sent at once: its sender and length, or none.
    std::optional<std::size_t> Take(MonoTime now, std::uint64_t most, bool onlyDue)
    {
        const auto sender = feed->TakeRun(now, most, onlyDue, run);
        frames.Sent(run.size(), run.size(), 0, now, 0);
        return sender;
    }
};

TEST(ReplayFeed, ARunIsTheFramesDueOfOneSender)
{
    struct Case
    {
        const char* name;
        Pacer::Mode mode;
        std::chrono::milliseconds elapsed;
        std::uint64_t most;
        bool onlyDue;
        std::size_t frames; // of the run, all of sender 0
    };
    // clang-format off
    const Case cases[] = {
        {"a window: up to the sender's change", Pacer::Window{8},       0ms,    8, false, 2},
        {"at most as many as asked",            Pacer::Window{8},       0ms,    1, false, 1},
        {"at a rate, only the first is due",    Pacer::Rate{10},        0ms,    8, true,  1},
        {"a second on, the sender's change",    Pacer::Rate{10},        1000ms, 8, true,  2},
        {"captured gaps: both at the start",    Pacer::CapturedGaps{1}, 0ms,    8, true,  2},
        {"not only those due",                  Pacer::Rate{0.5},       0ms,    2, false, 2},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Feed feed(c.mode);
        EXPECT_EQ(feed.Take(T0 + c.elapsed, c.most, c.onlyDue), std::optional<std::size_t>(0));
        EXPECT_EQ(feed.run.size(), c.frames);
        EXPECT_EQ(feed.frames.Frames(), c.frames);
    }
}

TEST(ReplayFeed, CapturedGapsWaitForTheNextFrameUntilTheEnd)
{
    Feed feed(Pacer::CapturedGaps{2});
    EXPECT_EQ(feed.feed->Room(T0), 0U) << "no window";
    EXPECT_EQ(feed.Take(T0, 8, true), std::optional<std::size_t>(0));
    EXPECT_EQ(feed.feed->WaitFrom(T0), std::optional(0ms)) << "panel B's frame is due as well";
    EXPECT_EQ(feed.Take(T0, 8, true), std::optional<std::size_t>(1));
    EXPECT_EQ(feed.feed->WaitFrom(T0 + 10ms), std::optional(40ms)) << "100 ms at twice the speed";
    EXPECT_FALSE(feed.Take(T0 + 49ms, 8, true));
    EXPECT_EQ(feed.Take(T0 + 50ms, 8, true), std::optional<std::size_t>(0));
    EXPECT_TRUE(feed.feed->AllRead()) << "the run read on to the end";
    EXPECT_EQ(feed.feed->WaitFrom(T0 + 50ms), std::nullopt);
    EXPECT_FALSE(feed.feed->Cut());
    EXPECT_EQ(feed.frames.Frames(), 4U);
}

TEST(ReplayFeed, AWindowEndsAtACutFileAndSaysWhy)
{
    Feed feed(Pacer::Window{16}, 3);
    EXPECT_EQ(feed.feed->Room(T0), 16U);
    for (int i = 0; i < 10 && !feed.feed->AllRead(); ++i)
        feed.Take(T0, feed.feed->Room(T0), false);
    EXPECT_TRUE(feed.feed->AllRead());
    EXPECT_EQ(feed.frames.Frames(), 3U);
    ASSERT_TRUE(feed.feed->Cut());
    EXPECT_NE(feed.feed->Cut()->find("cut"), std::string::npos) << *feed.feed->Cut();
    EXPECT_EQ(feed.feed->Room(T0), 0U);
    EXPECT_FALSE(feed.Take(T0, 16, false));
}

} // namespace
