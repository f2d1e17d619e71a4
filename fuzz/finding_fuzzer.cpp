#include "suite/fuzz_finding.h"
#include "suite/scenario.h"

#include <cstdlib>
#include <string_view>

using namespace veltrano;

// Arbitrary frames and message as a finding: the scenario it writes always reads back, sends exactly its
// frames in order, then the probe, and expects the probe's acknowledgement last.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    FuzzFinding finding;
    finding.kind = static_cast<FindingKind>(data[0] % 3);
    finding.target = {0x7F000001, 7015};
    std::size_t at = 2;
    const std::size_t messageSize = std::min<std::size_t>(data[1], size - at);
    finding.message.assign(reinterpret_cast<const char*>(data + at), messageSize);
    at += messageSize;
    while (at < size) {
        const std::size_t declared = data[at++];
        const std::size_t frameSize = std::min(declared, size - at);
        finding.frames.push_back({Bytes(data + at, data + at + frameSize), at, at % FuzzClasses().size()});
        at += frameSize;
    }
    const auto scenario =
        ParseScenario(FindingScenario(finding, "f"), "f.yaml", {{"peer", "127.0.0.1:7015"}});
    if (!scenario)
        std::abort();
    const auto& steps = scenario->steps;
    if (steps.size() < finding.frames.size() + 2 || steps.back().kind != StepKind::ExpectAck ||
        steps[steps.size() - 2].bytes != ProbeFrame())
        std::abort();
    for (std::size_t i = 0; i < finding.frames.size(); ++i) {
        if (steps[i].kind != StepKind::Send || steps[i].bytes != finding.frames[i].bytes)
            std::abort();
    }
    return 0;
}
