#pragma once

#include "protocol/endpoint.h"
#include "protocol/frame_decoder.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veltrano {

using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;

// Pairs the frames a side sends with the acknowledgements that come back, for every front end and command.
// One rule: an acknowledgement from peer P takes the OLDEST frame sent to P with its AckPairingKey that is
// still waiting, since a centre answers in order. A frame sent again keeps its place, and its round trip
// counts from the last send. Round trips come from the monotonic clock, to the microsecond.
//
// Remembers at most `capacity` frames, waiting or done, the oldest pushed out first, in tables made once:
// remembering a frame never allocates (but for the first frame to a new peer) and costs the same however
// many have gone before. A frame costs 25 bytes, so that a fleet can keep a second of its frames.
class AckMatcher final
{
public:
    // The largest capacity: links between frames span at most this many.
    static constexpr std::size_t MAX_CAPACITY = std::size_t{1} << 22;
    // Peers that remembered frames go to at once. Frames to peers beyond them are remembered but never
    // answered: their acknowledgements count as unmatched.
    static constexpr std::size_t MAX_PEERS = 0xFFFF;
    // The bits of the caller's id that come back with its acknowledgement.
    static constexpr int ID_BITS = 40;

    struct Limits
    {
        std::size_t capacity{4096}; // rounded up to a power of two, at most MAX_CAPACITY
        // Expire gives up frames waiting longer than this since their last send; zero: never.
        std::chrono::microseconds timeout{0};
    };

    // Names one of the last 2^31 frames remembered, for Resent, Forget and SentAt.
    using Ticket = std::uint32_t;

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
        std::uint64_t id{0};              // the caller's id of the frame, unless Unmatched or NotAck
        std::chrono::microseconds rtt{0}; // Answered: since the frame's last send
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

    // A frame went to `peer`; the low ID_BITS of `id` are the caller's and come back with its
    // acknowledgement.
    Ticket Sent(const Endpoint& peer, std::span<const std::uint8_t> frame, std::uint64_t id, MonoTime now);
    // The frame went again: its round trip now counts from `now`. False when it waits no longer.
    bool Resent(Ticket ticket, MonoTime now);
    // Stops waiting for the frame; its acknowledgement, should it come, is late. False when it waited no
    // longer.
    bool Forget(Ticket ticket);
    bool IsWaiting(Ticket ticket) const;
    // When a waiting frame last went, to the microsecond; none when it waits no longer.
    std::optional<MonoTime> SentAt(Ticket ticket) const;

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

    // A frame in 24 bytes. Its peer is an index into m_peers; the links of its bucket's chains are
    // distances from its own place in the ring, so they never outlive what they point at.
    struct Entry
    {
        std::uint64_t match{0};       // AckPairingKey, with the peer's index in the top 16 bits
        std::int64_t sentUs : 62 = 0; // steady clock, microseconds
        std::uint64_t state : 2 = 0;
        std::uint64_t id : ID_BITS = 0;
        std::int64_t older : 64 - ID_BITS = 0; // next of the chain, this many serials away; 0: none
    };
    static_assert(sizeof(Entry) == 24);

    // The newest entry of each chain, as a Ref: the ticket's low 31 bits with the top bit set; 0: none.
    // Kept in 32 bits, a head is checked against what it points at before it is followed.
    struct Bucket
    {
        std::uint32_t waiting{0}; // chained newest first
        std::uint32_t done{0};    // answered or given up, chained newest first
    };

    // Serials count every frame ever remembered; a Ticket carries their low 32 bits, a Ref the low 31.
    using Serial = std::uint64_t;

    static constexpr std::uint64_t NO_PEER = 0xFFFF;
    static constexpr int PEER_SHIFT = 48;

    bool Live(Serial serial) const { return serial < m_next && serial + m_entries.size() >= m_next; }
    // The serial among the last 2^31 whose low bits the ticket carries.
    Serial Widen(std::uint32_t low) const;
    Entry& At(Serial serial) { return m_entries[serial & m_mask]; }
    const Entry& At(Serial serial) const { return m_entries[serial & m_mask]; }
    State StateOf(Serial serial) const { return static_cast<State>(At(serial).state); }
    static constexpr Serial NONE = ~Serial{0};
    // The next of a chain, NONE at its end.
    Serial Linked(Serial from) const;
    static std::int64_t LinkTo(Serial to, Serial from);
    // A chain's head while it still names a live entry of the bucket, waiting or done as asked; else NONE.
    Serial Head(std::uint32_t ref, std::uint64_t match, bool waiting) const;
    static std::uint32_t RefOf(Serial serial)
    {
        return 0x80000000U | static_cast<std::uint32_t>(serial & 0x7FFFFFFF);
    }
    static std::int64_t Micros(MonoTime time);
    Bucket& BucketOf(std::uint64_t match);
    std::size_t BucketIndex(std::uint64_t match) const;
    // The index a peer goes by here; NO_PEER when it is unknown and `add` is false, or when no index is free.
    std::uint64_t PeerIndex(const Endpoint& peer, bool add);
    void RenumberPeers();
    // Takes a waiting entry out of its bucket's waiting chain and into the done chain.
    void Finish(Serial serial, State state);
    std::optional<std::uint64_t> ExpireOldest(MonoTime now);

    Limits m_limits;
    std::vector<Entry> m_entries;
    std::vector<Bucket> m_buckets;
    std::uint64_t m_mask{0};
    int m_bucketShift{63}; // 64 less the bits of a bucket's index
    Serial m_next{0};      // the next frame's serial
    Serial m_oldest{0};    // below it nothing waits
    std::size_t m_waiting{0};
    Counts m_counts;
    // Peers by index, and the index of each; the last one asked for is the likeliest next.
    std::vector<Endpoint> m_peers;
    std::unordered_map<std::uint64_t, std::uint16_t> m_peerIndex;
    Endpoint m_lastPeer;
    std::uint64_t m_lastPeerIndex{NO_PEER};
    Serial m_renumberedAt{0};
};

// Whether the two datagrams fall under the matcher's rule as one key: an acknowledgement and the frame it
// answers, or two frames the far side cannot tell apart. For a check that judges one known frame's answer
// without remembering frames.
bool SamePairingKey(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

// The note on the line of a received datagram for what the matcher made of it: "bad checksum, not taken"
// for a spoilt acknowledgement, "no frame waiting" for an answer to a frame answered, given up or never
// sent; nothing for the others.
std::string_view MatchNote(AckMatcher::Outcome outcome);

} // namespace veltrano
