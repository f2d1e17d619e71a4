#pragma once

#include "book/event_log.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "protocol/frame_decoder.h"
#include "sim/status_rules.h"

#include <array>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

// The centre's book of the panels it hears: per panel its peer, when it was last heard, how many frames it
// sent, the status it holds (read through the status rules) and whether it is missing; and the log of the
// events their frames carried. The window's panel view and the companion's centre both read it.
//
// A panel is a peer address (not its port) with a communicator and a device number. It enters the book
// with the first frame that names it (NamesPanel: not an acknowledgement, both numbers 0 to 239, malformed
// or not) and holds FIRST_STATUS until its first well-formed status frame. Every frame that names it shows
// it alive; only well-formed ones change its status or fault and carry events.
//
// For a reader such as a table view:
// - panels keep the index they entered with (Panel(i), 0 to size() - 1): rows never move;
// - TakeChanged(visit) gives the index of each panel changed since the last call (heard, gone missing, back,
//   its silence limit changed), once each, ascending; a book nobody reads only sets a bit per frame;
// - Events().ForEachSince(seq, visit) gives the events since a sequence number;
// - AppendZoneList / AppendFlagWordsZh (sim/status_rules.h) word a status in the catalogue's names.
//
// Bounds: at most maxPeers peer addresses (DEFAULT_MAX_PEERS) are followed, each with at most the
// 57,600 panel numbers; frames of other addresses are counted as unfollowed. A panel costs at most
// MAX_BYTES_PER_PANEL in all (record, index and change bits) at 57,600 panels; the event log is a ring of
// EventLog::CAPACITY events of at most 32 bytes each.
namespace veltrano {

using SteadyTime = std::chrono::steady_clock::time_point;

struct BookPanel
{
    std::uint32_t address{0}; // the peer's address, host order
    std::uint16_t port{0};    // the port it last sent from
    std::uint8_t comm{0};
    std::uint8_t dev{0};
    StatusBytes status{FIRST_STATUS};
    std::uint32_t gaps{0};             // times it was reported missing
    std::uint64_t frames{0};           // frames that named it
    std::int64_t lastHeardUs{0};       // monotonic clock, since the book started
    std::int64_t lastHeardWallUs{0};   // wall clock, since the epoch
    std::uint32_t longestSilenceMs{0}; // between two frames heard (saturates at 49 days)
    std::uint8_t flags{0};             // the bits below

    static constexpr std::uint8_t MISSING = 1;
    static constexpr std::uint8_t HAS_STATUS = 2; // a well-formed status frame was heard
    static constexpr std::uint8_t FAULT = 4;      // a fault frame, no fault-restore since

    Endpoint Peer() const { return {address, port}; }
    bool Missing() const { return (flags & MISSING) != 0; }
    bool HasStatus() const { return (flags & HAS_STATUS) != 0; }
    bool Fault() const { return (flags & FAULT) != 0; }
    bool InAlarm() const { return status[ZoneAlarm] != 0; }
};
static_assert(sizeof(BookPanel) <= 48, "a panel's record takes 48 bytes");

class PanelBook final
{
public:
    static constexpr std::size_t DEFAULT_MAX_PEERS = 4096;
    static constexpr std::size_t MAX_BYTES_PER_PANEL = 64;
    static constexpr std::uint32_t NO_PANEL = 0xFFFFFFFF;
    // Per-kind event counts: the catalogue's rows, then the status-bits event.
    static constexpr std::size_t EVENT_KINDS = 24;

    struct Limits
    {
        std::chrono::microseconds silence{0}; // 0: no panel is ever reported missing
        std::size_t maxPeers{DEFAULT_MAX_PEERS};
    };

    enum class Change : std::uint8_t
    {
        Missing,
        Back,
    };
    struct Report
    {
        Change change{Change::Missing};
        std::uint32_t panel{NO_PANEL};
        std::int64_t silentUs{0};
    };

    // What one datagram did.
    struct Heard
    {
        PanelFrameKind kind{PanelFrameKind::Malformed};
        std::uint32_t panel{NO_PANEL}; // the panel it named; NO_PANEL when none or not followed
        std::uint64_t firstSeq{0};     // its events are firstSeq to firstSeq + events - 1 in Events()
        std::uint32_t events{0};
        std::optional<Report> back; // the panel had been reported missing
    };

    struct Counts
    {
        std::uint64_t datagrams{0};
        std::uint64_t acknowledgements{0};
        std::uint64_t malformed{0};
        std::uint64_t other{0};      // well-formed frames of other commands
        std::uint64_t unfollowed{0}; // frames of panels beyond maxPeers addresses
        std::uint64_t events{0};
    };

    PanelBook(Limits limits, SteadyTime start);
    ~PanelBook();
    PanelBook(const PanelBook&) = delete;
    PanelBook& operator=(const PanelBook&) = delete;

    // A datagram from `peer`, taken at `now` (monotonic) and `wallUs` (wall clock).
    Heard Hear(const Endpoint& peer, const DecodedFrame& decoded, SteadyTime now, std::int64_t wallUs);

