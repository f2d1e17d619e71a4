#pragma once

#include "engine/console.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

// Which lines of the two lists answer each other, by serial (FrameListStore). An acknowledgement received
// from peer P pairs with the most recent sent frame to P with the same AckPairingKey that has none yet; a
// received frame pairs with the acknowledgement appended to the sent list right after it.
//
// Remembers at most WAITING_CAPACITY sent frames awaiting an answer, the oldest forgotten first, in tables
// made once: an append never allocates and costs the same at any list length.
class AckPairing final
{
public:
    static constexpr std::size_t WAITING_CAPACITY = 4096;

    AckPairing() = default;
    ~AckPairing() = default;
    AckPairing(const AckPairing&) = delete;
    AckPairing& operator=(const AckPairing&) = delete;

    // Called before the line is appended to `list` under `serial`: the serial of the line it pairs with
    // in the other list, if any.
    std::optional<std::uint64_t> OnAppend(LogList list, const LoggedFrame& frame, std::uint64_t serial);
    // Forgets what refers to lines of the cleared list.
    void OnClear(LogList list);

private:
    struct Waiting
    {
        std::uint64_t key{0};
        std::uint64_t serial{0};
        std::uint64_t older{0}; // the next older entry of the same bucket, as its number plus one; 0: none
        Destination peer;
    };
    struct Received
    {
        std::uint64_t serial{0};
        std::uint64_t key{0};
        Destination peer;
    };

    void Remember(const Destination& peer, std::uint64_t key, std::uint64_t serial);
    std::optional<std::uint64_t> Take(const Destination& peer, std::uint64_t key);
    // Entry numbers count insertions; the ring holds the last WAITING_CAPACITY of them.
    bool Live(std::uint64_t number) const { return number + WAITING_CAPACITY >= m_inserted; }
    static std::size_t Bucket(const Destination& peer, std::uint64_t key);

    std::unique_ptr<std::array<Waiting, WAITING_CAPACITY>> m_waiting{
        std::make_unique<std::array<Waiting, WAITING_CAPACITY>>()};
    // Per bucket, the newest entry's number plus one; 0: empty.
    std::unique_ptr<std::array<std::uint64_t, WAITING_CAPACITY>> m_buckets{
        std::make_unique<std::array<std::uint64_t, WAITING_CAPACITY>>()};
    std::uint64_t m_inserted{0};
    std::optional<Received> m_lastReceived; // the received frame the next sent line may answer
};
