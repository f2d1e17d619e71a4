#include "capture/source_tally.h"

#include "protocol/frame.h"

#include <variant>

namespace veltrano {

void SourceTally::Sent(const Endpoint& source, TimePoint at)
{
    m_sources.try_emplace(source, Source{0, 0, {}, at, at});
}

void SourceTally::Judged(const CapturedFrame& frame, FrameVerdict verdict,
                         std::optional<std::span<const std::uint8_t>> live, TimePoint at)
{
    auto [found, added] = m_sources.try_emplace(frame.source, Source{0, 0, {}, at, at});
    Source& source = found->second;
    ++source.frames;
    source.last = at;
    if (!Fails(verdict, m_expectSame))
        return;
    ++source.failed;
    if (source.failures.size() >= m_mostFailures)
        return;
    std::string wanted;
    if (verdict == FrameVerdict::Differs && frame.answer) {
        wanted = FormatBytesHex(*frame.answer);
    } else {
        const auto rule = AcknowledgementFor(frame.Bytes());
        const auto* ack = std::get_if<AckFrame>(&rule);
        wanted = ack != nullptr ? FormatBytesHex(*ack) : std::string("no answer");
    }
    source.failures.push_back(
        {frame.number, verdict, std::move(wanted), live ? FormatBytesHex(*live) : std::string("nothing")});
}

} // namespace veltrano