    // Reports each panel silent longer than the limit once (Missing); nothing while the limit is off.
    // Calling it every CheckPeriod() makes reports late by a quarter of the limit at most.
    template <typename Reported>
    void Check(SteadyTime now, Reported&& reported)
    {
        if (m_limits.silence.count() <= 0)
            return;
        const std::int64_t nowUs = Micros(now);
        for (std::uint32_t i = 0; i < m_size; ++i) {
            BookPanel& panel = At(i);
            if (panel.Missing() || nowUs - panel.lastHeardUs <= m_limits.silence.count())
                continue;
            MarkMissing(i, panel);
            reported(Report{Change::Missing, i, nowUs - panel.lastHeardUs});
        }
    }
    std::chrono::milliseconds CheckPeriod() const;
    // A new limit (0: off). Turning it off takes every panel out of missing, without a report.
    void SetSilenceLimit(std::chrono::microseconds silence);
    std::chrono::microseconds SilenceLimit() const { return m_limits.silence; }

    std::size_t size() const { return m_size; }
    const BookPanel& Panel(std::uint32_t index) const { return At(index); }
    // The panel of a peer address and panel numbers, or NO_PANEL.
    std::uint32_t Find(std::uint32_t address, std::uint8_t comm, std::uint8_t dev) const;

    std::size_t MissingNow() const { return m_missing; }
    std::size_t InAlarmNow() const { return m_inAlarm; }
    const Counts& Totals() const { return m_counts; }
    // Events of a catalogue row (0 to 22), or of status bits (EVENT_KINDS - 1), since the start.
    std::uint64_t EventsOfKind(std::size_t kind) const { return m_eventCounts[kind]; }
    static std::size_t KindOf(const PanelEvent& event);

    const EventLog& Events() const { return m_log; }

    // visit(index) for each panel changed since the last call, ascending; clears the marks.
    template <typename Visit>
    void TakeChanged(Visit&& visit)
    {
        for (std::size_t word = 0; word < m_changed.size(); ++word) {
            std::uint64_t bits = m_changed[word];
            m_changed[word] = 0;
            while (bits != 0) {
                const int bit = std::countr_zero(bits);
                bits &= bits - 1;
                visit(static_cast<std::uint32_t>(word * 64 + static_cast<std::size_t>(bit)));
            }
        }
    }

    // Longest silence of a panel up to now: a missing one's silence lasts still.
    std::int64_t SilenceUs(const BookPanel& panel, SteadyTime now) const;
    // How long ago it was last heard.
    std::int64_t SilentForUs(const BookPanel& panel, SteadyTime now) const
    {
        return Micros(now) - panel.lastHeardUs;
    }
    // The `count` panels with the longest silences, longest first.
    std::vector<std::uint32_t> LongestSilences(std::size_t count, SteadyTime now) const;

    // Bytes the panels take (records, index, change bits, peer table), for the bounds the bench checks.
    std::size_t PanelMemoryBytes() const;

private:
    static constexpr std::size_t CHUNK_SHIFT = 10;
    static constexpr std::size_t CHUNK = std::size_t{1} << CHUNK_SHIFT;

    BookPanel& At(std::uint32_t index) const { return m_chunks[index >> CHUNK_SHIFT][index & (CHUNK - 1)]; }
    std::int64_t Micros(SteadyTime now) const;
    static std::uint64_t KeyOf(std::uint32_t address, std::uint8_t comm, std::uint8_t dev)
    {
        return std::uint64_t{address} << 16 | std::uint64_t{comm} << 8 | dev;
    }
    static std::uint64_t KeyOf(const BookPanel& panel) { return KeyOf(panel.address, panel.comm, panel.dev); }
    std::size_t SlotOf(std::uint64_t key) const;
    std::uint32_t Admit(const Endpoint& peer, const DecodedFrame& decoded, std::uint64_t key,
                        std::int64_t nowUs);
    void Grow();
    void MarkChanged(std::uint32_t index) { m_changed[index >> 6] |= std::uint64_t{1} << (index & 63); }
    void MarkMissing(std::uint32_t index, BookPanel& panel);
    void Apply(std::uint32_t index, BookPanel& panel, const PanelFrame& frame, std::int64_t wallUs,
               Heard& heard);

    Limits m_limits;
    SteadyTime m_start;
    // Records in chunks of CHUNK: a record never moves, and growth copies nothing.
    std::vector<std::unique_ptr<BookPanel[]>> m_chunks;
    std::uint32_t m_size{0};
    // Open addressing: index + 1 of the panel in each used slot, 0 for a free one; at most half full.
    std::vector<std::uint32_t> m_slots{std::vector<std::uint32_t>(1024)};
    std::unordered_map<std::uint32_t, std::uint32_t> m_peers; // peer address to its panel count
    std::vector<std::uint64_t> m_changed;                     // a bit per panel
    std::uint32_t m_next{0}; // the panel after the last one heard: the likeliest next
    std::size_t m_missing{0};
    std::size_t m_inAlarm{0};
    Counts m_counts;
    std::array<std::uint64_t, EVENT_KINDS> m_eventCounts{};
    EventLog m_log;
};

} // namespace veltrano
