#include "link/ack_matcher.h"
#include "protocol/enum_table.h"

#include "protocol/acknowledgement.h"

#include <algorithm>
#include <bit>

namespace veltrano {

namespace {

constexpr std::uint64_t KEY_MASK = (std::uint64_t{1} << 48) - 1;
constexpr std::uint64_t ID_MASK = (std::uint64_t{1} << AckMatcher::ID_BITS) - 1;
constexpr std::uint32_t REF_MASK = 0x7FFFFFFF;

std::uint64_t PeerKey(const Endpoint& peer)
{
    return std::uint64_t{peer.address} << 16 | peer.port;
}

} // namespace

AckMatcher::AckMatcher() : AckMatcher(Limits{}) {}

AckMatcher::AckMatcher(Limits limits)
    : m_limits(limits), m_entries(std::bit_ceil(std::clamp<std::size_t>(limits.capacity, 2, MAX_CAPACITY))),
      // A bucket for every eight entries: waiting chains stay short, as few frames wait at once.
      m_buckets(std::max<std::size_t>(m_entries.size() / 8, 2)), m_mask(m_entries.size() - 1),
      m_bucketShift(64 - std::countr_zero(m_buckets.size()))
{}

AckMatcher::~AckMatcher() = default;

std::int64_t AckMatcher::Micros(MonoTime time)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

AckMatcher::Serial AckMatcher::Widen(std::uint32_t low) const
{
    const std::uint32_t back = static_cast<std::uint32_t>(m_next) - low;
    return back == 0 || back > m_next || back > (REF_MASK + 1U) ? m_next : m_next - back;
}

AckMatcher::Serial AckMatcher::Linked(Serial from) const
{
    const std::int64_t older = At(from).older;
    const Serial serial = from + static_cast<Serial>(older);
    return older != 0 && Live(serial) ? serial : NONE;
}

std::int64_t AckMatcher::LinkTo(Serial to, Serial from)
{
    return to == NONE ? 0 : static_cast<std::int64_t>(to - from);
}

AckMatcher::Serial AckMatcher::Head(std::uint32_t ref, std::uint64_t match, bool waiting) const
{
    if (ref == 0)
        return NONE;
    const std::uint32_t back = (static_cast<std::uint32_t>(m_next) - ref) & REF_MASK;
    if (back == 0 || back > m_next)
        return NONE;
    const Serial serial = m_next - back;
    // A head left alone for 2^31 frames may name a newer entry by its low bits: one of another bucket, or
    // one that joined this bucket after the head was written and so would have rewritten it.
    if (!Live(serial) || BucketIndex(At(serial).match) != BucketIndex(match))
        return NONE;
    const State state = StateOf(serial);
    if (waiting ? state != State::Waiting : state != State::Answered && state != State::GivenUp)
        return NONE;
    return serial;
}

std::size_t AckMatcher::BucketIndex(std::uint64_t match) const
{
    // The product's top bits, the only ones every bit of the key reaches: the communicator and the peer sit
    // in the key's top bits, and middle bits put a fleet's panels into a few long chains.
    return (match * 0x9E3779B97F4A7C15ULL) >> m_bucketShift;
}

AckMatcher::Bucket& AckMatcher::BucketOf(std::uint64_t match)
{
    return m_buckets[BucketIndex(match)];
}

std::uint64_t AckMatcher::PeerIndex(const Endpoint& peer, bool add)
{
    if (m_lastPeerIndex != NO_PEER && peer == m_lastPeer)
        return m_lastPeerIndex;
    auto found = m_peerIndex.find(PeerKey(peer));
    if (found == m_peerIndex.end()) {
        if (!add)
            return NO_PEER;
        if (m_peers.size() == MAX_PEERS)
            RenumberPeers();
        if (m_peers.size() == MAX_PEERS)
            return NO_PEER;
        found = m_peerIndex.emplace(PeerKey(peer), static_cast<std::uint16_t>(m_peers.size())).first;
        m_peers.push_back(peer);
    }
    m_lastPeer = peer;
    m_lastPeerIndex = found->second;
    return m_lastPeerIndex;
}

// Keeps the peers that live entries name, renumbered, at most once per turn of the ring: a ring full of
// frames to as many peers as can be named leaves no index free, and frames to further peers stay unpaired.
void AckMatcher::RenumberPeers()
{
    if (m_renumberedAt != 0 && m_next - m_renumberedAt < m_entries.size())
        return;
    m_renumberedAt = std::max<Serial>(m_next, 1);
    std::vector<std::uint16_t> renumbered(MAX_PEERS, static_cast<std::uint16_t>(NO_PEER));
    std::vector<Endpoint> kept;
    const Serial first = m_next > m_entries.size() ? m_next - m_entries.size() : 0;
    for (Serial serial = first; serial < m_next; ++serial) {
        Entry& entry = At(serial);
        const std::uint64_t peer = entry.match >> PEER_SHIFT;
        if (peer == NO_PEER || StateOf(serial) == State::Empty)
            continue;
        if (renumbered[peer] == NO_PEER) {
            renumbered[peer] = static_cast<std::uint16_t>(kept.size());
            kept.push_back(m_peers[peer]);
        }
        entry.match = (entry.match & KEY_MASK) | std::uint64_t{renumbered[peer]} << PEER_SHIFT;
    }
    // Entries changed their match, so chains are made again from the ring, in serial order.
    std::fill(m_buckets.begin(), m_buckets.end(), Bucket{});
    for (Serial serial = first; serial < m_next; ++serial) {
        Entry& entry = At(serial);
        entry.older = 0;
        if (StateOf(serial) == State::Empty)
            continue;
        Bucket& bucket = BucketOf(entry.match);
        std::uint32_t& head = StateOf(serial) == State::Waiting ? bucket.waiting : bucket.done;
        entry.older = LinkTo(Head(head, entry.match, StateOf(serial) == State::Waiting), serial);
        head = RefOf(serial);
    }
    m_peers = std::move(kept);
    m_peerIndex.clear();
    for (std::size_t i = 0; i < m_peers.size(); ++i)
        m_peerIndex.emplace(PeerKey(m_peers[i]), static_cast<std::uint16_t>(i));
    m_lastPeerIndex = NO_PEER;
}

AckMatcher::Ticket AckMatcher::Sent(const Endpoint& peer, std::span<const std::uint8_t> frame,
                                    std::uint64_t id, MonoTime now)
{
    const std::uint64_t match = AckPairingKey(frame) | PeerIndex(peer, true) << PEER_SHIFT;
    const Serial serial = m_next++;
    Entry& entry = At(serial);
    // The ring's oldest goes; the chains that lead to it end there, as all behind it is older still.
    if (static_cast<State>(entry.state) == State::Waiting) {
        ++m_counts.pushedOut;
        --m_waiting;
    }
    if (m_next > m_entries.size())
        m_oldest = std::max(m_oldest, m_next - m_entries.size());
    entry.state = static_cast<std::uint64_t>(State::Empty);
    Bucket& bucket = BucketOf(match);
    const Serial newest = Head(bucket.waiting, match, true);
    entry.match = match;
    entry.sentUs = Micros(now);
    entry.id = id & ID_MASK;
    entry.older = LinkTo(newest, serial);
    entry.state = static_cast<std::uint64_t>(State::Waiting);
    bucket.waiting = RefOf(serial);
    ++m_waiting;
    return static_cast<Ticket>(serial);
}

bool AckMatcher::IsWaiting(Ticket ticket) const
{
    const Serial serial = Widen(ticket);
    return Live(serial) && StateOf(serial) == State::Waiting;
}

std::optional<MonoTime> AckMatcher::SentAt(Ticket ticket) const
{
    if (!IsWaiting(ticket))
        return std::nullopt;
    return MonoTime(std::chrono::microseconds(At(Widen(ticket)).sentUs));
}

bool AckMatcher::Resent(Ticket ticket, MonoTime now)
{
    if (!IsWaiting(ticket))
        return false;
    At(Widen(ticket)).sentUs = Micros(now);
    return true;
}

bool AckMatcher::Forget(Ticket ticket)
{
    if (!IsWaiting(ticket))
        return false;
    Finish(Widen(ticket), State::GivenUp);
    return true;
}

void AckMatcher::Finish(Serial serial, State state)
{
    Entry& entry = At(serial);
    Bucket& bucket = BucketOf(entry.match);
    const Serial next = Linked(serial);
    Serial link = Head(bucket.waiting, entry.match, true);
    if (link == serial) {
        bucket.waiting = next == NONE ? 0 : RefOf(next);
    } else {
        for (Serial older = link == NONE ? NONE : Linked(link); older != NONE; older = Linked(link)) {
            if (older == serial) {
                At(link).older = LinkTo(next, link);
                break;
            }
            link = older;
        }
    }
    // The done chain runs newest first too, so that it ends where the ring pushes its entries out.
    entry.state = static_cast<std::uint64_t>(state);
    Serial newer = Head(bucket.done, entry.match, false);
    if (newer == NONE || newer < serial) {
        entry.older = LinkTo(newer, serial);
        bucket.done = RefOf(serial);
    } else {
        Serial older = Linked(newer);
        for (; older != NONE && older > serial; older = Linked(newer))
            newer = older;
        entry.older = LinkTo(older, serial);
        At(newer).older = LinkTo(serial, newer);
    }
    --m_waiting;
}

AckMatcher::Match AckMatcher::Received(const Endpoint& peer, std::span<const std::uint8_t> datagram,
                                       MonoTime now)
{
    return Received(peer, datagram, DecodeFrame(datagram), now);
}

AckMatcher::Match AckMatcher::Received(const Endpoint& peer, std::span<const std::uint8_t> datagram,
                                       const DecodedFrame& decoded, MonoTime now)
{
    if (!IsAcknowledgement(datagram))
        return {};
    const std::uint64_t peerIndex = PeerIndex(peer, false);
    if (peerIndex == NO_PEER) {
        ++m_counts.unmatched;
        return {Outcome::Unmatched, 0, {}};
    }
    const std::uint64_t match = AckPairingKey(datagram) | peerIndex << PEER_SHIFT;
    const bool checksumGood = decoded.checksum == ChecksumState::Good;
    const Bucket& bucket = BucketOf(match);

    // The waiting chain runs newest first: the last entry of the match on it is the oldest.
    Serial oldest = NONE;
    for (Serial link = Head(bucket.waiting, match, true); link != NONE; link = Linked(link))
        if (At(link).match == match)
            oldest = link;
    if (oldest != NONE) {
        const Entry& entry = At(oldest);
        if (!checksumGood) {
            ++m_counts.badChecksum;
            return {Outcome::BadChecksum, entry.id, {}};
        }
        const std::chrono::microseconds rtt(Micros(now) - entry.sentUs);
        Finish(oldest, State::Answered);
        ++m_counts.answered;
        return {Outcome::Answered, entry.id, rtt};
    }
    // Nothing waits: the newest frame of the match answered or given up tells a repeat from a late answer.
    for (Serial link = Head(bucket.done, match, false); link != NONE; link = Linked(link)) {
        const Entry& entry = At(link);
        const State state = StateOf(link);
        if (entry.match != match || (state != State::Answered && state != State::GivenUp))
            continue;
        if (!checksumGood) {
            ++m_counts.badChecksum;
            return {Outcome::BadChecksum, entry.id, {}};
        }
        if (state == State::Answered) {
            ++m_counts.duplicated;
            return {Outcome::Duplicate, entry.id, {}};
        }
        ++m_counts.late;
        return {Outcome::Late, entry.id, {}};
    }
    ++m_counts.unmatched;
    return {Outcome::Unmatched, 0, {}};
}

std::optional<std::uint64_t> AckMatcher::ExpireOldest(MonoTime now)
{
    if (m_limits.timeout.count() <= 0)
        return std::nullopt;
    const std::int64_t nowUs = Micros(now);
    for (; m_oldest < m_next; ++m_oldest) {
        const Entry& entry = At(m_oldest);
        if (StateOf(m_oldest) != State::Waiting)
            continue;
        if (nowUs - entry.sentUs < m_limits.timeout.count())
            return std::nullopt;
        Finish(m_oldest, State::GivenUp);
        ++m_counts.expired;
        return std::uint64_t{entry.id};
    }
    return std::nullopt;
}

void AckMatcher::Clear()
{
    std::fill(m_entries.begin(), m_entries.end(), Entry{});
    std::fill(m_buckets.begin(), m_buckets.end(), Bucket{});
    m_oldest = m_next;
    m_waiting = 0;
}

bool SamePairingKey(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    return AckPairingKey(a) == AckPairingKey(b);
}

std::string_view MatchNote(AckMatcher::Outcome outcome)
{
    // In Outcome order: answered, duplicate, late, bad checksum, unmatched, not an acknowledgement.
    static constexpr std::string_view NOTES[] = {
        {}, "no frame waiting", "no frame waiting", "bad checksum, not taken", "no frame waiting", {},
    };
    return RowOf(NOTES, outcome);
}

} // namespace veltrano
