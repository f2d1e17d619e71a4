#pragma once

#include "engine/console.h"
#include "link/ack_matcher.h"
#include "protocol/acknowledgement.h"
#include "ui/frame_list_store.h"

#include <cstdint>
#include <optional>

// Which lines of the two lists answer each other, by serial (FrameListStore), and the time between them.
// A frame the panel side sent waits in the link layer's matcher: an acknowledgement received from its
// peer takes the oldest such frame with the same key that is still waiting. A received frame pairs with the
// acknowledgement the centre appends to the sent list right after it.
class ListPairing final
{
public:
    static constexpr std::size_t WAITING_CAPACITY = 4096;

    ListPairing() = default;
    ~ListPairing() = default;
    ListPairing(const ListPairing&) = delete;
    ListPairing& operator=(const ListPairing&) = delete;

    // Called before the line is appended to `list` under `serial`, at the moment it went or came: the line
    // of the other list it pairs with, if any.
    std::optional<LinePairing> OnAppend(LogList list, const LoggedFrame& frame, std::uint64_t serial,
                                        veltrano::MonoTime now);
    // Forgets what refers to lines of the cleared list.
    void OnClear(LogList list);

private:
    struct Received
    {
        std::uint64_t serial{0};
        veltrano::AckFrame answer{};
        veltrano::Endpoint peer;
        veltrano::MonoTime at;
    };

    veltrano::AckMatcher m_sent{{WAITING_CAPACITY, {}}};
    std::optional<Received> m_lastReceived; // the received frame the next sent line may answer
};
