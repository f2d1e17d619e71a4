#pragma once

#include "link/frame_record.h"
#include "link/output_format.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The one shape of a verdict for every judging command (`test centre`, `test panel`, `run`, `replay`): a
// case or step with a fixed id, its outcome, a one-line message and its time; the tally of a run's
// verdicts with its exit status, and their lines. The JUnit file lives with the command line.

namespace veltrano {

class LineOutput;

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

// The verdicts of one run of a judging command, in the order they came.
class VerdictTally
{
public:
    explicit VerdictTally(std::string suite) : m_suite(std::move(suite)) {}

    const std::string& Suite() const { return m_suite; }
    // Messages are kept to one line (control characters become spaces), times to the millisecond.
    const Verdict& Add(Verdict verdict);
    std::span<const Verdict> Verdicts() const { return m_verdicts; }

    std::size_t Count(Outcome outcome) const;
    // Cases that ran: passed or failed.
    std::size_t Ran() const { return Count(Outcome::Passed) + Count(Outcome::Failed); }
    double Seconds() const;
    // 0 when every case that ran passed and at least one ran; 1 otherwise.
    int ExitCode() const;

private:
    std::string m_suite;
    std::vector<Verdict> m_verdicts;
};

// Text: "PASS  id  0.012 s  message"; JSON: {"type":"verdict","case":...,"result":...,"message":...,
// "time_s":...}. A newline.
void AppendVerdictLine(std::string& out, OutputFormat format, const Verdict& verdict);
// The verdict added to the tally, and its line on the output.
void ReportVerdict(LineOutput& output, VerdictTally& tally, Verdict verdict);
// The summary fields of a run: tests, passed, failed, skipped, time_s, and exit: the status the run exits
// with, which a signal or a file that cannot be written make other than the verdicts'; for
// LineOutput::Summary.
std::vector<RecordField> VerdictSummary(const VerdictTally& tally, int exitCode);

} // namespace veltrano
