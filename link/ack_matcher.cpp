#include "link/ack_matcher.h"

#include "protocol/acknowledgement.h"

#include <algorithm>
#include <bit>

AckMatcher::AckMatcher() : AckMatcher(Limits{}) {}

AckMatcher::AckMatcher(Limits limits)
    : m_limits(limits), m_entries(std::bit_ceil(std::max<std::size_t>(limits.capacity, 2))),
      m_buckets(m_entries.size()), m_mask(m_entries.size() - 1)
{
}

AckMatcher::~AckMatcher() = default;

AckMatcher::Bucket& AckMatcher::BucketOf(const Endpoint& peer, std::uint64_t key)
{
    const std::uint64_t mixed =
        (key ^ (std::uint64_t{peer.address} << 16) ^ (std::uint64_t{peer.port} << 48)) * 0x9E3779B97F4A7C15ULL;
    return m_buckets[(mixed >> 20) & m_mask];
}

AckMatcher::Ticket AckMatcher::Sent(const Endpoint& peer, std::span<const std::uint8_t> frame, std::uint64_t id,
                                    MonoTime now)
{
    const Ticket ticket = m_next++;
    Entry& entry = At(ticket);
    // The ring's oldest goes; the chains that lead to it end there, as all behind it is older still.
    if (entry.state == State::Waiting) {
        ++m_counts.pushedOut;
        --m_waiting;
    }
    if (m_next > m_entries.size())
        m_oldest = std::max(m_oldest, m_next - m_entries.size());
    const std::uint64_t key = AckPairingKey(frame);
    Bucket& bucket = BucketOf(peer, key);
    entry = {peer, key, id, now, bucket.waiting, State::Waiting};
    bucket.waiting = ticket + 1;
    ++m_waiting;
    return ticket;
}

bool AckMatcher::IsWaiting(Ticket ticket) const
{
    return Live(ticket) && At(ticket).state == State::Waiting;
}

bool AckMatcher::Resent(Ticket ticket, MonoTime now)
{
    if (!IsWaiting(ticket))
        return false;
    At(ticket).sentAt = now;
    return true;
}

bool AckMatcher::Forget(Ticket ticket)
{
    if (!IsWaiting(ticket))
        return false;
    Finish(ticket, State::GivenUp);
    return true;
}

void AckMatcher::Finish(Ticket ticket, State state)
{
    Entry& entry = At(ticket);
    Bucket& bucket = BucketOf(entry.peer, entry.key);
    std::uint64_t* link = &bucket.waiting;
    while (*link != 0 && Live(*link - 1) && *link - 1 != ticket)
        link = &At(*link - 1).older;
    if (*link == ticket + 1)
        *link = entry.older;
    entry.older = bucket.done;
    bucket.done = ticket + 1;
    entry.state = state;
    --m_waiting;
}

AckMatcher::Match AckMatcher::Received(const Endpoint& peer, std::span<const std::uint8_t> datagram, MonoTime now)
{
    return Received(peer, datagram, DecodeFrame(datagram), now);
}

AckMatcher::Match AckMatcher::Received(const Endpoint& peer, std::span<const std::uint8_t> datagram,
                                       const DecodedFrame& decoded, MonoTime now)
{
    if (!IsAcknowledgement(datagram))
        return {};
    const std::uint64_t key = AckPairingKey(datagram);
    const bool checksumGood = decoded.checksum == ChecksumState::Good;
    Bucket& bucket = BucketOf(peer, key);

    // The waiting chain runs newest first: the last entry of the key on it is the oldest.
    std::optional<Ticket> oldest;
    for (std::uint64_t link = bucket.waiting; link != 0 && Live(link - 1); link = At(link - 1).older) {
        const Entry& entry = At(link - 1);
        if (entry.key == key && entry.peer == peer)
            oldest = link - 1;
    }
    if (oldest) {
        Entry& entry = At(*oldest);
        if (!checksumGood) {
            ++m_counts.badChecksum;
            return {Outcome::BadChecksum, entry.id, {}};
        }
        const auto rtt = std::chrono::duration_cast<std::chrono::microseconds>(now - entry.sentAt);
        Finish(*oldest, State::Answered);
        ++m_counts.answered;
        return {Outcome::Answered, entry.id, rtt};
    }
    // Nothing waits: the most recently finished frame of the key tells a repeat from a late answer.
    for (std::uint64_t link = bucket.done; link != 0 && Live(link - 1); link = At(link - 1).older) {
        const Entry& entry = At(link - 1);
        if (entry.key != key || entry.peer != peer)
            continue;
        if (!checksumGood) {
            ++m_counts.badChecksum;
            return {Outcome::BadChecksum, entry.id, {}};
        }
        if (entry.state == State::Answered) {
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
    for (; m_oldest < m_next; ++m_oldest) {
        Entry& entry = At(m_oldest);
        if (entry.state != State::Waiting)
            continue;
        if (now - entry.sentAt < m_limits.timeout)
            return std::nullopt;
        Finish(m_oldest, State::GivenUp);
        ++m_counts.expired;
        return entry.id;
    }
    return std::nullopt;
}

void AckMatcher::Clear()
{
    for (Entry& entry : m_entries)
        entry.state = State::Empty;
    std::fill(m_buckets.begin(), m_buckets.end(), Bucket{});
    m_oldest = m_next;
    m_waiting = 0;
}
