#pragma once

#include "capture/captured_exchange.h"
#include "capture/replayed_frames.h"
#include "link/pacer.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veltrano {

// Which frames of a capture go next, and when: at the captured gaps scaled by a speed, at a rate, or
// within a window of frames waiting for their verdicts. A run of frames taken is of one sender, so that it
// goes in one call; the frames taken wait in `frames` for their verdicts.
class ReplayFeed final
{
public:
    using TimePoint = Pacer::TimePoint;

    ReplayFeed(CapturedExchange& exchange, ReplayedFrames& frames, Pacer::Mode mode, TimePoint start);

    // The pace counts from `start`.
    void Restart(TimePoint start);
    bool Windowed() const { return m_pacer.Windowed(); }
    bool AllRead() const { return m_allRead; }
    // Why the file ended early, if it did.
    const std::optional<std::string>& Cut() const { return m_cut; }

    // Frames the window has room for at `now`.
    std::uint64_t Room(TimePoint now);
    // The next frames of one sender, at most `most` and with `onlyDue` only those due at `now`, their bytes
    // in `run`: the sender's index, none when no frame is taken.
    std::optional<std::size_t> TakeRun(TimePoint now, std::uint64_t most, bool onlyDue,
                                       std::vector<std::span<const std::uint8_t>>& run);
    // The time from `now` until the next frame is due; none once the file is read to its end.
    std::optional<std::chrono::milliseconds> WaitFrom(TimePoint now);

private:
    void ReachEnd();

    CapturedExchange& m_exchange;
    ReplayedFrames& m_frames;
    Pacer::Mode m_mode;
    Pacer m_pacer;
    std::optional<std::string> m_cut;
    bool m_allRead{false};
};

} // namespace veltrano
