#include "fleet/supervisor.h"

#include <algorithm>

Supervisor::Supervisor(Limits limits, MonoTime start) : m_limits(limits), m_start(start) {}

std::int64_t Supervisor::Micros(MonoTime now) const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(now - m_start).count();
}

std::chrono::milliseconds Supervisor::CheckPeriod() const
{
    const auto quarter = std::chrono::duration_cast<std::chrono::milliseconds>(m_limits.silence / 4);
    return std::clamp(quarter, std::chrono::milliseconds(20), std::chrono::milliseconds(1000));
}

std::optional<Supervisor::Report> Supervisor::Heard(const Endpoint& peer, const DecodedFrame& decoded,
                                                     MonoTime now)
{
    if (decoded.ack || decoded.size < FRAME_DEVICE_NO + 1 || decoded.comm > MAX_ADDRESS_NUMBER ||
        decoded.device > MAX_ADDRESS_NUMBER)
        return std::nullopt;
    const std::int64_t nowUs = Micros(now);
    const std::uint64_t peerKey = peer.address;
    const std::uint64_t key = (peerKey << 16) | (std::uint64_t{decoded.comm} << 8) | decoded.device;
    auto [found, added] = m_index.try_emplace(key, static_cast<std::uint32_t>(m_panels.size()));
    if (added) {
        auto peerFound = m_peers.find(peerKey);
        if (peerFound == m_peers.end() && m_peers.size() >= m_limits.maxPeers) {
            m_index.erase(found);
            ++m_unfollowed;
            return std::nullopt;
        }
        ++m_peers[peerKey];
        SupervisedPanel& panel = m_panels.emplace_back();
        panel.peer = peer;
        panel.comm = decoded.comm;
        panel.dev = decoded.device;
        panel.lastHeardUs = nowUs;
    }
    SupervisedPanel& panel = m_panels[found->second];
    panel.peer = peer; // a panel that starts again may send from another port
    const std::int64_t silentUs = nowUs - panel.lastHeardUs;
    panel.longestSilenceUs = std::max(panel.longestSilenceUs, silentUs);
    panel.lastHeardUs = nowUs;
    if (decoded.kind == CommandKind::Status && decoded.statusCount == panel.status.size()) {
        panel.status = decoded.status;
        panel.hasStatus = true;
    }
    if (!panel.missing)
        return std::nullopt;
    panel.missing = false;
    --m_missing;
    return Report{Change::Back, &panel, silentUs};
}

std::int64_t Supervisor::SilenceUs(const SupervisedPanel& panel, MonoTime now) const
{
    return panel.missing ? std::max(panel.longestSilenceUs, Micros(now) - panel.lastHeardUs)
                         : panel.longestSilenceUs;
}

std::vector<const SupervisedPanel*> Supervisor::LongestSilences(std::size_t count, MonoTime now) const
{
    std::vector<const SupervisedPanel*> all;
    all.reserve(m_panels.size());
    for (const SupervisedPanel& panel : m_panels)
        all.push_back(&panel);
    count = std::min(count, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count), all.end(),
                      [&](const SupervisedPanel* a, const SupervisedPanel* b) {
                          return SilenceUs(*a, now) > SilenceUs(*b, now);
                      });
    all.resize(count);
    return all;
}
