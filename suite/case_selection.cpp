#include "suite/case_selection.h"

#include <fmt/format.h>

#include <algorithm>

namespace veltrano {

Result<std::vector<bool>> ChooseCases(std::span<const std::string_view> ids,
                                      std::span<const std::string> only, std::span<const std::string> skip)
{
    for (const auto list : {only, skip}) {
        for (const std::string& id : list) {
            if (std::ranges::find(ids, id) == ids.end())
                return Failure(fmt::format("unknown case \"{}\" (cases: {})", id, fmt::join(ids, ", ")));
        }
    }
    std::vector<bool> chosen;
    chosen.reserve(ids.size());
    for (std::string_view id : ids) {
        const bool listed = std::ranges::find(only, id) != only.end();
        const bool skipped = std::ranges::find(skip, id) != skip.end();
        chosen.push_back((only.empty() || listed) && !skipped);
    }
    return chosen;
}

} // namespace veltrano
