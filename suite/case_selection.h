#pragma once

#include "protocol/result.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// Which of `ids` run: every one, or those of `only`, less those of `skip`, in the order of `ids`. An id in
// either list that is not among `ids` is the reason, naming the ids there are.
[[nodiscard]] Result<std::vector<bool>> ChooseCases(std::span<const std::string_view> ids,
                                                    std::span<const std::string> only,
                                                    std::span<const std::string> skip);

} // namespace veltrano
