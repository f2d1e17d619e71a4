#include "suite/verdict.h"

#include <fmt/format.h>

namespace veltrano {

std::string_view OutcomeKey(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Passed:
        return "passed";
    case Outcome::Failed:
        return "failed";
    case Outcome::Skipped:
        return "skipped";
    }
    return "failed";
}

std::string ExpectedGot(std::string_view expected, std::string_view got)
{
    return fmt::format("expected {}, got {}", expected, got);
}

Verdict MakeVerdict(std::string id, Judgement judgement, double seconds)
{
    return {std::move(id), {}, judgement.outcome, std::move(judgement.message), std::move(judgement.details),
            seconds};
}

std::string FormatMicros(std::int64_t micros)
{
    if (micros < 1000 && micros > -1000)
        return fmt::format("{} us", micros);
    return fmt::format("{:.3f} ms", static_cast<double>(micros) / 1000.0);
}

} // namespace veltrano
