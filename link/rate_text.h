#pragma once

#include "link/pacer.h"
#include "protocol/result.h"

#include <cstdint>

#include <optional>
#include <string_view>

namespace veltrano {

// A frame rate: a positive number of frames per second up to MAX_RATE, or "max" (none: as fast as the
// acknowledgements allow); the reason otherwise.
inline constexpr double MAX_RATE = 1'000'000;
[[nodiscard]] Result<std::optional<double>> ParseRate(std::string_view text);

// The pace --rate and --window ask for: frames per second, or with "max" at most `window` frames waiting
// for their answers; without a rate (an empty text), the captured gaps scaled by `speed`. The reason for a
// rate ParseRate refuses.
[[nodiscard]] Result<Pacer::Mode> PaceOf(std::string_view rateText, std::uint64_t window, double speed = 1.0);
// The speed of a pace by the captured gaps; none at a rate or in a window.
std::optional<double> GapSpeed(const Pacer::Mode& mode);

} // namespace veltrano
