#include "link/ack_tracker.h"

#include "link/line_output.h"

namespace veltrano {

AckTracker::AckTracker(AckMatcher::Limits limits, bool pairing) : m_limits(limits), m_pairing(pairing) {}

AckTracker::~AckTracker() = default;

AckMatcher& AckTracker::Lane(std::size_t lane)
{
    if (m_lanes.size() <= lane)
        m_lanes.resize(lane + 1);
    if (!m_lanes[lane])
        m_lanes[lane] = std::make_unique<AckMatcher>(m_limits);
    return *m_lanes[lane];
}

void AckTracker::Handed(std::uint64_t sent, std::uint64_t refused)
{
    m_counts.sent += sent;
    m_counts.sendFailed += refused;
}

AckMatcher::Ticket AckTracker::Track(const Endpoint& peer, std::span<const std::uint8_t> frame,
                                     std::uint64_t id, MonoTime now, std::size_t lane)
{
    return m_pairing ? Lane(lane).Sent(peer, frame, id, now) : 0;
}

bool AckTracker::Resent(AckMatcher::Ticket ticket, MonoTime now, std::size_t lane)
{
    return m_pairing && Lane(lane).Resent(ticket, now);
}

bool AckTracker::Forget(AckMatcher::Ticket ticket, std::size_t lane)
{
    return m_pairing && Lane(lane).Forget(ticket);
}

AckMatcher::Match AckTracker::Received(FrameRecord& record, MonoTime now, std::size_t lane)
{
    ++m_counts.received;
    if (!m_pairing)
        return {};
    const AckMatcher::Match match = Lane(lane).Received(record.peer, record.bytes, record.decoded, now);
    record.note = MatchNote(match.outcome);
    switch (match.outcome) {
    case AckMatcher::Outcome::Answered:
        record.rttUs = match.rtt.count();
        m_trips.Add(*record.rttUs);
        ++m_counts.acknowledged;
        break;
    case AckMatcher::Outcome::BadChecksum:
        ++m_counts.badAcks;
        break;
    case AckMatcher::Outcome::Duplicate:
    case AckMatcher::Outcome::Late:
    case AckMatcher::Outcome::Unmatched:
        // A second answer, or one too late: its frame was acknowledged or given up already.
        ++m_counts.noFrameWaiting;
        break;
    case AckMatcher::Outcome::NotAck:
        ++m_counts.unexpected;
        break;
    }
    return match;
}

std::size_t AckTracker::Expire(MonoTime now)
{
    std::size_t expired = 0;
    for (const auto& lane : m_lanes)
        if (lane)
            expired += lane->Expire(now, [](std::uint64_t) {});
    return expired;
}

std::size_t AckTracker::Waiting() const
{
    std::size_t waiting = 0;
    for (const auto& lane : m_lanes)
        waiting += lane ? lane->Waiting() : 0;
    return waiting;
}

std::uint64_t AckTracker::Lost() const
{
    std::uint64_t lost = 0;
    for (const auto& lane : m_lanes)
        lost += lane ? lane->Totals().expired + lane->Totals().pushedOut : 0;
    return lost;
}

std::vector<RecordField> PairingFields(const AckTracker& tracker)
{
    const AckTracker::Counts& counts = tracker.Totals();
    std::vector<RecordField> fields{
        {"acknowledged", counts.acknowledged},
        {"lost", tracker.Lost()},
        {"outstanding", static_cast<std::uint64_t>(tracker.Waiting())},
        {"no_frame_waiting", counts.noFrameWaiting},
        {"bad_acks", counts.badAcks},
        {"unexpected", counts.unexpected},
    };
    const auto trips = RoundTripFields(tracker.Trips());
    fields.insert(fields.end(), trips.begin(), trips.end());
    return fields;
}

std::vector<RecordField> SendingFields(const AckTracker& tracker, double sendSeconds)
{
    const AckTracker::Counts& counts = tracker.Totals();
    std::vector<RecordField> fields{{"sent", counts.sent}, {"received", counts.received}};
    if (tracker.Pairing()) {
        const auto pairing = PairingFields(tracker);
        fields.insert(fields.end(), pairing.begin(), pairing.end());
    }
    fields.insert(fields.end(), {
                                    {"send_failed", counts.sendFailed},
                                    {"send_seconds", sendSeconds},
                                    {"send_rate", SendRate(counts.sent, sendSeconds)},
                                });
    return fields;
}

double SendRate(std::uint64_t sent, double seconds)
{
    return sent > 1 && seconds > 0 ? static_cast<double>(sent - 1) / seconds : 0;
}

} // namespace veltrano
