#pragma once

#include "sim/status_rules.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrano {

// One event a panel's frame carried, as the log keeps it.
struct LoggedEvent
{
    std::int64_t wallUs{0}; // wall clock of the frame, microseconds since the epoch
    std::uint32_t panel{0}; // the panel's index in its book
    std::uint16_t port{0};  // the port the frame came from (a panel that restarts may take another)
    PanelEvent event;
};
static_assert(sizeof(LoggedEvent) <= 32, "an event costs at most 32 bytes");

// The events of every panel, oldest first, in a ring of CAPACITY: once full, each new event takes the place
// of the oldest. Every event has a sequence number, 0 for the first ever, one more for each after, so that a
// reader asks for "the events since N" and learns how many it missed. Memory grows with use up to
// CAPACITY * sizeof(LoggedEvent) (3 MiB).
class EventLog final
{
public:
    static constexpr std::size_t CAPACITY = 131'072;

    void Add(const LoggedEvent& event)
    {
        if (m_events.size() < CAPACITY) {
            if (m_events.capacity() == 0)
                m_events.reserve(CAPACITY);
            m_events.push_back(event);
        } else {
            m_events[m_next % CAPACITY] = event;
        }
        ++m_next;
    }

    // The sequence number the next event will take: every event ever logged.
    std::uint64_t NextSeq() const { return m_next; }
    // The oldest event kept; those before it were overwritten.
    std::uint64_t FirstSeq() const { return m_next - m_events.size(); }
    std::size_t size() const { return m_events.size(); }
    // The event of a sequence number from FirstSeq() to NextSeq() - 1.
    const LoggedEvent& At(std::uint64_t seq) const { return m_events[seq % CAPACITY]; }

    // visit(seq, event) for each event kept with a sequence number of `since` or more, oldest first; the
    // sequence number to ask from next time.
    template <typename Visit>
    std::uint64_t ForEachSince(std::uint64_t since, Visit&& visit) const
    {
        for (std::uint64_t seq = since < FirstSeq() ? FirstSeq() : since; seq < m_next; ++seq)
            visit(seq, At(seq));
        return m_next;
    }

    // Bytes held, for the bounds the bench checks.
    std::size_t MemoryBytes() const { return m_events.capacity() * sizeof(LoggedEvent); }

private:
    std::vector<LoggedEvent> m_events;
    std::uint64_t m_next{0};
};

} // namespace veltrano
