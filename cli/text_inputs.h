#pragma once

#include "protocol/log_line.h"
#include "protocol/result.h"

#include <optional>
#include <string_view>

// The companion's text inputs other than HOST:PORT (net/host_port.h) and hex (protocol/hex.h): each gives
// its value or a one-line reason, never throws and reads nothing outside the text.

// An event of the catalogue by its index (0 to 22) or its ASCII key ("zone-alarm").
veltrano::Result<int> ParseEventName(std::string_view text);

// A frame rate: a positive number of frames per second up to MAX_RATE, or "max" (none: as fast as the
// acknowledgements allow).
inline constexpr double MAX_RATE = 1'000'000;
veltrano::Result<std::optional<double>> ParseRate(std::string_view text);
