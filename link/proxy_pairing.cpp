#include "link/proxy_pairing.h"

#include "link/line_output.h"

#include <bit>

namespace veltrano {

namespace {

std::uint64_t ResendKey(const Endpoint& panel, std::span<const std::uint8_t> bytes)
{
    std::uint64_t hash = 14695981039346656037ULL ^ (std::uint64_t{panel.address} << 16 | panel.port);
    for (const std::uint8_t b : bytes)
        hash = (hash ^ b) * 1099511628211ULL;
    return hash;
}

} // namespace

void ProxyPairing::Track(AckMatcher& matcher, Tickets& tickets, const Endpoint& panel,
                         std::span<const std::uint8_t> bytes, MonoTime now)
{
    const std::uint64_t key = ResendKey(panel, bytes) | 1; // never 0, the empty slot's
    TicketSlot& slot = tickets[(key * 0x9E3779B97F4A7C15ULL) >> (64 - std::countr_zero(TICKET_SLOTS))];
    if (slot.key == key && matcher.Resent(slot.ticket, now))
        return;
    slot = {key, matcher.Sent(panel, bytes, ++m_serial, now)};
}

void ProxyPairing::PanelSent(const Endpoint& panel, std::span<const std::uint8_t> bytes, MonoTime now)
{
    Track(m_panel, m_panelTickets, panel, bytes, now);
}

void ProxyPairing::CentreSent(const Endpoint& panel, std::span<const std::uint8_t> bytes, MonoTime now)
{
    Track(m_centre, m_centreTickets, panel, bytes, now);
}

std::int64_t ProxyPairing::CentreAnswered(const Endpoint& panel, std::span<const std::uint8_t> bytes,
                                          const DecodedFrame& decoded, MonoTime now)
{
    const auto match = m_centre.Received(panel, bytes, decoded, now);
    if (match.outcome != AckMatcher::Outcome::Answered)
        return -1;
    m_centreTrips.Add(match.rtt.count());
    return match.rtt.count();
}

ProxyPairing::PanelMatch ProxyPairing::PanelAnswered(const Endpoint& panel,
                                                     std::span<const std::uint8_t> bytes,
                                                     const DecodedFrame& decoded, MonoTime now)
{
    const auto match = m_panel.Received(panel, bytes, decoded, now);
    PanelMatch result{MatchNote(match.outcome), std::nullopt};
    if (match.outcome == AckMatcher::Outcome::Answered) {
        result.rttUs = match.rtt.count();
        m_panelTrips.Add(*result.rttUs);
    }
    return result;
}

void ProxyPairing::AppendSummary(std::vector<RecordField>& fields) const
{
    fields.push_back({"answered", m_centre.Totals().answered});
    for (const RecordField& field : RoundTripFields(m_centreTrips))
        fields.push_back(field);
    fields.push_back({"panel_rtt_p50_us", m_panelTrips.Percentile(0.5)});
    fields.push_back({"panel_rtt_p99_us", m_panelTrips.Percentile(0.99)});
}

} // namespace veltrano
