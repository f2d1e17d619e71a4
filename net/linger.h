#pragma once

#include <chrono>
#include <cstdint>

// How long a receiver that has just answered keeps asking for the next datagram before it goes back to the
// event loop. On loopback the sender's next one often follows within microseconds, and catching it spares the
// wake-up a return to poll costs, tens of microseconds on a virtual machine. A sender on another CPU may take
// longer to turn round, so the wait is long while waiting pays; once several waits in a row caught nothing
// (traffic too sparse to catch) it is short, apart from a long probe now and then, until one catches again.
// Bounded either way, and nothing at all once traffic stops.
class Linger final
{
public:
    static constexpr std::chrono::microseconds LONG{100};
    static constexpr std::chrono::microseconds SHORT{30};
    // Fruitless waits in a row before they are short.
    static constexpr std::uint32_t MISSES_BEFORE_SHORT = 4;
    // Of the short ones, every this many is long instead.
    static constexpr std::uint32_t PROBE_EVERY = 8;

    // The longest the next wait may take.
    std::chrono::microseconds Limit() const;
    // How the last wait ended.
    void Caught() { m_missedInRow = 0; }
    void Missed();

    // Calls `poll` until it reports a datagram or the limit has passed; true when one came.
    template <typename Poll>
    bool Wait(Poll&& poll)
    {
        const auto deadline = std::chrono::steady_clock::now() + Limit();
        for (;;) {
            if (poll()) {
                Caught();
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                Missed();
                return false;
            }
            Yield();
        }
    }

private:
    static void Yield();

    std::uint32_t m_missedInRow{0};
};
