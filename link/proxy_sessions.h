#pragma once

#include "link/ack_matcher.h"
#include "link/frame_record.h"
#include "protocol/endpoint.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace veltrano {

// The proxy's sessions: one per panel source (address and port), each known by a slot that names its
// upstream socket, so that the centre sees one stable source per panel and every answer goes back to the
// panel whose socket heard it. A session ends after `idle` of silence both ways.
class ProxySessions final
{
public:
    struct Limits
    {
        std::chrono::milliseconds idle{std::chrono::seconds(120)};
        std::size_t maxSessions{4096};
    };

    struct Session
    {
        Endpoint panel;
        std::int64_t lastHeardMs{0}; // monotonic, either way
        std::uint32_t serial{0};     // which session the slot holds now; 0: none
    };

    struct Opened
    {
        std::uint32_t slot{0};
        bool created{false}; // a new session: the caller opens its socket
    };

    explicit ProxySessions(Limits limits) : m_limits(limits) {}

    // The session of a datagram from `panel` at `now`, made when new; none past the bound (counted).
    std::optional<Opened> Up(const Endpoint& panel, MonoTime now);
    // The panel an answer heard on `slot`'s socket goes to, its session kept alive; none for a free slot.
    std::optional<Endpoint> Down(std::uint32_t slot, MonoTime now);
    // Ends the sessions silent for `idle` by `now`, calling closed(slot) for each before its slot is freed.
    template <typename Closed>
    std::size_t Expire(MonoTime now, Closed&& closed)
    {
        std::size_t count = 0;
        const std::int64_t oldest = Ms(now) - m_limits.idle.count();
        for (std::uint32_t slot = 0; slot < m_sessions.size(); ++slot) {
            if (m_sessions[slot].serial == 0 || m_sessions[slot].lastHeardMs > oldest)
                continue;
            closed(slot);
            Free(slot);
            ++count;
        }
        m_expired += count;
        return count;
    }
    const Session* At(std::uint32_t slot) const;
    // Ends a session at once: its socket could not be opened.
    void End(std::uint32_t slot)
    {
        if (At(slot) != nullptr)
            Free(slot);
    }

    std::size_t Active() const { return m_bySource.size(); }
    std::uint64_t OpenedCount() const { return m_opened; }
    std::uint64_t ExpiredCount() const { return m_expired; }
    std::uint64_t RefusedCount() const { return m_refused; }
    const Limits& Bounds() const { return m_limits; }

private:
    static std::int64_t Ms(MonoTime time)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    }
    static std::uint64_t Key(const Endpoint& panel)
    {
        return std::uint64_t{panel.address} << 16 | panel.port;
    }
    void Free(std::uint32_t slot);

    Limits m_limits;
    std::vector<Session> m_sessions;
    std::vector<std::uint32_t> m_free;
    std::unordered_map<std::uint64_t, std::uint32_t> m_bySource;
    std::uint32_t m_nextSerial{1};
    std::uint64_t m_opened{0};
    std::uint64_t m_expired{0};
    std::uint64_t m_refused{0};
};

// What the proxy counted of one direction's datagrams.
struct ProxyWayCounts
{
    std::uint64_t received{0};
    std::uint64_t forwarded{0}; // copies handed to the system
    std::uint64_t faulted{0};   // copies a rule did something to, drops included
    std::uint64_t dropped{0};
    std::uint64_t sendFailed{0};
};

// The proxy's summary fields: each direction's counts, then the sessions'.
std::vector<RecordField> ProxySummaryFields(const ProxyWayCounts& up, const ProxyWayCounts& down,
                                            const ProxySessions& sessions);

} // namespace veltrano
