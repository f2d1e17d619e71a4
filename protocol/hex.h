#pragma once

#include "protocol/result.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace veltrano {

// The bytes of a frame written as hex: pairs of digits, either case, separated by runs of blanks or not at
// all (" 0C 00 01", "0c 00 01", "0c0001"). At most MAX_UDP_PAYLOAD bytes; an empty text is no frame.
[[nodiscard]] Result<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text);

} // namespace veltrano
