#include "link/answer_policy.h"

#include <array>

namespace veltrano {

namespace {

// Indexed by delayed | duplicate << 1 | spoilt << 2.
constexpr std::array<std::string_view, 8> NOTES{
    "",
    "delayed",
    "duplicate",
    "delayed, duplicate",
    "checksum spoilt",
    "delayed, checksum spoilt",
    "duplicate, checksum spoilt",
    "delayed, duplicate, checksum spoilt",
};

std::variant<AckFrame, NoAnswer> Rule(std::span<const std::uint8_t> datagram)
{
    const auto answer = AcknowledgementFor(datagram);
    if (const auto* ack = std::get_if<AckFrame>(&answer))
        return *ack;
    switch (std::get<NoAck>(answer)) {
    case NoAck::Empty:
        return NoAnswer::Empty;
    case NoAck::Oversize:
        return NoAnswer::Oversize;
    case NoAck::Acknowledgement:
        break;
    }
    return NoAnswer::Acknowledgement;
}

PlannedAnswer Shaped(AckFrame ack, bool spoil, bool twice, std::chrono::milliseconds delay)
{
    if (spoil)
        ack[ACK_FRAME_LENGTH - 1] ^= 0xFF;
    return {ack, spoil, twice, delay};
}

} // namespace

std::string_view AnswerNote(bool delayed, bool duplicate, bool spoilt)
{
    return NOTES[(delayed ? 1U : 0U) | (duplicate ? 2U : 0U) | (spoilt ? 4U : 0U)];
}

AnswerPolicy::AnswerPolicy(FaultRates rates, std::uint64_t seed, std::vector<std::uint32_t> broadcasts)
    : m_rates(rates), m_random(seed), m_broadcasts(std::move(broadcasts))
{}

bool AnswerPolicy::MayAnswer(const Endpoint& sender) const
{
    return sender.port != 0 && static_cast<bool>(DestinationAllowed(sender.address, m_broadcasts));
}

bool AnswerPolicy::Chance(double percent)
{
    if (percent <= 0)
        return false;
    return std::uniform_real_distribution<double>(0, 100)(m_random) < percent;
}

AnswerDecision AnswerPolicy::Decide(std::span<const std::uint8_t> datagram, const Endpoint& sender)
{
    const auto rule = Rule(datagram);
    if (const auto* none = std::get_if<NoAnswer>(&rule))
        return *none;
    if (m_rates.withhold)
        return NoAnswer::Withheld;
    if (!MayAnswer(sender))
        return NoAnswer::RefusedSender;
    if (Chance(m_rates.dropPercent))
        return NoAnswer::Dropped;
    const bool spoil = Chance(m_rates.spoilPercent);
    const bool twice = Chance(m_rates.twicePercent);
    return Shaped(std::get<AckFrame>(rule), spoil, twice, m_rates.delay);
}

AnswerDecision AnswerPolicy::Decide(std::span<const std::uint8_t> datagram, const Endpoint& sender,
                                    const AnswerFaults& faults) const
{
    const auto rule = Rule(datagram);
    if (const auto* none = std::get_if<NoAnswer>(&rule))
        return *none;
    if (faults.withhold)
        return NoAnswer::Withheld;
    if (!MayAnswer(sender))
        return NoAnswer::RefusedSender;
    if (faults.drop)
        return NoAnswer::Dropped;
    return Shaped(std::get<AckFrame>(rule), faults.spoil, faults.twice, faults.delay);
}

} // namespace veltrano
