#pragma once

#include "capture/captured_exchange.h"
#include "capture/frame_verdict.h"
#include "protocol/endpoint.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veltrano {

// A replay's verdicts gathered per captured source, for a report with a case per source: how many frames of
// it were judged, how many failed, and the first failures in full.
class SourceTally final
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // One failing frame: its number in the capture, its verdict, the answer wanted (the captured one when it
    // differs, else the rule's, or "no answer") and the one that came ("nothing" when none did).
    struct Failure
    {
        std::uint64_t frame{0};
        FrameVerdict verdict{FrameVerdict::Missing};
        std::string wanted;
        std::string got;
    };

    struct Source
    {
        std::uint64_t frames{0};
        std::uint64_t failed{0};
        std::vector<Failure> failures; // the first `mostFailures`
        TimePoint first;
        TimePoint last;
    };

    SourceTally(bool expectSame, std::size_t mostFailures)
        : m_expectSame(expectSame), m_mostFailures(mostFailures)
    {}

    // A frame of `source` went at `at`: the source's time starts with its first.
    void Sent(const Endpoint& source, TimePoint at);
    // The frame's verdict, `live` its answer if one came, at `at`.
    void Judged(const CapturedFrame& frame, FrameVerdict verdict,
                std::optional<std::span<const std::uint8_t>> live, TimePoint at);

    const std::map<Endpoint, Source>& Sources() const { return m_sources; }

private:
    bool m_expectSame{false};
    std::size_t m_mostFailures{0};
    std::map<Endpoint, Source> m_sources;
};

} // namespace veltrano
