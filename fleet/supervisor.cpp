#include "fleet/supervisor.h"

#include <algorithm>

Supervisor::Supervisor(Limits limits, MonoTime start) : m_limits(limits), m_start(start) {}

std::int64_t Supervisor::Micros(MonoTime now) const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(now - m_start).count();
}

Supervisor::Slot& Supervisor::Find(std::uint64_t key)
{
    const std::size_t mask = m_index.size() - 1;
    for (std::size_t i = ((key + 1) * 0x9E3779B97F4A7C15ULL) >> 16;; ++i) {
        Slot& slot = m_index[i & mask];
        if (slot.key == key + 1 || slot.key == 0)
            return slot;
    }
}

void Supervisor::Grow()
{
    std::vector<Slot> old(m_index.size() * 2);
    old.swap(m_index);
    for (const Slot& slot : old)
        if (slot.key != 0)
            Find(slot.key - 1) = slot;
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
    const std::uint64_t key = KeyOf(peer.address, decoded.comm, decoded.device);
    // Panels that report periodically come round in the same order: the one after the last heard is the
    // likeliest, and the walk through the table is then one through memory.
    if (m_next >= m_panels.size())
        m_next = 0;
    if (m_next < m_panels.size()) {
        SupervisedPanel& next = m_panels[m_next];
        if (KeyOf(next.peer.address, next.comm, next.dev) == key) {
            ++m_next;
            return Update(next, peer, decoded, nowUs);
        }
    }
    Slot* slot = &Find(key);
    if (slot->key == 0) {
        if (!m_peers.contains(peerKey) && m_peers.size() >= m_limits.maxPeers) {
            ++m_unfollowed;
            return std::nullopt;
        }
        ++m_peers[peerKey];
        SupervisedPanel& panel = m_panels.emplace_back();
        panel.peer = peer;
        panel.comm = decoded.comm;
        panel.dev = decoded.device;
        panel.lastHeardUs = nowUs;
        *slot = {key + 1, static_cast<std::uint32_t>(m_panels.size() - 1)};
        if (m_panels.size() * 2 > m_index.size()) {
            Grow();
            slot = &Find(key);
        }
    }
    m_next = slot->panel + 1;
    return Update(m_panels[slot->panel], peer, decoded, nowUs);
}

std::optional<Supervisor::Report> Supervisor::Update(SupervisedPanel& panel, const Endpoint& peer,
                                                     const DecodedFrame& decoded, std::int64_t nowUs)
{
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
