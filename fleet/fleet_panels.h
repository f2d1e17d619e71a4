#pragma once

#include "link/ack_matcher.h"
#include "link/round_trips.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"
#include "sim/event_catalogue.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace veltrano {

struct FleetConfig
{
    std::uint32_t first{0}; // index of the first panel in the sweep's order (comm * 240 + dev)
    std::uint32_t panels{1};
    std::chrono::microseconds heartbeat{std::chrono::seconds(60)};
    double eventsPerHour{0}; // per panel
    // A frame goes again `retryInterval` after a send, up to `retries` times, and is lost `timeout` after
    // the last.
    std::chrono::microseconds retryInterval{std::chrono::milliseconds(1000)};
    std::chrono::microseconds timeout{std::chrono::milliseconds(1000)};
    std::uint32_t retries{3}; // at most MAX_FLEET_RETRIES
    std::uint64_t seed{0};
};

inline constexpr std::uint32_t MAX_FLEET_RETRIES = 100;
// Times are kept in 32-bit milliseconds since the start: a run lasts at most this long.
inline constexpr std::chrono::seconds MAX_FLEET_RUN{30LL * 24 * 3600};

// What the fleet counts frames by: each catalogue row, and the heartbeat.
inline constexpr std::size_t HEARTBEAT_KIND = EVENT_TYPE_COUNT;
inline constexpr std::size_t FRAME_KINDS = EVENT_TYPE_COUNT + 1;

// Panels that send a status frame every heartbeat and events in pairs, each frame waiting for its
// acknowledgement through one AckMatcher, sent again after the timeout and lost after the retries. A panel
// has one frame out at a time; what falls due meanwhile waits for it (a heartbeat once, however many fell
// due). Panels wake from one heap of (time, panel): no timer per panel.
class FleetPanels final
{
public:
    struct Datagram
    {
        std::uint32_t panel{0}; // counted from the fleet's first, 0 to panels-1
        std::uint8_t length{0};
        std::array<std::uint8_t, STATUS_FRAME_LENGTH> bytes{};

        std::span<const std::uint8_t> Frame() const { return {bytes.data(), length}; }
    };

    struct KindCounts
    {
        std::uint64_t sent{0}; // datagrams, retries included
        std::uint64_t acknowledged{0};
        std::uint64_t retried{0};
        std::uint64_t lost{0};
    };

    FleetPanels(const FleetConfig& config, const Endpoint& centre, MonoTime start);

    // Serves the panels due by `now`: first sends, retries, frames given up. At most `limit` datagrams join
    // `out`; the rest stay due for the next call.
    void Tick(MonoTime now, std::vector<Datagram>& out, std::size_t limit);
    // A datagram from `from`: an acknowledgement takes its panel's frame, and that panel's next frame, when
    // one is due, joins `out`.
    AckMatcher::Match Received(const Endpoint& from, std::span<const std::uint8_t> bytes, MonoTime now,
                               std::vector<Datagram>& out);
    // No new frames from now on; those out still get their retries.
    void StopNewFrames() { m_stopping = true; }
    bool Stopping() const { return m_stopping; }

    // When Tick has something to do next; none when nothing will ever fall due.
    std::optional<MonoTime> NextWake() const;
    // Frames out and waiting for their acknowledgements.
    std::size_t Waiting() const { return m_matcher.Waiting(); }

    const std::array<KindCounts, FRAME_KINDS>& Kinds() const { return m_kinds; }
    KindCounts Totals() const;
    const RoundTrips& RoundTripTimes() const { return m_roundTrips; }
    const AckMatcher::Counts& Matching() const { return m_matcher.Totals(); }
    // Panels (counted from the fleet's first) that lost a frame, in order.
    std::vector<std::uint32_t> LostPanels() const;
    std::uint32_t Size() const { return static_cast<std::uint32_t>(m_panels.size()); }
    // Status a panel reports now, for tests.
    const StatusBytes& StatusOf(std::uint32_t panel) const { return m_panels[panel].status; }

    // The catalogue's name of a kind: the event key, or "heartbeat".
    static const char* KindName(std::size_t kind);
    // The matcher's size for a fleet: every frame sent within a timeout, with a margin.
    static std::size_t MatcherCapacity(const FleetConfig& config);
    // Bytes a panel costs: its state and its place in the schedule (the matcher comes on top).
    static constexpr std::size_t PANEL_BYTES = 20 + sizeof(std::uint64_t);

private:
    static constexpr std::uint8_t NONE = 0xFF;
    static constexpr std::uint32_t NEVER = 0xFFFFFFFF;
    // Bits of Panel::flags.
    static constexpr std::uint8_t HEARTBEAT_DUE = 1;
    static constexpr std::uint8_t EVENT_DUE = 2;
    static constexpr std::uint8_t CLOSER_NEXT = 4; // the next event closes the pair opened last
    static constexpr std::uint8_t LOST_ONE = 8;

    // A frame out waits in the matcher, which knows when it went: the retry falls due from there.
    struct Panel
    {
        AckMatcher::Ticket ticket{0};
        std::uint32_t beat{0}; // the next heartbeat falls due at HeartbeatDueUs(panel)
        std::uint32_t eventDueMs{NEVER};
        StatusBytes status{DEFAULT_STATUS};
        std::uint8_t kind{NONE}; // of the frame out; NONE when none is
        std::uint8_t retries{0};
        std::uint8_t pairZone{0}; // the open pair's index, low nibble; its zone, high nibble
        std::uint8_t flags{0};
    };
    static_assert(sizeof(Panel) == 20);

    std::int64_t Micros(MonoTime now) const;
    std::int64_t HeartbeatDueUs(std::uint32_t panel) const;
    // When the frame out is sent again or lost; at once when the matcher pushed it out.
    std::int64_t RetryDueUs(const Panel& panel) const;
    void Service(std::uint32_t panel, std::int64_t nowUs, MonoTime now, std::vector<Datagram>& out);
    void SendNext(std::uint32_t panel, std::int64_t nowUs, MonoTime now, std::vector<Datagram>& out);
    void Emit(std::uint32_t panel, std::size_t kind, MonoTime now, bool retry, std::vector<Datagram>& out);
    void Schedule(std::uint32_t panel);
    std::uint32_t NextEventMs(std::int64_t nowUs);

    FleetConfig m_config;
    Endpoint m_centre;
    MonoTime m_start;
    std::vector<Panel> m_panels;
    std::vector<std::uint64_t> m_wakes; // min-heap of wake time in microseconds << 16 | panel
    AckMatcher m_matcher;
    RoundTrips m_roundTrips;
    std::array<KindCounts, FRAME_KINDS> m_kinds{};
    std::mt19937_64 m_random;
    double m_meanEventGapUs{0};
    bool m_stopping{false};
};

} // namespace veltrano
