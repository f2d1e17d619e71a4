#pragma once

#include "protocol/frame.h"

#include <tl/expected.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace veltrano {

// The frames of catalogue rows sent one after the other by one device, each built on the status the one
// before left, the first on the default status; or the position of the first row refused (a zone event
// without a zone from 1 to 8, a row outside the catalogue), so that a refused row sends nothing at all.
tl::expected<std::vector<std::vector<std::uint8_t>>, std::size_t>
BuildEventSequence(std::span<const int> rows, std::uint8_t commNo, std::uint8_t deviceNo, int zoneNo);

} // namespace veltrano
