#include "capture/replay_summary.h"
#include "tests/support/capture_files.h"
#include "tests/support/hex_text.h"
#include "tests/support/known_frames.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;
using veltrano::FrameVerdict;
using veltrano::OutputFormat;
using veltrano::ReplayedFrames;

// Addresses as captured, from the documentation ranges: only ever read, never sent to.
const Endpoint CENTRE{Ipv4(203, 0, 113, 7), 7015};
const Endpoint PANEL{Ipv4(192, 0, 2, 1), 40001};
const Endpoint LIVE_CENTRE{LOOPBACK_ADDRESS, 7015};
using known::STATUS;
using known::STATUS_ACK;
const MonoTime T0{std::chrono::seconds(100)};

// Two frames of one panel, each answered in the capture, and a TCP packet between them; the first frame
// answered again live 1.5 ms after it went, the second not at all.
struct Replayed
{
    QTemporaryDir dir;
    std::unique_ptr<CaptureReader> reader;
    std::unique_ptr<CapturedExchange> exchange;
    ReplayedFrames frames{{LIVE_CENTRE, 200ms, 64, false, 10}, [](const ReplayedFrames::Judged&) {}};

    Replayed()
    {
        const std::string udp = Ipv4Udp(PANEL, CENTRE, STATUS);
        const std::vector<TestRecord> records{
            {1000, udp}, {1100, Ipv4Udp(CENTRE, PANEL, STATUS_ACK)}, {1500, WithProtocol(udp, 6)},
            {2000, udp}, {2100, Ipv4Udp(CENTRE, PANEL, STATUS_ACK)},
        };
        const std::string path = dir.filePath(QStringLiteral("x.pcap")).toStdString();
        EXPECT_TRUE(WriteBytes(path, PcapFile(101, records)));
        reader = std::move(*CaptureReader::Open(path));
        exchange = std::make_unique<CapturedExchange>(*reader, CapturedExchange::Limits{});
        for (auto next = exchange->Next(); next && *next; next = exchange->Next())
            frames.Add(std::move(**next));
        frames.Sent(2, 2, 0, T0, 0);
        FrameRecord record = MakeRecord(0, Direction::In, LIVE_CENTRE, {}, STATUS_ACK);
        if (const auto id = frames.Received(0, record, T0 + 1500us))
            frames.Answer(*id, STATUS_ACK, T0 + 1500us);
        frames.Expire(T0 + 200ms);
    }

    std::string Summary(OutputFormat format)
    {
        std::string out;
        veltrano::AppendReplaySummary(out, format, {"x.pcap", *exchange, frames, false, 1});
        return out;
    }
};

TEST(ReplaySummary, TextShowsTheVerdictsAndSkippedRecordsThenTheSummaryLine)
{
    Replayed replayed;
    ASSERT_EQ(replayed.frames.Count(FrameVerdict::Same), 1U);
    EXPECT_EQ(replayed.Summary(OutputFormat::Text),
              "replay of x.pcap: 5 records, 2 frames from 1 sources, 2 captured answers\n"
              "  verdict                  frames\n"
              "  same                          1\n"
              "  differs                       0\n"
              "  missing                       1\n"
              "  rule_broken                   0\n"
              "  no_captured_answer            0\n"
              "  skipped                       1\n"
              "    not_udp                     1\n"
              "summary: replay file=x.pcap records=5 frames=2 captured_answers=2 sources=1 sent=2 answered=1 "
              "same=1 differs=0 missing=1 rule_broken=0 no_captured_answer=0 skipped=1 rtt_p50_us=1500 "
              "rtt_p90_us=1500 rtt_p99_us=1500 rtt_max_us=1500 cut=false exit=1\n");
}

TEST(ReplaySummary, JsonIsOneObjectWithTheSkippedRecordsByReasonInside)
{
    Replayed replayed;
    EXPECT_EQ(
        replayed.Summary(OutputFormat::JsonLines),
        R"({"type":"summary","command":"replay","file":"x.pcap","records":5,"frames":2,)"
        R"("captured_answers":2,"sources":1,"sent":2,"answered":1,"same":1,"differs":0,"missing":1,)"
        R"("rule_broken":0,"no_captured_answer":0,"skipped":1,"skipped_by_reason":{"filtered":0,)"
        R"("link_type":0,"not_ipv4":0,"ipv6":0,"fragment":0,"not_udp":1,"truncated":0,"not_frame":0},)"
        R"("rtt_p50_us":1500,"rtt_p90_us":1500,"rtt_p99_us":1500,"rtt_max_us":1500,"cut":false,"exit":1})"
        "\n");
}

