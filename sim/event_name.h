#pragma once

#include "protocol/result.h"

#include <string_view>

namespace veltrano {

// An event of the catalogue by its index (0 to 22) or its ASCII key ("zone-alarm"); the reason otherwise.
[[nodiscard]] Result<int> ParseEventName(std::string_view text);

} // namespace veltrano
