#include "sim/event_name.h"

#include "protocol/log_line.h"
#include "protocol/number_text.h"
#include "sim/event_catalogue.h"

#include <string>

namespace veltrano {

Result<int> ParseEventName(std::string_view text)
{
    if (const auto index = ParseNumber<int>(text)) {
        if (FindEventRow(*index) != nullptr)
            return *index;
        return Failure("event index " + Quoted(text) + " is not 0 to " + std::to_string(EVENT_TYPE_COUNT - 1));
    }
    for (std::size_t i = 0; i < EVENT_CATALOGUE.size(); ++i) {
        if (text == EVENT_CATALOGUE[i].key)
            return static_cast<int>(i);
    }
    return Failure("unknown event " + Quoted(text) + " (see `veltrano-cli events`)");
}

} // namespace veltrano
