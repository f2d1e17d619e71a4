#include "capture/frame_verdict.h"
#include "protocol/enum_table.h"

#include <algorithm>

namespace veltrano {

std::string_view VerdictKey(FrameVerdict verdict)
{
    // In FrameVerdict order.
    static constexpr std::string_view KEYS[] = {"same", "differs", "missing", "rule_broken",
                                                "no_captured_answer"};
    static_assert(std::size(KEYS) == FRAME_VERDICT_COUNT);
    return RowOf(KEYS, verdict);
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
