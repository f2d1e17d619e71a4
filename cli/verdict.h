#pragma once

#include "link/frame_record.h"
#include "link/output_format.h"
#include "protocol/result.h"
#include "suite/verdict.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A report of one run of a judging command that writes its verdicts as text, JSON lines or JUnit XML and
// gives the exit status.

class VerdictReport final
{
public:
    explicit VerdictReport(std::string suite);

    const std::string& Suite() const { return m_suite; }
    // Messages are kept to one line: control characters become spaces.
    const veltrano::Verdict& Add(veltrano::Verdict verdict);
    std::span<const veltrano::Verdict> Verdicts() const { return m_verdicts; }

    std::size_t Count(veltrano::Outcome outcome) const;
    // Cases that ran: passed or failed.
    std::size_t Ran() const { return Count(veltrano::Outcome::Passed) + Count(veltrano::Outcome::Failed); }
    double Seconds() const;
    // 0 when every case that ran passed and at least one ran; 1 otherwise.
    int ExitCode() const;

    // <testsuite name tests failures skipped time> with a <testcase> per verdict, through a QSaveFile: the
    // file appears only when complete. The reason when it cannot be written.
    veltrano::Status WriteJunit(const std::string& path) const;
    // The XML itself, for WriteJunit and the tests.
    std::string Junit() const;

private:
    std::string m_suite;
    std::vector<veltrano::Verdict> m_verdicts;
};

// Text: "PASS  id  0.012 s  message"; JSON: {"type":"verdict","case":...,"result":...,"message":...,
// "time_s":...}. A newline.
void AppendVerdictLine(std::string& out, veltrano::OutputFormat format, const veltrano::Verdict& verdict);
// The summary fields of a report: tests, passed, failed, skipped, time_s, exit; for LineOutput::Summary.
std::vector<veltrano::RecordField> VerdictSummary(const VerdictReport& report);
