#include "capture/frame_verdict.h"

#include <algorithm>

namespace veltrano {

std::string_view VerdictKey(FrameVerdict verdict)
{
    switch (verdict) {
    case FrameVerdict::Same:
        return "same";
    case FrameVerdict::Differs:
        return "differs";
    case FrameVerdict::Missing:
        return "missing";
    case FrameVerdict::RuleBroken:
        return "rule_broken";
    case FrameVerdict::NoCapturedAnswer:
        return "no_captured_answer";
    }
    return "unknown";
}

bool Fails(FrameVerdict verdict, bool expectSame)
{
    return verdict == FrameVerdict::Missing || verdict == FrameVerdict::RuleBroken ||
           (expectSame && verdict == FrameVerdict::Differs);
}

FrameVerdict Judge(std::span<const std::uint8_t> frame, const std::optional<AckFrame>& captured,
                   std::optional<std::span<const std::uint8_t>> live)
{
    if (!live)
        return FrameVerdict::Missing;
    const auto rule = AcknowledgementFor(frame);
    const auto* expected = std::get_if<AckFrame>(&rule);
    if (expected == nullptr || !std::ranges::equal(*expected, *live))
        return FrameVerdict::RuleBroken;
    if (!captured)
        return FrameVerdict::NoCapturedAnswer;
    return std::ranges::equal(*captured, *live) ? FrameVerdict::Same : FrameVerdict::Differs;
}

} // namespace veltrano
