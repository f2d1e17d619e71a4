#pragma once

#include "protocol/endpoint.h"
#include "protocol/result.h"
#include "suite/fuzz_cases.h"
#include "suite/fuzz_minimiser.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A fault a fuzz run found, and the folder that shows it: finding.json (what, the seed, the cases, the frames
// as hex lines, the command line that finds it again), capture.pcap (the frames and their answers) and
// scenario.yaml, which `veltrano-cli run` executes: it fails while the fault is there, passes once mended.

namespace veltrano {

enum class FindingKind : std::uint8_t
{
    Crash, // never answered again within the confirm window
    Hang,  // answered again within it
    Rule,  // an answer that breaks the rule
};

// "crash", "hang", "rule".
std::string_view FindingKindKey(FindingKind kind);

// One datagram of a finding's capture.
struct FuzzPacket
{
    std::int64_t timeUs{0}; // wall clock
    bool sent{false};       // by the fuzzer, else by the target
    Bytes bytes;
};

struct FuzzFinding
{
    FindingKind kind{FindingKind::Crash};
    FuzzSide side{FuzzSide::Centre};
    std::uint64_t seed{0};
    // Centre side: the frames sent, in order; the last is the decisive one. Panel side: the answers given.
    std::vector<FuzzFrame> frames;
    std::vector<FuzzPacket> capture;
    std::string message; // one line: the sentence of the decisive case, and for a rule what came
    std::string expected;
    std::string got;
    std::chrono::microseconds length{0}; // a hang's
    bool minimised{false};
    bool reproduced{true}; // false: the minimiser could not bring it about again
    std::string command;   // the command line that finds it again
    Endpoint local;        // the fuzzer's socket
    Endpoint target;
    int probeTimeoutMs{500};
    int silenceMs{5000}; // the panel side's: the longest gap between its frames
    int lateMs{2000};    // the panel side's: how late a late answer goes
};

// The finding as one JSON object, without a line end; with `folder` when not empty.
std::string FindingJson(const FuzzFinding& finding, std::string_view folder = {});
// The scenario that plays the finding again, named `name`: for a centre's, a panel that sends the frames to
// `finding.target`; for a panel's, a centre on the fuzzer's address that gives the same answers.
std::string FindingScenario(const FuzzFinding& finding, std::string_view name);
// Writes the finding's folder, the `number`-th of the run, under `directory` (made when missing); its path,
// or the reason it cannot be written.
Result<std::string> WriteFinding(const std::string& directory, std::size_t number,
                                 const FuzzFinding& finding);

} // namespace veltrano
