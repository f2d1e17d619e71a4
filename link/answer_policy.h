#pragma once

#include "link/fault_engine.h"
#include "protocol/acknowledgement.h"
#include "protocol/endpoint.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace veltrano {

// Why a datagram goes unanswered, in the order the policy asks.
enum class NoAnswer : std::uint8_t
{
    Empty,           // zero bytes
    Oversize,        // too long to be read as a frame
    Acknowledgement, // an acknowledgement is never answered
    Withheld,        // the centre was told to answer nothing
    RefusedSender,   // port 0, or an address that is no unicast one: never sent to
    Dropped,         // left unanswered on purpose, as a lost answer
};

// The faults one answer is to show; a test centre chooses them per answer, a load centre draws them.
struct AnswerFaults
{
    bool withhold{false};
    bool drop{false};
    bool spoil{false}; // the checksum's bits turned over
    bool twice{false};
    std::chrono::milliseconds delay{0};
};

// Each fault's share of the answers, drawn per datagram.
struct FaultRates
{
    bool withhold{false};
    double dropPercent{0};
    double spoilPercent{0};
    double twicePercent{0};
    std::chrono::milliseconds delay{0};
};

// An answer to send: the acknowledgement as it goes out and what was done to it.
struct PlannedAnswer
{
    AckFrame ack{};
    bool spoilt{false};
    std::uint32_t duplicates{0}; // copies after the first
    std::chrono::milliseconds delay{0};
};

using AnswerDecision = std::variant<PlannedAnswer, NoAnswer>;

// The answer faults as rules of the fault engine, in the order they act: an answer withheld ("down drop",
// first, so that nothing else is drawn for it), dropped, its checksum spoilt, sent twice, delayed. A share of
// 0 makes no rule.
std::vector<FaultRule> AnswerFaultRules(const FaultRates& rates);
std::vector<FaultRule> AnswerFaultRules(const AnswerFaults& faults);

// A centre's own rules (`centre --rule`), which act on its answers after the shorthand options' rules; the
// reason, naming the rule, for one that does not read or cannot act on an answer: one going up, or reorder
// (an answer is never held for the next).
Result<std::vector<FaultRule>> AnswerRules(std::span<const std::string> texts);

// The note on the line of an answer sent: "delayed", "duplicate" (the second copy), "checksum spoilt", or
// several of them joined by ", "; empty for a plain answer.
std::string_view AnswerNote(bool delayed, bool duplicate, bool spoilt);

// The centre's rule for every datagram: every frame that is not an acknowledgement is answered, only ever to
// its sender and never to a sender that is no unicast address, with the faults asked for, which the fault
// engine does to the answer as it does to any datagram going down.
class AnswerPolicy final
{
public:
    // `broadcasts`: this machine's directed broadcast addresses, refused like the limited one.
    AnswerPolicy(const FaultRates& rates, std::vector<FaultRule> rules, std::uint64_t seed,
                 std::vector<std::uint32_t> broadcasts);
    explicit AnswerPolicy(std::vector<std::uint32_t> broadcasts)
        : AnswerPolicy({}, {}, 0, std::move(broadcasts))
    {}

    // The answer to `datagram` from `sender`, its faults drawn at the policy's rates (in the order drop,
    // spoil, twice, so that one seed repeats a run).
    AnswerDecision Decide(std::span<const std::uint8_t> datagram, const Endpoint& sender);
    // The same with the faults chosen by the caller.
    AnswerDecision Decide(std::span<const std::uint8_t> datagram, const Endpoint& sender,
                          const AnswerFaults& faults) const;
    // Whether an answer may go to `sender` at all.
    bool MayAnswer(const Endpoint& sender) const;

private:
    // The answer as `engine`'s rules leave it; `withholding` the number of the rule that stands for
    // "answer nothing", 0 when none does.
    AnswerDecision Shaped(const AckFrame& ack, const Endpoint& sender, FaultEngine& engine,
                          std::uint32_t withholding) const;

    FaultEngine m_faults;
    std::uint32_t m_withholding{0};
    std::vector<std::uint32_t> m_broadcasts;
};

} // namespace veltrano
