#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>

// How long a receiver that has just answered keeps asking for the next datagram before it goes back to the
// event loop. A sender that waits for the answer sends its next datagram once it has turned the answer round:
// catching it spares the receiver the wake-up a return to poll costs, tens of microseconds on a virtual
// machine, more when its host is busy. So the wait follows how long the sender has lately taken, measured
// from the end of each wait's answers to the next datagram, whether the wait caught it or the event loop
// did: twice the longest of the last few, within SHORTEST and LONGEST. A sender slower than LONGEST, or
// traffic that sparse, gets no wait at all. Bounded either way, and nothing at all once traffic stops.
class Linger final
{
public:
    using Clock = std::chrono::steady_clock;

    // A sender that turns answers round at once is caught well within SHORTEST; a longer floor only spins on
    // a CPU that another process of the exchange may need, such as a proxy in front of the receiver.
    static constexpr std::chrono::microseconds SHORTEST{25};
    static constexpr std::chrono::microseconds LONGEST{250};
    // How many of the latest gaps the limit follows.
    static constexpr std::size_t REMEMBERED = 4;

    // The longest the next wait may take: nothing, or SHORTEST to LONGEST.
    std::chrono::microseconds Limit() const;
    // A gap between the start of a wait and the datagram that ended it.
    void Heard(Clock::duration gap);
    // A datagram found by other means than a wait; it ends the gap of the last wait that caught nothing.
    void Arrived();

    // Calls `poll` until it reports a datagram or the limit has passed; true when one came.
    template <typename Poll>
    bool Wait(Poll&& poll)
    {
        const auto start = Clock::now();
        const auto limit = Limit();
        m_missedAt.reset();
        // The gap runs to the last ask that found nothing, which spares a clock reading on a catch.
        for (auto asked = start;;) {
            if (poll()) {
                Heard(asked - start);
                return true;
            }
            asked = Clock::now();
            if (asked - start >= limit) {
                m_missedAt = start;
                return false;
            }
            Yield();
        }
    }

private:
    static void Yield();

    std::array<std::chrono::microseconds, REMEMBERED> m_gaps{};
    std::size_t m_next{0};
    std::optional<Clock::time_point> m_missedAt;
};
