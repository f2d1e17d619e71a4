#pragma once

#include "suite/fuzz_cases.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// The shortest sequence that still brings a fault about: the last 1, 10, 20, 40... frames searched back for
// the shortest tail that reproduces, then delta debugging to a sequence from which no single frame can be
// removed, then the decisive (last) frame's bytes cut where that still reproduces. Only a candidate that
// reproduced on its try replaces the sequence, and the result is tried once more at the end: what comes
// back reproduced on its last try, or is the sequence given, marked not reproduced.

namespace veltrano {

struct FuzzFrame
{
    Bytes bytes;
    std::uint64_t caseIndex{0};
    std::size_t row{0}; // into FuzzClasses()
};

// Runs the sequence against the target (restarted first) and tells whether the fault came again.
using Reproduces = std::function<bool(std::span<const FuzzFrame>)>;

struct Minimised
{
    std::vector<FuzzFrame> frames;
    bool reproduced{false};
    int tries{0};
};

// At most `maxTries` runs of `reproduces`.
Minimised Minimise(std::vector<FuzzFrame> frames, const Reproduces& reproduces, int maxTries = 200);

} // namespace veltrano
