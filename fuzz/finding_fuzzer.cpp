#include "suite/fuzz_finding.h"
#include "suite/scenario.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

using namespace veltrano;

// Arbitrary frames and message as a finding of either side: the scenario it writes always reads back. A
// centre's sends exactly its frames in order, then the probe, and expects the probe's acknowledgement last;
// a panel's gives exactly its frames as answers, in order, then waits for the panel.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    FuzzFinding finding;
    finding.kind = static_cast<FindingKind>(data[0] % 3);
    finding.side = data[0] & 0x80 ? FuzzSide::Panel : FuzzSide::Centre;
    finding.local = {0x7F000001, 7016};
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
    const bool panel = finding.side == FuzzSide::Panel;
    const auto scenario = ParseScenario(FindingScenario(finding, "f"), "f.yaml",
                                        {{panel ? "port" : "peer", panel ? "7016" : "127.0.0.1:7015"}});
    if (!scenario)
        std::abort();
    const auto& steps = scenario->steps;
    if (panel) {
        std::vector<Bytes> answers;
        for (const ScenarioStep& step : steps)
            answers.insert(answers.end(), step.answers.begin(), step.answers.end());
        if (!std::ranges::equal(answers, finding.frames, {}, {}, &FuzzFrame::bytes) ||
            (steps.back().kind != StepKind::ExpectFrame && steps.back().kind != StepKind::ExpectNoFrame))
            std::abort();
        return 0;
    }
    if (steps.size() < finding.frames.size() + 2 || steps.back().kind != StepKind::ExpectAck ||
        steps[steps.size() - 2].bytes != ProbeFrame())
        std::abort();
    for (std::size_t i = 0; i < finding.frames.size(); ++i) {
        if (steps[i].kind != StepKind::Send || steps[i].bytes != finding.frames[i].bytes)
            std::abort();
    }
    return 0;
}
