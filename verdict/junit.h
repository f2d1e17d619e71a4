#pragma once

#include "protocol/result.h"
#include "verdict/verdict.h"

#include <string>
#include <vector>

namespace veltrano {

// The verdicts of one run of a judging command with their JUnit XML.
class VerdictReport final : public VerdictTally
{
public:
    using VerdictTally::VerdictTally;

    // <testsuite name tests failures skipped time> with a <testcase> per verdict, written beside `path` and
    // renamed over it: the file appears only when complete. The reason when it cannot be written.
    [[nodiscard]] Status WriteJunit(const std::string& path) const;
    // The XML itself, for WriteJunit and the tests.
    std::string Junit() const;
};

// `verdicts` as the JUnit XML of the suite `suite`, written to `path` as WriteJunit writes it.
[[nodiscard]] Status WriteJunit(const std::string& path, std::string suite, std::vector<Verdict> verdicts);

} // namespace veltrano
