#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// Whether the panel of a `fuzz panel` run still lives: a panel keeps sending (its retries, its heartbeats),
// so a gap longer than `silence` since its last frame makes it suspect; a frame within the confirm window
// after that is a hang of the gap's length, none a crash. A panel that sent well-formed frames and sends a
// malformed one after a mutated answer breaks the rule. The caller feeds it the clock.

namespace veltrano {

class PanelSilence final
{
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    struct Settings
    {
        std::chrono::microseconds silence{5'000'000};
        std::chrono::microseconds confirm{10'000'000};
    };

    enum class Phase : std::uint8_t
    {
        Waiting, // no frame yet: nothing to judge
        Live,
        Suspect, // silent past `silence`
        Crashed, // silent through the confirm window too
    };

    struct Event
    {
        enum class Kind : std::uint8_t
        {
            Suspect,
            Hang,      // back within the confirm window; `length` the gap
            Crash,     // never back within it; `length` the silence so far
            Malformed, // a malformed frame after a mutated answer
        };
        Kind kind{Kind::Suspect};
        std::chrono::microseconds length{0};
    };

    explicit PanelSilence(Settings settings) : m_settings(settings) {}

    Phase Current() const { return m_phase; }
    // A datagram from the panel, well formed or not.
    std::optional<Event> Heard(Time now, bool wellFormed);
    // An answer went to the panel; `mutated` unless it was the right acknowledgement.
    void Answered(bool mutated);
    // The silence and the confirm window at `now`.
    std::optional<Event> Tick(Time now);
    // When Tick is due next; none while waiting for the first frame or once crashed.
    std::optional<Time> NextDeadline() const;
    // The panel was brought back: waiting for its first frame again.
    void Restarted();
    std::uint64_t Frames() const { return m_frames; }

private:
    Settings m_settings;
    Phase m_phase{Phase::Waiting};
    Time m_last;
    Time m_suspectAt;
    bool m_wellFormedSeen{false};
    bool m_mutatedSince{false}; // a mutated answer since the panel's last well-formed frame
    std::uint64_t m_frames{0};
};

} // namespace veltrano
