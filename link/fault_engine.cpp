#include "link/fault_engine.h"

#include <algorithm>
#include <functional>
#include <string_view>

namespace veltrano {

namespace {

std::uint64_t HeldKey(bool up, std::uint64_t session)
{
    return session << 1 | (up ? 1U : 0U);
}

// FNV-1a over the panel, the direction and the bytes: a distinct frame for withhold.
std::uint64_t FrameKey(const FaultDatagram& datagram)
{
    std::uint64_t hash = 14695981039346656037ULL;
    const auto mix = [&hash](std::uint64_t byte) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    };
    mix(datagram.panel.address);
    mix(datagram.panel.port);
    mix(datagram.up ? 1 : 0);
    for (const std::uint8_t b : datagram.bytes)
        mix(b);
    return hash;
}

// The checksum's place: byte L-1 when the datagram holds its declared length L, else its last byte.
void Spoil(std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty())
        return;
    const std::size_t declared = bytes[FRAME_LENGTH];
    const std::size_t at = declared >= 1 && declared <= bytes.size() ? declared - 1 : bytes.size() - 1;
    bytes[at] ^= 0xFF;
}

} // namespace

bool FaultMarks::Has(FaultAction action) const
{
    return std::ranges::any_of(Marks(), [action](const FaultMark& m) { return m.action == action; });
}

std::uint32_t FaultEngine::Add(FaultRule rule, int origin)
{
    m_rules.push_back({++m_lastNumber, std::move(rule), 0, 0, origin});
    m_states.emplace_back();
    return m_lastNumber;
}

bool FaultEngine::Remove(std::uint32_t number)
{
    const auto it = std::ranges::find(m_rules, number, &Rule::number);
    if (it == m_rules.end())
        return false;
    m_states.erase(m_states.begin() + (it - m_rules.begin()));
    m_rules.erase(it);
    return true;
}