TEST(ReplaySummary, EachSourceIsAJunitCaseListingItsFirstFailures)
{
    const Endpoint other{Ipv4(192, 0, 2, 2), 40001};
    veltrano::SourceTally tally(false, 2);
    const auto frame = [](std::uint64_t number, const Endpoint& source) {
        CapturedFrame captured;
        captured.number = number;
        captured.source = source;
        std::copy(STATUS.begin(), STATUS.end(), captured.storage.begin());
        captured.size = STATUS.size();
        return captured;
    };
    tally.Sent(PANEL, T0);
    for (std::uint64_t number = 1; number <= 3; ++number)
        tally.Judged(frame(number, PANEL), FrameVerdict::Missing, std::nullopt, T0 + 250ms);
    tally.Sent(other, T0);
    tally.Judged(frame(4, other), FrameVerdict::NoCapturedAnswer, STATUS_ACK, T0 + 1s);
    struct Case
    {
        const char* name;
        std::string id;
        Outcome outcome;
        std::string message;
        std::string details;
        double seconds;
    };
    // clang-format off
    const Case cases[] = {
        {"failures listed up to the limit", "192.0.2.1:40001", Outcome::Failed, "3 of 3 frames missing or against the rule",
         "frame 1: missing: expected 08 00 01 00 00 00 82 8B, got nothing\n"
         "frame 2: missing: expected 08 00 01 00 00 00 82 8B, got nothing\nand 1 more\n", 0.25},
        {"a source answered as the rule gives", "192.0.2.2:40001", Outcome::Passed, "1 frames answered as the rule gives", "", 1.0},
    };
    // clang-format on
    const std::vector<Verdict> verdicts = veltrano::SourceVerdicts(tally, "x.pcap");
    ASSERT_EQ(verdicts.size(), std::size(cases));
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verdicts[i].id, c.id);
        EXPECT_EQ(verdicts[i].classname, "replay.x.pcap");
        EXPECT_EQ(verdicts[i].outcome, c.outcome);
        EXPECT_EQ(verdicts[i].message, c.message);
        EXPECT_EQ(verdicts[i].details, c.details);
        EXPECT_DOUBLE_EQ(verdicts[i].seconds, c.seconds);
    }
}

TEST(ReplaySummary, TheProgressLineCountsTheFramesAndTheLastRecordsTime)
{
    Replayed replayed;
    const std::string path = replayed.dir.filePath(QStringLiteral("x.pcap")).toStdString();
    struct Case
    {
        const char* name;
        std::string path;
        std::string filter;
        std::uint64_t frames;
        std::int64_t lastTimeNs;
    };
    // clang-format off
    const Case cases[] = {
        {"acknowledgements are no frames", path,             "",                2, 2'100'000},
        {"a filter that matches nothing",  path,             "udp port 9",      0, 0},
        {"a file that cannot be read",     path + ".absent", "",                0, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const veltrano::CaptureExtent extent = veltrano::MeasureCapture(c.path, c.filter);
        EXPECT_EQ(extent.frames, c.frames);
        EXPECT_EQ(extent.lastTimeNs, c.lastTimeNs);
    }
}

TEST(ReplaySummary, TheProgressLineTellsTheCaptureTimeStillAheadAtItsSpeed)
{
    Replayed replayed;
    const std::int64_t lastSentNs = replayed.frames.LastSentTimeNs();
    struct Case
    {
        const char* name;
        veltrano::CaptureExtent extent;
        std::optional<double> gapSpeed;
        std::string line;
    };
    const std::string counts = "replay: sent 2 of 5, answered 1, differing 0, missing 1, ";
    // clang-format off
    const Case cases[] = {
        {"four seconds ahead at speed 1", {5, lastSentNs + 4'000'000'000}, 1.0,          counts + "4 s left\n"},
        {"twice as fast: half the time",  {5, lastSentNs + 4'000'000'000}, 2.0,          counts + "2 s left\n"},
        {"at a rate: no time left told",  {5, lastSentNs + 4'000'000'000}, std::nullopt, counts + "0 s left\n"},
        {"sent past the measured end",    {5, lastSentNs - 9'000'000'000}, 1.0,          counts + "0 s left\n"},
        {"rounded as printf rounds",      {5, lastSentNs + 2'600'000'000}, 1.0,          counts + "3 s left\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(veltrano::ReplayProgressLine(replayed.frames, c.extent, c.gapSpeed), c.line);
    }
}

} // namespace
