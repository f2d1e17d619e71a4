#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The one shape of a verdict for every judging command (`test centre`, `test panel`, `run`, `replay`): a
// case or step with a fixed id, its outcome, a one-line message and its time. The report that writes them
// lives with the command line; the rules that make them live here.

namespace veltrano {

enum class Outcome : std::uint8_t
{
    Passed,
    Failed,
    Skipped,
};

// "passed", "failed", "skipped".
std::string_view OutcomeKey(Outcome outcome);

struct Verdict
{
    std::string id;        // fixed: what --only/--skip and dashboards name
    std::string classname; // a group of cases; empty: the suite's name
    Outcome outcome{Outcome::Passed};
    // One line; on failure what was expected against what came, in bytes and times.
    std::string message;
    // More lines for the JUnit failure body (every failing frame, say); may be empty.
    std::string details;
    double seconds{0};
};

// "expected <expected>, got <got>": the message of a failure, in one form everywhere.
std::string ExpectedGot(std::string_view expected, std::string_view got);
// "1.234 ms" / "12 us": a duration for a message.
std::string FormatMicros(std::int64_t micros);

// What a rule says of a case, before the command gives it its id and time.
struct Judgement
{
    Outcome outcome{Outcome::Passed};
    std::string message;
    std::string details;

    static Judgement Pass(std::string message) { return {Outcome::Passed, std::move(message), {}}; }
    static Judgement Fail(std::string message, std::string details = {})
    {
        return {Outcome::Failed, std::move(message), std::move(details)};
    }
    static Judgement Skip(std::string message) { return {Outcome::Skipped, std::move(message), {}}; }
};

// The verdict of case `id`, judged so, that took `seconds`.
Verdict MakeVerdict(std::string id, Judgement judgement, double seconds);

} // namespace veltrano
