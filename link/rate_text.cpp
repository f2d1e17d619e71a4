#include "link/rate_text.h"

#include "protocol/log_line.h"
#include "protocol/number_text.h"

#include <cmath>
#include <string>

namespace veltrano {

Result<std::optional<double>> ParseRate(std::string_view text)
{
    if (text == "max")
        return std::optional<double>();
    const auto rate = ParseNumber<double>(text);
    if (!rate || !std::isfinite(*rate) || *rate <= 0 || *rate > MAX_RATE)
        return Failure("rate " + Quoted(text) +
                       " is not \"max\" or a number of frames per second above 0 and up to " +
                       std::to_string(static_cast<long>(MAX_RATE)));
    return std::optional(*rate);
}

Result<Pacer::Mode> PaceOf(std::string_view rateText, std::uint64_t window, double speed)
{
    if (rateText.empty())
        return Pacer::Mode(Pacer::CapturedGaps{speed});
    const auto rate = ParseRate(rateText);
    if (!rate)
        return Failure(rate.error());
    if (!*rate)
        return Pacer::Mode(Pacer::Window{window});
    return Pacer::Mode(Pacer::Rate{**rate});
}

std::optional<double> GapSpeed(const Pacer::Mode& mode)
{
    if (const auto* gaps = std::get_if<Pacer::CapturedGaps>(&mode))
        return gaps->speed;
    return std::nullopt;
}

} // namespace veltrano
