#pragma once

#include "link/ack_matcher.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "protocol/frame_decoder.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

// What the centre knows of each panel it hears, a panel being its peer's address with its communicator and
// device (the port it last sent from is kept, a panel that restarts taking another): when it was last heard,
// what status it reported last and its silences.
struct SupervisedPanel
{
    Endpoint peer;
    std::uint8_t comm{0};
    std::uint8_t dev{0};
    bool missing{false};
    bool hasStatus{false};
    StatusBytes status{};
    std::uint32_t gaps{0};            // times it was reported missing
    std::int64_t lastHeardUs{0};      // since the supervisor started
    std::int64_t longestSilenceUs{0}; // between two frames heard, or up to now while missing
};

// Tells which panels went silent for longer than a limit, once each time, and which came back. Memory stays
// bounded: a peer address holds at most the whole address space, and at most `maxPeers` peer addresses are
// followed (DEFAULT_MAX_PEERS: 4096); frames from others are counted and not followed.
class Supervisor final
{
public:
    struct Limits
    {
        std::chrono::microseconds silence{std::chrono::seconds(60)};
        std::size_t maxPeers{DEFAULT_MAX_PEERS};
    };
    static constexpr std::size_t DEFAULT_MAX_PEERS = 4096;

    enum class Change : std::uint8_t
    {
        Missing,
        Back,
    };
    struct Report
    {
        Change change{Change::Missing};
        const SupervisedPanel* panel{nullptr};
        std::int64_t silentUs{0};
    };

    Supervisor(Limits limits, MonoTime start);

    // A datagram from `peer`: a panel's frame unless an acknowledgement or too short to name its panel.
    // A Back report when the panel had been reported missing.
    std::optional<Report> Heard(const Endpoint& peer, const DecodedFrame& decoded, MonoTime now);
    // Reports each panel silent longer than the limit once; calling it a few times per limit is enough.
    template <typename Reported>
    void Check(MonoTime now, Reported&& reported)
    {
        const std::int64_t nowUs = Micros(now);
        for (SupervisedPanel& panel : m_panels) {
            if (panel.missing || nowUs - panel.lastHeardUs <= m_limits.silence.count())
                continue;
            panel.missing = true;
            ++panel.gaps;
            ++m_missing;
            reported(Report{Change::Missing, &panel, nowUs - panel.lastHeardUs});
        }
    }
    // How often Check should run for reports to be late by a quarter of the limit at most.
    std::chrono::milliseconds CheckPeriod() const;

    std::size_t Seen() const { return m_panels.size(); }
    std::size_t MissingNow() const { return m_missing; }
    std::uint64_t Unfollowed() const { return m_unfollowed; }
    std::span<const SupervisedPanel> Panels() const { return m_panels; }
    // Longest silence of a panel up to now: a missing one's silence lasts still.
    std::int64_t SilenceUs(const SupervisedPanel& panel, MonoTime now) const;
    // The `count` panels with the longest silences, longest first.
    std::vector<const SupervisedPanel*> LongestSilences(std::size_t count, MonoTime now) const;

private:
    // Panels by peer address and panel number, open addressing in one array: a lookup per frame touches one
    // line of memory where a node-based map follows a pointer more, at tens of thousands of frames a second.
    struct Slot
    {
        std::uint64_t key{0}; // the panel's key plus one; 0: free
        std::uint32_t panel{0};
    };

    static std::uint64_t KeyOf(std::uint32_t address, std::uint8_t comm, std::uint8_t dev)
    {
        return std::uint64_t{address} << 16 | std::uint64_t{comm} << 8 | dev;
    }
    std::int64_t Micros(MonoTime now) const;
    Slot& Find(std::uint64_t key);
    std::optional<Report> Update(SupervisedPanel& panel, const Endpoint& peer, const DecodedFrame& decoded,
                                 std::int64_t nowUs);
    void Grow();

    Limits m_limits;
    MonoTime m_start;
    std::vector<SupervisedPanel> m_panels;
    std::vector<Slot> m_index{std::vector<Slot>(1024)};       // peer address and panel number to m_panels
    std::unordered_map<std::uint64_t, std::uint32_t> m_peers; // peer address to its panels
    std::size_t m_next{0}; // the panel heard after the last one last time round
    std::size_t m_missing{0};
    std::uint64_t m_unfollowed{0};
};
