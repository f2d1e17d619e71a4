#pragma once

#include "link/ack_matcher.h"
#include "link/frame_record.h"
#include "link/round_trips.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace veltrano {

// What a sending command keeps of its frames and of what comes back: the frames it waits on until their
// acknowledgement comes or their timeout passes (AckMatcher, one per lane: a socket, whose acknowledgements
// pair only with its own frames), the counts its summary draws on and the round trips. Without pairing,
// arrivals are only counted.
class AckTracker final
{
public:
    struct Counts
    {
        std::uint64_t sent{0};           // handed to the system
        std::uint64_t sendFailed{0};     // refused by it
        std::uint64_t received{0};       // every datagram
        std::uint64_t acknowledged{0};   // took a frame waiting
        std::uint64_t noFrameWaiting{0}; // an acknowledgement of a frame answered, given up or never sent
        std::uint64_t badAcks{0};        // would take a frame, but its checksum is wrong
        std::uint64_t unexpected{0};     // no acknowledgement at all
    };

    // Every lane's matcher has `limits`.
    explicit AckTracker(AckMatcher::Limits limits, bool pairing = true);
    ~AckTracker();
    AckTracker(const AckTracker&) = delete;
    AckTracker& operator=(const AckTracker&) = delete;

    bool Pairing() const { return m_pairing; }
    // `sent` frames went, `refused` did not.
    void Handed(std::uint64_t sent, std::uint64_t refused = 0);
    // Waits for the acknowledgement of a frame sent to `peer` on `lane`; `id` comes back with it. Without
    // pairing nothing waits (ticket 0).
    AckMatcher::Ticket Track(const Endpoint& peer, std::span<const std::uint8_t> frame, std::uint64_t id,
                             MonoTime now, std::size_t lane = 0);
    bool Resent(AckMatcher::Ticket ticket, MonoTime now, std::size_t lane = 0);
    bool Forget(AckMatcher::Ticket ticket, std::size_t lane = 0);
    // What the datagram of a received record answers, counted, its note and round trip written on the
    // record. Without pairing it is counted as received alone and taken for no acknowledgement.
    AckMatcher::Match Received(FrameRecord& record, MonoTime now, std::size_t lane = 0);
    // Gives up the frames waiting longer than the timeout of the limits; how many.
    std::size_t Expire(MonoTime now);

    std::size_t Waiting() const;
    // Frames given up unanswered: expired, or pushed out of a full matcher while waiting.
    std::uint64_t Lost() const;
    const Counts& Totals() const { return m_counts; }
    const RoundTrips& Trips() const { return m_trips; }

private:
    AckMatcher& Lane(std::size_t lane);

    AckMatcher::Limits m_limits;
    bool m_pairing{true};
    std::vector<std::unique_ptr<AckMatcher>> m_lanes; // made when first used
    Counts m_counts;
    RoundTrips m_trips;
};

// The pairing part of a summary: "acknowledged", "lost", "outstanding", "no_frame_waiting", "bad_acks",
// "unexpected", then the round trips (RoundTripFields).
std::vector<RecordField> PairingFields(const AckTracker& tracker);

// A sending command's summary fields: "sent", "received", the pairing fields when it pairs, then
// "send_failed", "send_seconds" (from the first send to the last) and "send_rate".
std::vector<RecordField> SendingFields(const AckTracker& tracker, double sendSeconds);

// Frames per second over the span of the sends: n frames span n - 1 intervals; 0 for fewer than two.
double SendRate(std::uint64_t sent, double seconds);

} // namespace veltrano
