#pragma once

#include "protocol/endpoint.h"
#include "protocol/frame_decoder.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;

// Pairs the frames a side sends with the acknowledgements that come back, for every front end and command.
// One rule: an acknowledgement from peer P takes the OLDEST frame sent to P with its AckPairingKey that is
// still waiting, since a centre answers in order. A frame sent again keeps its place, and its round trip
// counts from the last send. Round trips come from the monotonic clock.
//
// Remembers at most `capacity` frames, waiting or done, the oldest pushed out first, in tables made once:
// remembering a frame never allocates and costs the same however many have gone before.
class AckMatcher final
{
public:
    struct Limits
    {
        std::size_t capacity{4096}; // rounded up to a power of two
        // Expire gives up frames waiting longer than this since their last send; zero: never.
        std::chrono::microseconds timeout{0};
    };

    // Names a remembered frame, for Resent and Forget.
    using Ticket = std::uint64_t;

    enum class Outcome : std::uint8_t
    {
        Answered,    // took the oldest waiting frame of its key
        Duplicate,   // its frame was answered already
        Late,        // its frame had been given up: expired or forgotten
        BadChecksum, // would pair with a frame but its checksum is wrong; not taken, as a panel discards it
        Unmatched,   // an acknowledgement of no frame remembered here
        NotAck,      // no acknowledgement at all
    };

    struct Match
    {
        Outcome outcome{Outcome::NotAck};
        std::uint64_t id{0};               // the caller's id of the frame, unless Unmatched or NotAck
        std::chrono::microseconds rtt{0};  // Answered: since the frame's last send
    };

    struct Counts
    {
        std::uint64_t answered{0};
        std::uint64_t duplicated{0};
        std::uint64_t late{0};
        std::uint64_t badChecksum{0};
        std::uint64_t unmatched{0};
        std::uint64_t expired{0};   // given up by Expire
        std::uint64_t pushedOut{0}; // still waiting when the capacity pushed them out
    };

    AckMatcher();
    explicit AckMatcher(Limits limits);
    ~AckMatcher();
    AckMatcher(const AckMatcher&) = delete;
    AckMatcher& operator=(const AckMatcher&) = delete;

    // A frame went to `peer`; `id` is the caller's and comes back with its acknowledgement.
    Ticket Sent(const Endpoint& peer, std::span<const std::uint8_t> frame, std::uint64_t id, MonoTime now);
    // The frame went again: its round trip now counts from `now`. False when it waits no longer.
    bool Resent(Ticket ticket, MonoTime now);
    // Stops waiting for the frame; its acknowledgement, should it come, is late. False when it waited no
    // longer.
    bool Forget(Ticket ticket);
    bool IsWaiting(Ticket ticket) const;

    // What a datagram from `peer` answers. `decoded` is the datagram's decoding, made once by the caller.
    Match Received(const Endpoint& peer, std::span<const std::uint8_t> datagram, const DecodedFrame& decoded,
                   MonoTime now);
    Match Received(const Endpoint& peer, std::span<const std::uint8_t> datagram, MonoTime now);

    // Gives up the frames waiting longer than the timeout, in the order they were first sent, calling
    // expired(id) for each; a frame sent again later than the oldest waits behind it.
    template <typename Expired>
    std::size_t Expire(MonoTime now, Expired&& expired)
    {
        std::size_t count = 0;
        while (auto id = ExpireOldest(now)) {
            expired(*id);
            ++count;
        }
        return count;
    }

    std::size_t Waiting() const { return m_waiting; }
    const Counts& Totals() const { return m_counts; }
    // Forgets every frame, without counting them; the totals stay.
    void Clear();

private:
    enum class State : std::uint8_t
    {
        Empty,
        Waiting,
        Answered,
        GivenUp,
    };

    struct Entry
    {
        Endpoint peer;
        std::uint64_t key{0};
        std::uint64_t id{0};
        MonoTime sentAt;
        std::uint64_t older{0}; // next entry of the bucket's chain, as its ticket plus one; 0: none
        State state{State::Empty};
    };

    struct Bucket
    {
        std::uint64_t waiting{0}; // newest waiting entry, ticket plus one; chained by first send
        std::uint64_t done{0};    // most recently answered or given up; chained in that order
    };

    bool Live(Ticket ticket) const { return ticket < m_next && ticket + m_entries.size() >= m_next; }
    Entry& At(Ticket ticket) { return m_entries[ticket & m_mask]; }
    const Entry& At(Ticket ticket) const { return m_entries[ticket & m_mask]; }
    Bucket& BucketOf(const Endpoint& peer, std::uint64_t key);
    // Takes a waiting entry out of its bucket's waiting chain and into the done chain.
    void Finish(Ticket ticket, State state);
    std::optional<std::uint64_t> ExpireOldest(MonoTime now);

    Limits m_limits;
    std::vector<Entry> m_entries;
    std::vector<Bucket> m_buckets;
    std::uint64_t m_mask{0};
    Ticket m_next{0};   // tickets count every frame ever remembered
    Ticket m_oldest{0}; // below it nothing waits
    std::size_t m_waiting{0};
    Counts m_counts;
};
