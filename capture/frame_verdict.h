#pragma once

#include "protocol/acknowledgement.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace veltrano {

// What a replayed frame's live answer makes of it, against the centre's rule and the captured answer.
enum class FrameVerdict : std::uint8_t
{
    Same,             // the live answer has the captured answer's bytes
    Differs,          // it keeps the rule, but the capture had other bytes
    Missing,          // no live answer
    RuleBroken,       // the live answer is not AcknowledgementFor(frame)
    NoCapturedAnswer, // keeps the rule; the capture had nothing to compare with
};
inline constexpr std::size_t FRAME_VERDICT_COUNT = 5;

// "same", "differs", "missing", "rule_broken", "no_captured_answer".
std::string_view VerdictKey(FrameVerdict verdict);
// Missing and RuleBroken fail a replay; Differs only when the capture's answers are expected.
bool Fails(FrameVerdict verdict, bool expectSame);

FrameVerdict Judge(std::span<const std::uint8_t> frame, const std::optional<AckFrame>& captured,
                   std::optional<std::span<const std::uint8_t>> live);

} // namespace veltrano
