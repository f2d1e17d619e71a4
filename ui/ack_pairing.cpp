#include "ui/ack_pairing.h"

#include "protocol/acknowledgement.h"

#include <utility>

std::optional<std::uint64_t> AckPairing::OnAppend(LogList list, const LoggedFrame& frame,
                                                  std::uint64_t serial)
{
    const std::optional<Received> received = std::exchange(m_lastReceived, std::nullopt);
    const bool ack = IsAcknowledgement(frame.bytes);
    const std::uint64_t key = AckPairingKey(frame.bytes);
    if (list == LogList::Received) {
        if (ack)
            return Take(frame.peer, key);
        // The datagrams the centre answers: not empty, not over the receive buffer.
        if (!frame.bytes.empty() && frame.bytes.size() <= FRAME_BUFFER_SIZE)
            m_lastReceived = Received{serial, key, frame.peer};
        return std::nullopt;
    }
    if (ack)
        return received && received->peer == frame.peer && received->key == key
                   ? std::optional(received->serial)
                   : std::nullopt;
    // A frame that never left gets no answer.
    if (frame.sendError == 0)
        Remember(frame.peer, key, serial);
    return std::nullopt;
}

void AckPairing::OnClear(LogList list)
{
    if (list == LogList::Received) {
        m_lastReceived.reset();
        return;
    }
    m_buckets->fill(0);
    m_inserted = 0;
}

void AckPairing::Remember(const Destination& peer, std::uint64_t key, std::uint64_t serial)
{
    const std::uint64_t number = m_inserted++;
    std::uint64_t& head = (*m_buckets)[Bucket(peer, key)];
    (*m_waiting)[number % WAITING_CAPACITY] = {key, serial, head, peer};
    head = number + 1;
}

std::optional<std::uint64_t> AckPairing::Take(const Destination& peer, std::uint64_t key)
{
    // Newest first; an entry the ring has overwritten ends the chain, as all behind it are older still.
    std::uint64_t* link = &(*m_buckets)[Bucket(peer, key)];
    while (*link != 0 && Live(*link - 1)) {
        Waiting& entry = (*m_waiting)[(*link - 1) % WAITING_CAPACITY];
        if (entry.key == key && entry.peer == peer) {
            *link = entry.older; // answered: out of the chain
            return entry.serial;
        }
        link = &entry.older;
    }
    return std::nullopt;
}

std::size_t AckPairing::Bucket(const Destination& peer, std::uint64_t key)
{
    const std::uint64_t mixed =
        (key ^ (std::uint64_t{peer.address} << 16) ^ peer.port) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(mixed >> 52) % WAITING_CAPACITY;
}
