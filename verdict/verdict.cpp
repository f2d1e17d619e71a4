#include "verdict/verdict.h"
#include "protocol/enum_table.h"

#include "link/json_line.h"
#include "link/line_output.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace veltrano {

namespace {

// In Outcome order: the key of the JSON line and the tag of the text line.
struct OutcomeNames
{
    std::string_view key;
    std::string_view tag;
};
constexpr OutcomeNames OUTCOME_NAMES[] = {{"passed", "PASS"}, {"failed", "FAIL"}, {"skipped", "SKIP"}};

} // namespace

std::string_view OutcomeKey(Outcome outcome)
{
    return RowOf(OUTCOME_NAMES, outcome).key;
}

std::string ExpectedGot(std::string_view expected, std::string_view got)
{
    return fmt::format("expected {}, got {}", expected, got);
}

namespace {

// One line: a message with a newline or a control character would break the text and JUnit readers.
std::string OneLine(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return text;
}

std::string_view OutcomeTag(Outcome outcome)
{
    return RowOf(OUTCOME_NAMES, outcome).tag;
}

} // namespace

Verdict MakeVerdict(std::string id, Judgement judgement, double seconds)
{
    return {std::move(id), {}, judgement.outcome, std::move(judgement.message), std::move(judgement.details),
            seconds};
}

const Verdict& VerdictTally::Add(Verdict verdict)
{
    verdict.message = OneLine(std::move(verdict.message));
    verdict.seconds = std::round(std::max(verdict.seconds, 0.0) * 1000) / 1000;
    m_verdicts.push_back(std::move(verdict));
    return m_verdicts.back();
}

std::size_t VerdictTally::Count(Outcome outcome) const
{
    return static_cast<std::size_t>(std::ranges::count(m_verdicts, outcome, &Verdict::outcome));
}

double VerdictTally::Seconds() const
{
    double total = 0;
    for (const Verdict& verdict : m_verdicts)
        total += verdict.seconds;
    return total;
}

int VerdictTally::ExitCode() const
{
    return Count(Outcome::Failed) == 0 && Ran() > 0 ? 0 : 1;
}

void AppendVerdictLine(std::string& out, OutputFormat format, const Verdict& verdict)
{
    if (format == OutputFormat::JsonLines) {
        JsonLine(out)
            .Text("type", "verdict")
            .Text("case", verdict.id)
            .Text("result", OutcomeKey(verdict.outcome))
            .Text("message", verdict.message)
            .Number("time_s", verdict.seconds)
            .End();
        return;
    }
    out += fmt::format("{}  {}  {:.3f} s", OutcomeTag(verdict.outcome), verdict.id, verdict.seconds);
    if (!verdict.message.empty()) {
        out += "  ";
        out += verdict.message;
    }
    out += '\n';
}

void ReportVerdict(LineOutput& output, VerdictTally& tally, Verdict verdict)
{
    AppendVerdictLine(output.Buffer(), output.Format(), tally.Add(std::move(verdict)));
    output.Written();
}

std::vector<RecordField> VerdictSummary(const VerdictTally& tally, int exitCode)
{
    return {
        {"tests", std::uint64_t{tally.Verdicts().size()}},
        {"passed", std::uint64_t{tally.Count(Outcome::Passed)}},
        {"failed", std::uint64_t{tally.Count(Outcome::Failed)}},
        {"skipped", std::uint64_t{tally.Count(Outcome::Skipped)}},
        {"time_s", std::round(tally.Seconds() * 1000) / 1000},
        {"exit", std::int64_t{exitCode}},
    };
}

std::string FormatMicros(std::int64_t micros)
{
    if (micros < 1000 && micros > -1000)
        return fmt::format("{} us", micros);
    return fmt::format("{:.3f} ms", static_cast<double>(micros) / 1000.0);
}

} // namespace veltrano
