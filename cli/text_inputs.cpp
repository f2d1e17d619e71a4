#include "cli/text_inputs.h"

#include "protocol/log_line.h"
#include "sim/event_catalogue.h"

#include <charconv>
#include <cmath>
#include <string>

using namespace veltrano;

Result<int> ParseEventName(std::string_view text)
{
    int index = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (!text.empty() && error == std::errc() && end == text.data() + text.size()) {
        if (FindEventRow(index) != nullptr)
            return index;
        return Failure("event index " + Quoted(text) + " is not 0 to " + std::to_string(EVENT_TYPE_COUNT - 1));
    }
    for (std::size_t i = 0; i < EVENT_CATALOGUE.size(); ++i) {
        if (text == EVENT_CATALOGUE[i].key)
            return static_cast<int>(i);
    }
    return Failure("unknown event " + Quoted(text) + " (see `veltrano-cli events`)");
}

Result<std::optional<double>> ParseRate(std::string_view text)
{
    if (text == "max")
        return std::optional<double>();
    double rate = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(rate) ||
        rate <= 0 || rate > MAX_RATE)
        return Failure("rate " + Quoted(text) + " is not \"max\" or a number of frames per second above 0 and up to " +
                       std::to_string(static_cast<long>(MAX_RATE)));
    return std::optional(rate);
}