void FaultEngine::Clear(std::optional<int> origin)
{
    for (std::size_t i = m_rules.size(); i-- > 0;) {
        if (origin && m_rules[i].origin != *origin)
            continue;
        m_rules.erase(m_rules.begin() + static_cast<std::ptrdiff_t>(i));
        m_states.erase(m_states.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

bool FaultEngine::Chance(double percent)
{
    if (percent >= 100)
        return true;
    if (percent <= 0)
        return false;
    return std::uniform_real_distribution<double>(0, 100)(m_random) < percent;
}

bool FaultEngine::Withheld(RuleState& state, std::uint32_t limit, const FaultDatagram& datagram)
{
    const std::uint64_t key = FrameKey(datagram);
    auto [it, added] = state.copiesSeen.try_emplace(key, 0);
    if (added) {
        state.seenOrder.push_back(key);
        if (state.seenOrder.size() > WITHHOLD_MEMORY) {
            state.copiesSeen.erase(state.seenOrder.front());
            state.seenOrder.pop_front();
            it = state.copiesSeen.find(key);
        }
    }
    return ++it->second <= limit;
}

FaultEngine::Fate FaultEngine::Submit(const FaultDatagram& datagram, MonoTime now)
{
    // The common case costs a look at each rule's matches, and nothing is copied.
    const bool named = std::ranges::any_of(m_rules, [&datagram](const Rule& entry) {
        return entry.rule.Matches(datagram.up, *datagram.decoded, datagram.panel);
    });
    if (!named) {
        if (!m_reordered.empty())
            Went(datagram.up, datagram.session, now);
        return Fate::Untouched;
    }
    std::size_t budget = MAX_COPIES - 1;
    Walk({datagram.up, datagram.session, datagram.panel, {}, now, false, 0, {}, datagram.carried}, datagram,
         0, now, budget);
    return Fate::Walked;
}

void FaultEngine::Walk(FaultedCopy copy, const FaultDatagram& datagram, std::size_t first, MonoTime now,
                       std::size_t& budget)
{
    std::vector<Duplicate> duplicates;
    for (std::size_t i = first; i < m_rules.size(); ++i) {
        if (!Act(i, copy, datagram, duplicates, budget)) {
            copy.dropped = true;
            break;
        }
    }
    if (copy.bytes.empty() && !datagram.bytes.empty())
        copy.bytes.assign(datagram.bytes.begin(), datagram.bytes.end());
    Place(std::move(copy), now);
    for (auto& duplicate : duplicates)
        Walk(std::move(duplicate.copy), datagram, duplicate.from, now, budget);
}

bool FaultEngine::Act(std::size_t index, FaultedCopy& copy, const FaultDatagram& datagram,
                      std::vector<Duplicate>& duplicates, std::size_t& budget)
{
    Rule& entry = m_rules[index];
    const FaultRule& rule = entry.rule;
    if (!rule.Matches(datagram.up, *datagram.decoded, datagram.panel))
        return true;
    ++entry.matched;
    if (!Chance(rule.percent))
        return true;
    RuleState& state = m_states[index];
    const FaultMark mark{rule.action, entry.number};
    switch (rule.action) {
    case FaultAction::Drop:
        break;
    case FaultAction::Loss:
        // Two states: a burst starts at P_START, and goes on at P_STAY.
        state.inBurst = Chance(state.inBurst ? rule.lossStay : rule.lossStart);
        if (!state.inBurst)
            return true;
        break;
    case FaultAction::Withhold:
        if (!Withheld(state, rule.withhold, datagram))
            return true;
        break;
    case FaultAction::Delay: {
        auto delay = rule.delay;
        if (rule.jitter.count() > 0) {
            const auto low = std::max<std::int64_t>(0, (rule.delay - rule.jitter).count());
            const auto high = (rule.delay + rule.jitter).count();
            delay =
                std::chrono::milliseconds(std::uniform_int_distribution<std::int64_t>(low, high)(m_random));
        }
        copy.due += delay;
        ++entry.acted;
        copy.marks.Add(mark);
        return true;
    }
    case FaultAction::Dup:
        ++entry.acted;
        copy.marks.Add(mark);
        if (copy.bytes.empty())
            copy.bytes.assign(datagram.bytes.begin(), datagram.bytes.end());
        // Each copy goes on from the next rule, as the datagram does; rules that copy again multiply them,
        // up to the bound.
        for (std::uint32_t k = 1; k <= rule.copies && budget > 0; ++k, --budget) {
            FaultedCopy duplicate = copy;
            duplicate.copy = copy.copy != 0 ? copy.copy : k;
            duplicates.push_back({std::move(duplicate), index + 1});
        }
        return true;
    case FaultAction::Corrupt:
        if (datagram.bytes.empty())
            return true;
        if (copy.bytes.empty())
            copy.bytes.assign(datagram.bytes.begin(), datagram.bytes.end());
        Spoil(copy.bytes);
        ++entry.acted;
        copy.marks.Add(mark);
        return true;
    case FaultAction::Reorder:
        ++entry.acted;
        copy.marks.Add(mark);
        return true;
    }
    ++entry.acted;
    copy.marks.Add(mark);
    return false;
}

void FaultEngine::Place(FaultedCopy copy, MonoTime now)
{
    if (copy.dropped) {
        m_ready.push_back(std::move(copy));
        return;
    }
    if (copy.marks.Has(FaultAction::Reorder)) {
        // One waits at a time per direction and session: an earlier one goes now, before this one waits.
        const std::uint64_t key = HeldKey(copy.up, copy.session);
        copy.due = std::max(copy.due, now + REORDER_HOLD_LIMIT);
        if (auto it = m_reordered.find(key); it != m_reordered.end()) {
            it->second.due = now;
            m_ready.push_back(std::move(it->second));
            it->second = std::move(copy);
        } else {
            m_reordered.emplace(key, std::move(copy));
        }
        return;
    }
    if (copy.due > now) {
        m_delayed.push_back({{copy.due, m_order++}, std::move(copy)});
        std::ranges::push_heap(m_delayed, std::greater<>{}, &std::pair<Due, FaultedCopy>::first);
        return;
    }
    const bool up = copy.up;
    const std::uint64_t session = copy.session;
    m_ready.push_back(std::move(copy));
    if (!m_reordered.empty())
        Went(up, session, now);
}

void FaultEngine::Went(bool up, std::uint64_t session, MonoTime now)
{
    const auto it = m_reordered.find(HeldKey(up, session));
    if (it == m_reordered.end())
        return;
    it->second.due = now;
    m_ready.push_back(std::move(it->second));
    m_reordered.erase(it);
}

void FaultEngine::Release(MonoTime now)
{
    while (!m_delayed.empty() && m_delayed.front().first.due <= now) {
        std::ranges::pop_heap(m_delayed, std::greater<>{}, &std::pair<Due, FaultedCopy>::first);
        FaultedCopy copy = std::move(m_delayed.back().second);
        m_delayed.pop_back();
        const MonoTime due = copy.due;
        Place(std::move(copy), due);
    }
    for (auto it = m_reordered.begin(); it != m_reordered.end();) {
        if (it->second.due <= now) {
            m_ready.push_back(std::move(it->second));
            it = m_reordered.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<MonoTime> FaultEngine::NextDue() const
{
    std::optional<MonoTime> next;
    if (!m_delayed.empty())
        next = m_delayed.front().first.due;
    for (const auto& [key, copy] : m_reordered)
        if (!next || copy.due < *next)
            next = copy.due;
    return next;
}

} // namespace veltrano
