#include "link/rate_text.h"

#include "protocol/log_line.h"

#include <charconv>
#include <cmath>
#include <string>

namespace veltrano {

Result<std::optional<double>> ParseRate(std::string_view text)
{
    if (text == "max")
        return std::optional<double>();
    double rate = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(rate) ||
        rate <= 0 || rate > MAX_RATE)
        return Failure("rate " + Quoted(text) +
                       " is not \"max\" or a number of frames per second above 0 and up to " +
                       std::to_string(static_cast<long>(MAX_RATE)));
    return std::optional(rate);
}

} // namespace veltrano
