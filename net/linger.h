#pragma once

#include <chrono>
#include <cstdint>

// How long a receiver that has just answered keeps asking for the next datagram before it goes back to the
// event loop. On loopback the sender's next one often follows within microseconds, and catching it spares the
// wake-up a return to poll costs, tens of microseconds on a virtual machine; a sender on another CPU may take
// longer to turn an answer round. Once several waits in a row caught nothing, traffic is too sparse for
// waiting to pay: then there is none, apart from a probe now and then that finds out whether one would catch
// again. Bounded either way, and nothing at all once traffic stops.
class Linger final
{
public:
    static constexpr std::chrono::microseconds LONGEST{100};
    // Fruitless waits in a row before there are none.
    static constexpr std::uint32_t MISSES_BEFORE_NONE = 4;
    // Then every this many a wait is tried again.
    static constexpr std::uint32_t PROBE_EVERY = 8;

    // The longest the next wait may take: LONGEST or nothing.
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
