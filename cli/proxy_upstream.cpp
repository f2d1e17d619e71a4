#include "cli/proxy_upstream.h"

#include "cli/command_run.h"

#include <fmt/format.h>

using namespace veltrano;

ProxyUpstream::Admission ProxyUpstream::Admit(const Endpoint& panel, std::uint32_t replySource, MonoTime now)
{
    const auto opened = m_sessions.Up(panel, now);
    std::string_view refusal;
    if (!opened) {
        refusal = "refused: sessions at their bound";
    } else if (opened->created) {
        if (auto open = m_sockets.Open(opened->slot, 0, m_centre, m_receiveBuffer); !open) {
            if (!m_openFailed)
                PrintError(open.error());
            m_openFailed = true;
            m_sessions.End(opened->slot);
            refusal = "refused: no socket for a session";
        }
        if (opened->slot >= m_replySource.size())
            m_replySource.resize(opened->slot + 1);
    }
    if (!refusal.empty()) {
        if (!m_refusedTold)
            PrintError(fmt::format("{} sessions at most: datagrams from new panels are refused",
                                   m_sessions.Bounds().maxSessions));
        m_refusedTold = true;
        ++m_refused;
        return {0, refusal};
    }
    m_replySource[opened->slot] = replySource;
    return {KeyOf(opened->slot), {}};
}

std::uint64_t ProxyUpstream::KeyOf(std::uint32_t slot) const
{
    return std::uint64_t{m_sessions.At(slot)->serial} << 32 | slot;
}

std::optional<std::uint32_t> ProxyUpstream::LiveSlot(std::uint64_t session) const
{
    const auto slot = static_cast<std::uint32_t>(session);
    const auto* open = m_sessions.At(slot);
    if (open == nullptr || open->serial != static_cast<std::uint32_t>(session >> 32))
        return std::nullopt;
    return slot;
}

std::optional<std::pair<Endpoint, std::uint64_t>> ProxyUpstream::Answered(std::uint32_t slot, MonoTime now)
{
    const auto panel = m_sessions.Down(slot, now);
    if (!panel)
        return std::nullopt;
    return std::pair{*panel, KeyOf(slot)};
}

void ProxyUpstream::Expire(MonoTime now)
{
    m_sessions.Expire(now, [this](std::uint32_t slot) { m_sockets.Close(slot); });
}
