#include "link/answer_policy.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <iterator>

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

FaultRule DownRule(FaultAction action, double percent, std::string text)
{
    FaultRule rule;
    rule.direction = FaultDirection::Down;
    rule.action = action;
    rule.percent = percent;
    rule.text = percent < 100 ? fmt::format("{} pct={}", text, percent) : std::move(text);
    return rule;
}

void AddShare(std::vector<FaultRule>& rules, FaultAction action, double percent, std::string_view text)
{
    if (percent > 0)
        rules.push_back(DownRule(action, percent, std::string(text)));
}

std::vector<FaultRule> RulesOf(bool withhold, double drop, double spoil, double twice,
                               std::chrono::milliseconds delay)
{
    std::vector<FaultRule> rules;
    if (withhold)
        rules.push_back(DownRule(FaultAction::Drop, 100, "down drop"));
    AddShare(rules, FaultAction::Drop, drop, "down drop");
    AddShare(rules, FaultAction::Corrupt, spoil, "down corrupt");
    AddShare(rules, FaultAction::Dup, twice, "down dup");
    if (delay.count() > 0) {
        FaultRule late = DownRule(FaultAction::Delay, 100, fmt::format("down delay={}", delay.count()));
        late.delay = delay;
        rules.push_back(std::move(late));
    }
    return rules;
}

FaultEngine EngineOf(std::vector<FaultRule> rules, std::uint64_t seed)
{
    FaultEngine engine(seed);
    for (auto& rule : rules)
        engine.Add(std::move(rule));
    return engine;
}

} // namespace

std::string_view AnswerNote(bool delayed, bool duplicate, bool spoilt)
{
    return NOTES[(delayed ? 1U : 0U) | (duplicate ? 2U : 0U) | (spoilt ? 4U : 0U)];
}

std::vector<FaultRule> AnswerFaultRules(const FaultRates& rates)
{
    return RulesOf(rates.withhold, rates.dropPercent, rates.spoilPercent, rates.twicePercent, rates.delay);
}

std::vector<FaultRule> AnswerFaultRules(const AnswerFaults& faults)
{
    return RulesOf(faults.withhold, faults.drop ? 100 : 0, faults.spoil ? 100 : 0, faults.twice ? 100 : 0,
                   faults.delay);
}

Result<std::vector<FaultRule>> AnswerRules(std::span<const std::string> texts)
{
    auto rules = ParseRuleOptions(texts);
    if (!rules)
        return rules;
    for (std::size_t i = 0; i < rules->size(); ++i) {
        if ((*rules)[i].direction == FaultDirection::Up)
            return Failure(
                fmt::format("--rule '{}': a centre's rules act on its answers: down or both", texts[i]));
        if ((*rules)[i].action == FaultAction::Reorder)
            return Failure(
                fmt::format("--rule '{}': a centre holds no answer for the next: no reorder", texts[i]));
    }
    return rules;
}

AnswerPolicy::AnswerPolicy(const FaultRates& rates, std::vector<FaultRule> rules, std::uint64_t seed,
                           std::vector<std::uint32_t> broadcasts)
    : m_withholding(rates.withhold ? 1 : 0), m_broadcasts(std::move(broadcasts))
{
    std::vector<FaultRule> all = AnswerFaultRules(rates);
    std::move(rules.begin(), rules.end(), std::back_inserter(all));
    m_faults = EngineOf(std::move(all), seed);
}

bool AnswerPolicy::MayAnswer(const Endpoint& sender) const
{
    return sender.port != 0 && static_cast<bool>(DestinationAllowed(sender.address, m_broadcasts));
}

AnswerDecision AnswerPolicy::Shaped(const AckFrame& ack, const Endpoint& sender, FaultEngine& engine,
                                    std::uint32_t withholding) const
{
    if (engine.Empty())
        return MayAnswer(sender) ? AnswerDecision(PlannedAnswer{ack, false, false, {}})
                                 : NoAnswer::RefusedSender;
    // The rules see the answer as it would go; a sender refused is told before a drop drawn for it.
    const DecodedFrame decoded = DecodeFrame(ack);
    const MonoTime start{};
    const auto fate = engine.Submit({false, 0, sender, ack, &decoded}, start);
    // Delays are read off the copies, not waited for.
    engine.Release(MonoTime::max());
    std::vector<FaultedCopy> copies = std::move(engine.Ready());
    engine.Ready().clear();
    if (fate == FaultEngine::Fate::Untouched || copies.empty())
        copies.push_back({false, 0, sender, {ack.begin(), ack.end()}, start, false, 0, {}, {}});
    const FaultedCopy& first = copies.front();
    if (first.dropped && !first.marks.Empty() && first.marks.Marks().back().rule == withholding)
        return NoAnswer::Withheld;
    if (!MayAnswer(sender))
        return NoAnswer::RefusedSender;
    if (first.dropped)
        return NoAnswer::Dropped;
    PlannedAnswer planned{
        ack, first.marks.Has(FaultAction::Corrupt),
        static_cast<std::uint32_t>(
            std::count_if(copies.begin() + 1, copies.end(), [](const FaultedCopy& c) { return !c.dropped; })),
        std::chrono::duration_cast<std::chrono::milliseconds>(first.due - start)};
    std::copy_n(first.bytes.begin(), std::min(first.bytes.size(), planned.ack.size()), planned.ack.begin());
    return planned;
}

AnswerDecision AnswerPolicy::Decide(std::span<const std::uint8_t> datagram, const Endpoint& sender)
{
    const auto rule = Rule(datagram);
    if (const auto* none = std::get_if<NoAnswer>(&rule))
        return *none;
    return Shaped(std::get<AckFrame>(rule), sender, m_faults, m_withholding);
}

AnswerDecision AnswerPolicy::Decide(std::span<const std::uint8_t> datagram, const Endpoint& sender,
                                    const AnswerFaults& faults) const
{
    const auto rule = Rule(datagram);
    if (const auto* none = std::get_if<NoAnswer>(&rule))
        return *none;
    FaultEngine chosen = EngineOf(AnswerFaultRules(faults), 0);
    return Shaped(std::get<AckFrame>(rule), sender, chosen, faults.withhold ? 1 : 0);
}

} // namespace veltrano
