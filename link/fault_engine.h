#pragma once

#include "link/ack_matcher.h"
#include "link/fault_rules.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <unordered_map>
#include <vector>

namespace veltrano {

// A fault done to a datagram, and the number of the rule that did it.
struct FaultMark
{
    FaultAction action{FaultAction::Drop};
    std::uint32_t rule{0};
};

// The faults a datagram met, in the order they were done; a few at most are kept.
class FaultMarks final
{
public:
    static constexpr std::size_t KEPT = 6;

    void Add(FaultMark mark)
    {
        if (m_count < KEPT)
            m_marks[m_count++] = mark;
    }
    std::span<const FaultMark> Marks() const { return {m_marks.data(), m_count}; }
    bool Empty() const { return m_count == 0; }
    bool Has(FaultAction action) const;

private:
    std::array<FaultMark, KEPT> m_marks{};
    std::size_t m_count{0};
};

// A datagram handed to the rules: which way it goes, its session (the caller's tag, which comes back with it)
// and the panel it belongs to (its sender going up, its receiver going down).
struct FaultDatagram
{
    bool up{true};
    std::uint64_t session{0};
    Endpoint panel;
    std::span<const std::uint8_t> bytes;
    const DecodedFrame* decoded{nullptr};  // of `bytes`; decoded once by the caller
    std::array<std::int64_t, 2> carried{}; // the caller's, back with every copy
};

// A datagram as the rules left it: to send when due, or dropped (with the fault that dropped it last).
struct FaultedCopy
{
    bool up{true};
    std::uint64_t session{0};
    Endpoint panel;
    std::vector<std::uint8_t> bytes;
    MonoTime due{};
    bool dropped{false};
    std::uint32_t copy{0}; // 0: the datagram itself; 1 to N: its duplicates
    FaultMarks marks;
    std::array<std::int64_t, 2> carried{};
};

// The fault rules in their order, applied to every datagram: a drop ends its way, delays add up, a
// duplicate meets the later rules once per copy. Every choice (pct, jitter, burst loss) comes from one
// generator seeded once, so the same seed and the same datagrams give the same faults.
class FaultEngine final
{
public:
    // The longest a reordered datagram waits for the next of its direction and session.
    static constexpr std::chrono::milliseconds REORDER_HOLD_LIMIT{1000};
    // Distinct frames each withhold rule remembers; the oldest are forgotten past it.
    static constexpr std::size_t WITHHOLD_MEMORY = 1 << 16;
    // The copies one datagram may become, however many rules copy it: dup rules in a row multiply.
    static constexpr std::size_t MAX_COPIES = 64;

    struct Rule
    {
        std::uint32_t number{0};
        FaultRule rule;
        std::uint64_t matched{0}; // datagrams the rule named, before pct
        std::uint64_t acted{0};   // those it did its fault to
        int origin{0};            // the caller's mark of where it came from (a file, the API)
    };

    enum class Fate : std::uint8_t
    {
        Untouched, // no rule names it: the caller sends the datagram as it is, now
        Walked,    // it went through the rules: its copies (or its drop) are in Ready, or held until due
    };

    explicit FaultEngine(std::uint64_t seed = 0) : m_random(seed) {}

    // The rule's number: one more than the last given.
    std::uint32_t Add(FaultRule rule, int origin = 0);
    bool Remove(std::uint32_t number);
    // Removes every rule of `origin` (every rule when none given).
    void Clear(std::optional<int> origin = std::nullopt);
    const std::vector<Rule>& Rules() const { return m_rules; }
    bool Empty() const { return m_rules.empty(); }

    // Applies the rules to a datagram at `now`; its bytes are copied only when a rule names it. A datagram
    // that goes, whether untouched or as a copy ready now, lets a reordered one of its direction and session
    // go after it (into Ready).
    Fate Submit(const FaultDatagram& datagram, MonoTime now);
    // Held copies due by `now` join Ready, in the order they fall due.
    void Release(MonoTime now);
    // Copies to send now (and drops to report), in order, each due when it went; the caller clears it once
    // they went.
    std::vector<FaultedCopy>& Ready() { return m_ready; }
    std::optional<MonoTime> NextDue() const;
    std::size_t Held() const { return m_delayed.size() + m_reordered.size(); }

private:
    struct Due
    {
        MonoTime due;
        std::uint64_t order{0};
        friend bool operator>(const Due& a, const Due& b)
        {
            return a.due != b.due ? a.due > b.due : a.order > b.order;
        }
    };
    struct RuleState
    {
        bool inBurst{false};
        std::unordered_map<std::uint64_t, std::uint32_t> copiesSeen;
        std::deque<std::uint64_t> seenOrder;
    };

    // A copy a dup rule made, and the rule after that one, where its way goes on.
    struct Duplicate
    {
        FaultedCopy copy;
        std::size_t from{0};
    };
    // Runs `copy` through the rules from index `first`; duplicates are walked after it, each using up one of
    // `budget`, the copies the datagram may still become.
    void Walk(FaultedCopy copy, const FaultDatagram& datagram, std::size_t first, MonoTime now,
              std::size_t& budget);
    // Whether rule `index` acts on the copy, doing its fault; false when the copy goes no further.
    bool Act(std::size_t index, FaultedCopy& copy, const FaultDatagram& datagram,
             std::vector<Duplicate>& duplicates, std::size_t& budget);
    void Place(FaultedCopy copy, MonoTime now);
    void Went(bool up, std::uint64_t session, MonoTime now);
    bool Chance(double percent);
    bool Withheld(RuleState& state, std::uint32_t limit, const FaultDatagram& datagram);

    std::vector<Rule> m_rules;
    std::vector<RuleState> m_states; // beside m_rules
    std::uint32_t m_lastNumber{0};
    std::mt19937_64 m_random;
    std::vector<FaultedCopy> m_ready;
    std::vector<std::pair<Due, FaultedCopy>> m_delayed; // a heap, earliest first
    std::uint64_t m_order{0};
    // One reordered copy per direction and session, with the time it goes at the latest.
    std::unordered_map<std::uint64_t, FaultedCopy> m_reordered;
};

} // namespace veltrano
