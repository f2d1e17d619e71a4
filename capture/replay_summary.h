#pragma once

#include "capture/captured_exchange.h"
#include "capture/replayed_frames.h"
#include "capture/source_tally.h"
#include "link/output_format.h"
#include "verdict/verdict.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// What a replay's summary tells: the file, what was read from it, the frames and their verdicts.
struct ReplayReport
{
    std::string_view file;
    const CapturedExchange& exchange;
    const ReplayedFrames& frames;
    bool cut{false}; // the file ended inside a record
    std::uint64_t exitCode{0};
};

// The summary. Text: a line on the file, the verdicts and the skipped records by reason as a table, then
// "summary: replay key=value ..."; JSON: one summary object with the skipped records by reason in
// "skipped_by_reason".
void AppendReplaySummary(std::string& out, OutputFormat format, const ReplayReport& report);

// A JUnit case per captured source, in the sources' order: how many of its frames were answered as the
// rule gives, or how many failed with the first failing frames in full.
std::vector<Verdict> SourceVerdicts(const SourceTally& tally, std::string_view file);

// The frames of a capture (acknowledgements aside) and the capture time of its last record, read once
// for a progress line; nothing counted when the file cannot be read.
struct CaptureExtent
{
    std::uint64_t frames{0};
    std::int64_t lastTimeNs{0};
};
CaptureExtent MeasureCapture(const std::string& path, const std::string& filter);

// "replay: sent N of M, answered A, differing D, missing L, S s left": M from the capture's extent, S the
// capture time still ahead at `gapSpeed` (0 when the frames go at a rate or a window instead of the gaps).
std::string ReplayProgressLine(const ReplayedFrames& frames, const CaptureExtent& extent,
                               std::optional<double> gapSpeed);

} // namespace veltrano
