#include "capture/replay_summary.h"

#include "link/json_line.h"
#include "link/line_output.h"
#include "protocol/acknowledgement.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

namespace veltrano {

namespace {

// The fields before "skipped_by_reason", and those after it.
struct SummaryFields
{
    std::vector<RecordField> head;
    std::vector<RecordField> tail;
};

SummaryFields FieldsOf(const ReplayReport& report)
{
    const ReplayedFrames& frames = report.frames;
    const CaptureReader& reader = report.exchange.Reader();
    SummaryFields fields{{
                             {"file", report.file},
                             {"records", reader.Records()},
                             {"frames", frames.Frames()},
                             {"captured_answers", report.exchange.CapturedAnswers()},
                             {"sources", static_cast<std::uint64_t>(report.exchange.Sources())},
                             {"sent", frames.Frames() - frames.Refused()},
                             {"answered", frames.Answered()},
                         },
                         {}};
    for (std::size_t i = 0; i < FRAME_VERDICT_COUNT; ++i) {
        const auto verdict = static_cast<FrameVerdict>(i);
        fields.head.push_back({VerdictKey(verdict), frames.Count(verdict)});
    }
    fields.head.push_back({"skipped", reader.SkippedTotal()});
    const auto trips = RoundTripFields(frames.Trips());
    fields.tail.assign(trips.begin(), trips.end());
    fields.tail.push_back({"cut", report.cut});
    fields.tail.push_back({"exit", report.exitCode});
    return fields;
}

void AppendJson(std::string& out, const ReplayReport& report, const SummaryFields& fields)
{
    const SkipCounts& skipped = report.exchange.Reader().Skipped();
    std::string reasons;
    JsonLine byReason(reasons);
    for (std::size_t i = 0; i < SKIP_REASON_COUNT; ++i)
        byReason.Number(SkipKey(static_cast<SkipReason>(i)), skipped[i]);
    byReason.End();
    reasons.pop_back(); // the line's newline: this object sits inside another
    JsonLine line(out);
    line.Text("type", "summary").Text("command", "replay");
    for (const RecordField& field : fields.head)
        AppendFieldJson(line, field);
    line.Raw("skipped_by_reason", reasons);
    for (const RecordField& field : fields.tail)
        AppendFieldJson(line, field);
    line.End();
}

void AppendTable(std::string& out, const ReplayReport& report)
{
    const ReplayedFrames& frames = report.frames;
    const CaptureReader& reader = report.exchange.Reader();
    out += fmt::format("replay of {}: {} records, {} frames from {} sources, {} captured answers\n",
                       report.file, reader.Records(), frames.Frames(), report.exchange.Sources(),
                       report.exchange.CapturedAnswers());
    out += fmt::format("  {:<20} {:>10}\n", "verdict", "frames");
    for (std::size_t i = 0; i < FRAME_VERDICT_COUNT; ++i) {
        const auto verdict = static_cast<FrameVerdict>(i);
        out += fmt::format("  {:<20} {:>10}\n", VerdictKey(verdict), frames.Count(verdict));
    }
    out += fmt::format("  {:<20} {:>10}\n", "skipped", reader.SkippedTotal());
    const SkipCounts& skipped = reader.Skipped();
    for (std::size_t i = 0; i < SKIP_REASON_COUNT; ++i)
        if (skipped[i] > 0)
            out += fmt::format("    {:<18} {:>10}\n", SkipKey(static_cast<SkipReason>(i)), skipped[i]);
}

} // namespace

void AppendReplaySummary(std::string& out, OutputFormat format, const ReplayReport& report)
{
    SummaryFields fields = FieldsOf(report);
    if (format == OutputFormat::JsonLines) {
        AppendJson(out, report, fields);
        return;
    }
    AppendTable(out, report);
    fields.head.insert(fields.head.end(), fields.tail.begin(), fields.tail.end());
    AppendSummary(out, format, "replay", fields.head);
}

std::vector<Verdict> SourceVerdicts(const SourceTally& tally, std::string_view file)
{
    std::vector<Verdict> verdicts;
    for (const auto& [source, counted] : tally.Sources()) {
        Verdict& verdict = verdicts.emplace_back();
        verdict.id = source.ToString();
        verdict.classname = fmt::format("replay.{}", file);
        verdict.seconds = std::chrono::duration<double>(counted.last - counted.first).count();
        if (counted.failed == 0) {
            verdict.message = fmt::format("{} frames answered as the rule gives", counted.frames);
            continue;
        }
        verdict.outcome = Outcome::Failed;
        verdict.message =
            fmt::format("{} of {} frames missing or against the rule", counted.failed, counted.frames);
        for (const auto& failure : counted.failures)
            verdict.details += fmt::format("frame {}: {}: {}\n", failure.frame, VerdictKey(failure.verdict),
                                           ExpectedGot(failure.wanted, failure.got));
        if (counted.failed > counted.failures.size())
            verdict.details += fmt::format("and {} more\n", counted.failed - counted.failures.size());
    }
    return verdicts;
}

CaptureExtent MeasureCapture(const std::string& path, const std::string& filter)
{
    CaptureExtent extent;
    auto reader = CaptureReader::Open(path, filter);
    if (!reader)
        return extent;
    for (auto next = (*reader)->Next(); next && *next; next = (*reader)->Next()) {
        if (!IsAcknowledgement((*next)->payload))
            ++extent.frames;
        extent.lastTimeNs = (*next)->timeNs;
    }
    return extent;
}

std::string ReplayProgressLine(const ReplayedFrames& frames, const CaptureExtent& extent,
                               std::optional<double> gapSpeed)
{
    const double left =
        gapSpeed ? static_cast<double>(extent.lastTimeNs - frames.LastSentTimeNs()) / 1e9 / *gapSpeed : 0;
    // printf's rounding of the seconds, as the line always had.
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f", std::max(left, 0.0));
    return fmt::format("replay: sent {} of {}, answered {}, differing {}, missing {}, {} s left\n",
                       frames.Frames(), extent.frames, frames.Answered(), frames.Count(FrameVerdict::Differs),
                       frames.Count(FrameVerdict::Missing), seconds);
}

} // namespace veltrano
