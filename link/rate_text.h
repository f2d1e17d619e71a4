#pragma once

#include "protocol/result.h"

#include <optional>
#include <string_view>

namespace veltrano {

// A frame rate: a positive number of frames per second up to MAX_RATE, or "max" (none: as fast as the
// acknowledgements allow); the reason otherwise.
inline constexpr double MAX_RATE = 1'000'000;
Result<std::optional<double>> ParseRate(std::string_view text);

} // namespace veltrano
