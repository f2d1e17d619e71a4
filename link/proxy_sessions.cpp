#include "link/proxy_sessions.h"

namespace veltrano {

std::optional<ProxySessions::Opened> ProxySessions::Up(const Endpoint& panel, MonoTime now)
{
    if (const auto it = m_bySource.find(Key(panel)); it != m_bySource.end()) {
        m_sessions[it->second].lastHeardMs = Ms(now);
        return Opened{it->second, false};
    }
    if (m_bySource.size() >= m_limits.maxSessions) {
        ++m_refused;
        return std::nullopt;
    }
    std::uint32_t slot = 0;
    if (!m_free.empty()) {
        slot = m_free.back();
        m_free.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(m_sessions.size());
        m_sessions.emplace_back();
    }
    m_sessions[slot] = {panel, Ms(now), m_nextSerial++};
    if (m_nextSerial == 0)
        m_nextSerial = 1;
    m_bySource.emplace(Key(panel), slot);
    ++m_opened;
    return Opened{slot, true};
}

std::optional<Endpoint> ProxySessions::Down(std::uint32_t slot, MonoTime now)
{
    if (slot >= m_sessions.size() || m_sessions[slot].serial == 0)
        return std::nullopt;
    m_sessions[slot].lastHeardMs = Ms(now);
    return m_sessions[slot].panel;
}

const ProxySessions::Session* ProxySessions::At(std::uint32_t slot) const
{
    if (slot >= m_sessions.size() || m_sessions[slot].serial == 0)
        return nullptr;
    return &m_sessions[slot];
}

void ProxySessions::Free(std::uint32_t slot)
{
    m_bySource.erase(Key(m_sessions[slot].panel));
    m_sessions[slot] = {};
    m_free.push_back(slot);
}

std::vector<RecordField> ProxySummaryFields(const ProxyWayCounts& up, const ProxyWayCounts& down,
                                            const ProxySessions& sessions)
{
    return {
        {"up_received", up.received},
        {"up_forwarded", up.forwarded},
        {"up_faulted", up.faulted},
        {"up_dropped", up.dropped},
        {"up_send_failed", up.sendFailed},
        {"down_received", down.received},
        {"down_forwarded", down.forwarded},
        {"down_faulted", down.faulted},
        {"down_dropped", down.dropped},
        {"down_send_failed", down.sendFailed},
        {"sessions_opened", sessions.OpenedCount()},
        {"sessions_expired", sessions.ExpiredCount()},
        {"sessions_refused", sessions.RefusedCount()},
        {"sessions_active", static_cast<std::uint64_t>(sessions.Active())},
    };
}

} // namespace veltrano
