#pragma once

#include "link/ack_matcher.h"
#include "link/frame_record.h"
#include "link/round_trips.h"
#include "protocol/endpoint.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace veltrano {

// The proxy's pairings of answers with the frames they answer, on both legs: the centre's (from the frame
// sent upstream to its answer coming back) and the panel's (from the frame as the panel sent it to the
// answer as the panel meets it). A retry of a frame still waiting restarts its round trip, as the sender
// counts from its own latest copy.
class ProxyPairing final
{
public:
    // The panel's frame came to the proxy.
    void PanelSent(const Endpoint& panel, std::span<const std::uint8_t> bytes, MonoTime now);
    // It went on to the centre.
    void CentreSent(const Endpoint& panel, std::span<const std::uint8_t> bytes, MonoTime now);
    // The centre's answer for `panel` came back: its round trip in µs when it answers a frame sent, else -1.
    std::int64_t CentreAnswered(const Endpoint& panel, std::span<const std::uint8_t> bytes,
                                const DecodedFrame& decoded, MonoTime now);
    struct PanelMatch
    {
        std::string_view note;
        std::optional<std::int64_t> rttUs;
    };
    // An answer went to the panel.
    PanelMatch PanelAnswered(const Endpoint& panel, std::span<const std::uint8_t> bytes,
                             const DecodedFrame& decoded, MonoTime now);

    // Frames sent to the centre still waiting for their answers.
    std::size_t CentreWaiting() const { return m_centre.Waiting(); }
    // answered, the centre's round trips, panel_rtt_p50_us and panel_rtt_p99_us.
    void AppendSummary(std::vector<RecordField>& fields) const;

private:
    // The last ticket of each panel's frame, for its retries, in a table of fixed size made whole at the
    // start: its memory does not grow with the panels. Two frames whose keys meet in one slot share it, the
    // later one kept; a retry of the other then counts as a new frame, its round trip from its first copy.
    struct TicketSlot
    {
        std::uint64_t key{0}; // 0: empty
        AckMatcher::Ticket ticket{0};
    };
    static constexpr std::size_t TICKET_SLOTS = 1 << 17;
    using Tickets = std::vector<TicketSlot>;
    void Track(AckMatcher& matcher, Tickets& tickets, const Endpoint& panel,
               std::span<const std::uint8_t> bytes, MonoTime now);

    AckMatcher m_centre{{.capacity = 1 << 16, .timeout = std::chrono::seconds(60)}};
    AckMatcher m_panel{{.capacity = 1 << 16, .timeout = std::chrono::seconds(60)}};
    Tickets m_centreTickets = Tickets(TICKET_SLOTS);
    Tickets m_panelTickets = Tickets(TICKET_SLOTS);
    RoundTrips m_centreTrips;
    RoundTrips m_panelTrips;
    std::uint64_t m_serial{0};
};

} // namespace veltrano
