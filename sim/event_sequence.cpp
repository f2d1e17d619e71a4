#include "sim/event_sequence.h"

#include "sim/event_builder.h"

#include <variant>

namespace veltrano {

tl::expected<std::vector<std::vector<std::uint8_t>>, std::size_t>
BuildEventSequence(std::span<const int> rows, std::uint8_t commNo, std::uint8_t deviceNo, int zoneNo)
{
    std::vector<std::vector<std::uint8_t>> frames;
    StatusBytes status = DEFAULT_STATUS;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto built = BuildEvent(rows[i], status, commNo, deviceNo, zoneNo);
        const auto* event = std::get_if<BuiltEvent>(&built);
        if (event == nullptr)
            return tl::unexpected(i);
        status = event->status;
        frames.emplace_back(event->Frame().begin(), event->Frame().end());
    }
    return frames;
}

} // namespace veltrano
