#pragma once

#include "cli/command_run.h"
#include "link/json_line.h"
#include "suite/fuzz_finding.h"
#include "suite/fuzz_minimiser.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// What `fuzz centre` and `fuzz panel` share: their common options, the lines they print, the capture they
// keep for a finding, the restart command, and the findings with their folders, JUnit cases and counts.

struct FuzzOptions
{
    std::optional<std::uint64_t> seed;
    std::vector<std::string> only;
    std::vector<std::string> skip;
    double confirmS{10};
    std::string findings{"findings"};
    std::string restart;
    double restartTimeoutS{10};
    int maxFindings{1};
    double durationS{0};
    std::string junit;
    std::string pcap;
    OutputOptions output;
};

// --seed, --only, --skip, --confirm, --findings, --restart, --restart-timeout, --max-findings, --duration,
// --junit, --pcap, --jsonl; `what` names the other side's liveness in --confirm's help.
void AddFuzzOptions(CLI::App* command, FuzzOptions& options, const std::string& confirmHelp);

std::chrono::microseconds Micros(double seconds);
std::int64_t WallUs();

// " --only A,B --skip C", as given: for the command line a finding names.
std::string ClassSelection(const FuzzOptions& options);

// What the socket holds once it is readable, by `until` at the latest; empty when nothing came. A blocking
// read, for the restarts and the minimiser's tries, which the run waits for anyway.
std::span<const BatchUdpSocket::Received> ReceiveBy(BatchUdpSocket& socket, veltrano::MonoTime until);

// Runs `command` with /bin/sh; false when it fails to end by `deadline`. Blocking: the run waits anyway.
bool RunRestart(const std::string& command, veltrano::MonoTime deadline);

// A crash's or hang's frames cut to those that still bring it back, at most `tries` restarts, where
// --restart is given; left as they are otherwise.
void MinimiseFinding(const FuzzOptions& options, veltrano::FuzzFinding& finding,
                     const veltrano::Reproduces& reproduces, int tries);

// One line of the run's output: `text`, or a JSON object of `type` with the case count and `fields`.
template <typename Fields>
void FuzzLine(CommandRun& run, std::string_view type, std::uint64_t cases, const std::string& text,
              Fields fields)
{
    std::string& out = run.Output().Buffer();
    if (run.Output().Format() == veltrano::OutputFormat::JsonLines) {
        veltrano::JsonLine json(out);
        json.Text("type", type).Number("case", cases);
        fields(json);
        json.End();
    } else {
        out += text + '\n';
    }
    run.Output().Written();
    run.Output().Flush();
}

// Every datagram of a run to --pcap, and those since the last sign of life kept for a finding.
class FuzzCapture final
{
public:
    FuzzCapture(std::string path, CommandRun& run) : m_path(std::move(path)), m_run(run) {}
    veltrano::Status Open();
    veltrano::Status Close() { return m_file.Close(); }
    // `sent` by the fuzzer from `local` to `remote`, else the other way.
    void Record(bool sent, std::span<const std::uint8_t> bytes, std::int64_t wallUs,
                const veltrano::Endpoint& local, const veltrano::Endpoint& remote);
    // Forgets what came before `wallUs`.
    void ForgetBefore(std::int64_t wallUs);
    std::vector<veltrano::FuzzPacket> Take();

private:
    static constexpr std::size_t KEPT = 8192;
    std::string m_path;
    CommandRun& m_run;
    veltrano::PcapFileWriter m_file;
    std::deque<veltrano::FuzzPacket> m_kept;
};

// The findings of a run: each written to its folder and printed as it comes; the run finished at the
// --max-findings-th; a JUnit case per mutation class and the summary's counts.
class FuzzFindings final
{
public:
    FuzzFindings(const FuzzOptions& options, CommandRun& run, std::string suite);

    void Report(veltrano::FuzzFinding finding);
    bool Empty() const { return m_findings.empty(); }
    std::size_t Count() const { return m_findings.size(); }
    void CaseOf(std::size_t row) { ++m_perClass[row]; }
    // What the liveness expected of a crash or hang, for its JUnit failure.
    veltrano::Status WriteJunit(const std::string& path, std::span<const std::size_t> rows,
                                const std::string& name, const std::string& livenessExpected) const;
    // The summary's fields: `fields`, then the cases of each class run.
    void Summary(std::vector<veltrano::RecordField> fields, std::span<const std::size_t> rows);

private:
    const FuzzOptions& m_options;
    CommandRun& m_run;
    std::string m_suite;
    std::vector<veltrano::FuzzFinding> m_findings;
    std::vector<std::uint64_t> m_perClass;
    std::vector<std::string> m_classKeys;
};
